// Norbix.ODScanEntry and Norbix.ODScan as the ratings script sees them, over several runs.
#include <filesystem>
#include <fstream>

#include "od_scan_fixture.h"
#include "od_scan_types.h"
#include "platform/process.h"
#include "ratings_script.h"

namespace ostrel::vessolt::test {
namespace {

namespace fs = std::filesystem;

TEST_F(ODScanFixture, ScriptTypesReadTheResultsInEveryRun) {
    std::string folder = (fs::temp_directory_path() / "odscan-XXXXXX").string();
    ASSERT_NE(::mkdtemp(folder.data()), nullptr);
    std::ofstream(fs::path(folder) / "ratings.py")
        << "import Norbix\n"
           "e = Norbix.ODScanEntry(0x1000, 0)\n"
           "print('entry', e.index, e.subindex, e.found, e.size, e.value, e.accesstime)\n"
           "m = Norbix.ODScanEntry(0x2000, 0)\n"
           "print('missing', m.index, m.subindex, m.found, m.size, m.value, m.accesstime)\n"
           "t = Norbix.ODScan()\n"
           "print('test', t.status, t.enabled, t.status == Norbix.PASSED)\n"
           "try:\n"
           "    e.size = 1\n"
           "except AttributeError:\n"
           "    print('read-only')\n"
           "try:\n"
           "    Norbix.ODScanEntry('x', 0)\n"
           "except TypeError:\n"
           "    print('bad arguments')\n";

    ODScanResult device;
    device.index = 0x1000;
    device.size = device.valueLength = 4;
    const uint8_t bytes[4] = {0x91, 0x01, 0x0F, 0x00};
    std::copy(std::begin(bytes), std::end(bytes), device.value);
    device.accessTime = 1.5f;
    scan.AddResult(device);
    manager.SetTestStatus(TODScan::kTestId, PASSED);

    TRatingsScript ratings(folder + "/", log, summary, prompt,
                           [this](_object* module) { manager.RegisterPythonTypes(module); });
    RegisterODScanTest(manager, scan, {.registerPythonTypes = [this](_object* m) { RegisterODScanPythonTypes(m, scan); }});
    for (int run = 0; run < 3; ++run) {
        log.Clear();
        ASSERT_TRUE(ratings.Run()) << (log.GetLineCount() ? log.GetLine(log.GetLineCount() - 1) : "");
        EXPECT_TRUE(logHas("entry 4096 0 1 4 983441 1.5"));
        EXPECT_TRUE(logHas("missing 8192 0 0 0 0 0.0"));
        EXPECT_TRUE(logHas("test 2 1 True"));
        EXPECT_TRUE(logHas("read-only"));
        EXPECT_TRUE(logHas("bad arguments"));
    }
    fs::remove_all(folder);
}

// The shipped script rates compatibility only from a scan that ran to its end: after every other
// status of the scan the summary's findings are partial, and the rating is left unset.
TEST_F(ODScanFixture, ShippedScriptRatesCompatibilityOnlyAfterACompletedScan) {
    std::string folder = (fs::temp_directory_path() / "odscan-XXXXXX").string();
    ASSERT_NE(::mkdtemp(folder.data()), nullptr);
    fs::copy_file(fs::path(ostrel::platform::executableDir()) / "ratings.py", fs::path(folder) / "ratings.py");
    TRatingsScript ratings(folder, log, summary, prompt, [this](_object* m) { manager.RegisterPythonTypes(m); });
    RegisterODScanTest(manager, scan, {.registerPythonTypes = [this](_object* m) { RegisterODScanPythonTypes(m, scan); }});
    summary.SetSDOServerNum(1);  // 2 of the 7 features: 29
    summary.SetHeartbeatProducer(1);
    summary.SetTPDONum(1);
    for (const int32_t status : {PASSED, WARNING, CANCELLED, FAILED, NOTSTARTED, RUNNING}) {
        summary.SetCompatibilityRating(0);
        manager.SetTestStatus(TODScan::kTestId, status);
        ASSERT_TRUE(ratings.Run()) << status;
        EXPECT_EQ(summaryRecord().compatibilityrating, status == PASSED || status == WARNING ? 29 : 0) << status;
    }
    fs::remove_all(folder);
}

}  // namespace
}  // namespace ostrel::vessolt::test
