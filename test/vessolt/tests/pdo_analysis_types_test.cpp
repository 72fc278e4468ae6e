// Norbix.PDOAnalysisPDO and Norbix.PDOAnalysis as the ratings script sees them, after a real
// analysis, over several script runs.
#include <filesystem>
#include <fstream>

#include "pdo_analysis_fixture.h"
#include "pdo_analysis_types.h"
#include "ratings_script.h"

namespace ostrel::vessolt::test {
namespace {

namespace fs = std::filesystem;

TEST_F(PDOAnalysisFixture, ScriptTypesReadTheTableInEveryRun) {
    addDevice();
    open();
    ASSERT_EQ(run(), PASSED);

    std::string folder = (fs::temp_directory_path() / "pdoanalysis-XXXXXX").string();
    ASSERT_NE(::mkdtemp(folder.data()), nullptr);
    std::ofstream(fs::path(folder) / "ratings.py")
        << "import Norbix\n"
           "p = Norbix.PDOAnalysisPDO(0x1800)\n"
           "print('tpdo1', p.index, p.found, hex(p.cobid), p.transtype, p.mappingnum, p.cobidaccess,\n"
           "      p.mappingnumaccess, p.mapping(0), hex(p.mapping(1)), p.mapping(9), p.mapping(-1), p.mapping('x'))\n"
           "r = Norbix.PDOAnalysisPDO(0x1402)\n"
           "print('rpdo3', r.found, r.mappingnumaccess == Norbix.UNTESTED, r.transtypeaccess == Norbix.READWRITE)\n"
           "m = Norbix.PDOAnalysisPDO(0x1A00)\n"
           "print('mapping index', m.found, m.cobid, m.mapping(1))\n"
           "print('test', Norbix.PDOAnalysis().status == Norbix.PASSED, Norbix.PDOAnalysis().enabled)\n"
           "try:\n"
           "    p.cobid = 1\n"
           "except AttributeError:\n"
           "    print('read-only')\n"
           "print('doc', Norbix.PDOAnalysisPDO.__doc__)\n";

    TRatingsScript ratings(folder + "/", log, summary, prompt,
                           [this](_object* module) { manager.RegisterPythonTypes(module); });
    RegisterPDOAnalysisTest(manager, analysis,
                            {.registerPythonTypes = [this](_object* m) { RegisterPDOAnalysisPythonTypes(m, analysis); }});
    for (int i = 0; i < 3; ++i) {
        log.Clear();
        ASSERT_TRUE(ratings.Run()) << (log.GetLineCount() ? log.GetLine(log.GetLineCount() - 1) : "");
        EXPECT_TRUE(logHas("tpdo1 6144 1 0x190 255 2 2 2 2 0x60000108 0 0 0"));
        EXPECT_TRUE(logHas("rpdo3 1 True True"));
        EXPECT_TRUE(logHas("mapping index 0 0 0"));
        EXPECT_TRUE(logHas("test True 1"));
        EXPECT_TRUE(logHas("read-only"));
        EXPECT_TRUE(logHas("doc OD scan od entry"));
    }
    fs::remove_all(folder);
}

}  // namespace
}  // namespace ostrel::vessolt::test
