#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "script/ratings_script.h"

#include <QCoreApplication>
#include <chrono>
#include <clocale>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "services/device_summary.h"
#include "services/log.h"
#include "platform/process.h"
#include "services/qt_message_sink.h"
#include "services/user_prompt.h"
#include "services/window_messages.h"

using namespace ostrel::vessolt;
namespace fs = std::filesystem;

namespace {

class RatingsScriptTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "ratings-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        folder = tmpl;
    }
    void TearDown() override { fs::remove_all(folder); }

    void writeFile(const std::string& name, const std::string& text) {
        std::ofstream(folder / name, std::ios::binary) << text;
    }
    void writeScript(const std::string& text) { writeFile("ratings.py", text); }

    std::vector<std::string> logLines() const { return log.GetLinesFrom(0); }
    DeviceSummaryRecord record() const {
        DeviceSummaryRecord r{};
        EXPECT_TRUE(summary.GetSummary(r));
        return r;
    }

    fs::path folder;
    TLog log;
    TDeviceSummary summary;
    RecordingPrompt prompt;
    // Rebuilt per test, once the folder exists.
    std::unique_ptr<TRatingsScript> ratings;

    TRatingsScript& rs() {
        if (!ratings)
            ratings = std::make_unique<TRatingsScript>(folder.string() + "/", log, summary, prompt);
        return *ratings;
    }
};

struct ChangeCounter : QObject {
    int changes = 0;
    bool event(QEvent* e) override {
        if (e->type() != ServiceEvent::type())
            return QObject::event(e);
        changes += static_cast<ServiceEvent*>(e)->message == WM_DEVICESUMMARYCHANGED;
        return true;
    }
};

} // namespace

TEST_F(RatingsScriptTest, OutputBecomesWholeLogLinesAndAFailureIsReportedOnce) {
    writeScript("import Norbix\n"
                "print('hello')\n"
                "print()\n"
                "Norbix.write('two\\nlines')\n"
                "Norbix.write(' joined\\n')\n"
                "for bad in ((1,), ('a', 'b'), ()):\n"
                "    try:\n"
                "        Norbix.write(*bad)\n"
                "    except TypeError:\n"
                "        print('TypeError', len(bad))\n"
                "1/0\n");
    EXPECT_FALSE(rs().Run());
    std::vector<std::string> lines = logLines();
    ASSERT_GE(lines.size(), 8u);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 6),
              (std::vector<std::string>{"hello", "two", "lines joined", "TypeError 1", "TypeError 2",
                                        "TypeError 0"}));
    EXPECT_EQ(lines[6], "Traceback (most recent call last):");
    EXPECT_EQ(lines[7], "  File \"" + (folder / "ratings.py").string() + "\", line 11, in <module>");
    EXPECT_EQ(lines.back(), "ZeroDivisionError: division by zero");
    ASSERT_EQ(prompt.asked().size(), 1u);
    EXPECT_EQ(prompt.asked()[0].text, TRatingsScript::kFailureText);
    EXPECT_EQ(prompt.asked()[0].caption, kProductName);
    EXPECT_EQ(prompt.asked()[0].icon, PromptIcon::Warning);
    EXPECT_EQ(prompt.asked()[0].buttons, PromptButtons::Ok);

    // UTF-8 whatever the locale, which the interpreter leaves alone; a clean sys.exit is success.
    log.Clear();
    const std::string localeBefore = std::setlocale(LC_ALL, nullptr);
    writeScript("import sys, Norbix\nprint(sys.stdout is Norbix, sys.stdin, 'größe')\nsys.exit(0)\n");
    EXPECT_TRUE(rs().Run());
    EXPECT_EQ(logLines(), std::vector<std::string>{"True None größe"});
    EXPECT_EQ(std::setlocale(LC_ALL, nullptr), localeBefore);
    writeScript("import sys\nsys.exit(3)\n");
    EXPECT_FALSE(rs().Run());
    EXPECT_EQ(logLines().back(), "SystemExit: 3");
}

TEST_F(RatingsScriptTest, DeviceSummaryTypeOffersEveryFieldWithItsDoc) {
    writeScript("import Norbix\n"
                "ds = Norbix.DeviceSummary()\n"
                "print(Norbix.__doc__, type(ds).__name__, type(ds).__module__, type(ds).__doc__, sep='|')\n"
                "print(ds.bootup_min, ds.bootup_hasdata, ds.baudrate, Norbix.PASSED, Norbix.UNTESTED,\n"
                "      Norbix.NOTSTARTED, Norbix.CANCELLED, Norbix.READWRITE)\n"
                "for name, attr in vars(Norbix.DeviceSummary).items():\n"
                "    if hasattr(attr, '__get__') and not name.startswith('__'):\n"
                "        print('attr', name, attr.__doc__, sep='|')\n"
                "try:\n"
                "    class Sub(Norbix.DeviceSummary): pass\n"
                "except TypeError:\n"
                "    print('no subclass')\n"
                "try:\n"
                "    del ds.vendor\n"
                "except TypeError:\n"
                "    print('no delete')\n");
    summary.SetBaudrate(250);
    ASSERT_TRUE(rs().Run()) << ::testing::PrintToString(logLines());
    std::vector<std::string> lines = logLines();
    ASSERT_EQ(lines.size(), 2 + kSummaryFieldCount + kSummaryPresenceCount + 2);
    EXPECT_EQ(lines[0], "Norbix Support Module|DeviceSummary|Norbix|Device Summary");
    EXPECT_EQ(lines[1], "0.0 0 250 2 3 0 5 2");
    size_t i = 2;
    for (const SummaryField& f : kSummaryFields)
        EXPECT_EQ(lines[i++], std::string("attr|") + f.name + "|" + f.doc);
    for (const SummaryPresence& p : kSummaryPresence)
        EXPECT_EQ(lines[i++], std::string("attr|") + p.name + "|" + p.doc);
    EXPECT_EQ(lines[i++], "no subclass");
    EXPECT_EQ(lines[i++], "no delete");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "attr|nodeid|noder id"), lines.end());
}

TEST_F(RatingsScriptTest, AttributeWritesFollowTheirRules) {
    ChangeCounter target;
    QtMessageSink sink(&target);
    summary.AddListener(&sink);
    writeScript("import Norbix\n"
                "ds = Norbix.DeviceSummary()\n"
                "ds.bootuptime = 120.0\n"
                "ds.bootuptime = 120\n"
                "ds.bootup_min = 5\n"
                "ds.bootup_hasdata = 0\n"
                "ds.compatibilityrating = 87.9\n"
                "ds.nodeid = 0x105\n"
                "ds.devicetype = 0xFFFF0191\n"
                "ds.reliabilityrating = -7\n"
                "ds.nmtmaster = 7\n"
                "ds.maxbusload = 40\n"
                "ds.maxbusload = 30.5\n"
                "ds.rpdonum = True\n"
                "for attr, value in (('baudrate', 2**32), ('lss', -2**31 - 1), ('tpdonum', 'x'),\n"
                "                    ('bootuptime', None), ('performancerating', float('nan'))):\n"
                "    try:\n"
                "        setattr(ds, attr, value)\n"
                "    except Exception as e:\n"
                "        print(attr, type(e).__name__)\n"
                "print(ds.bootup_numtries, ds.bootup_total, ds.bootup_min, ds.bootup_hasdata,\n"
                "      ds.compatibilityrating, ds.nodeid, ds.devicetype, ds.reliabilityrating,\n"
                "      ds.nmtmaster, ds.maxbusload, ds.rpdonum, ds.performancerating)\n");
    ASSERT_TRUE(rs().Run()) << ::testing::PrintToString(logLines());
    EXPECT_EQ(logLines(),
              (std::vector<std::string>{"baudrate OverflowError", "lss OverflowError", "tpdonum TypeError",
                                        "bootuptime TypeError", "performancerating ValueError",
                                        "2 240.0 120.0 1 87 5 -65135 -7 1 40.0 1 0"}));
    DeviceSummaryRecord r = record();
    EXPECT_EQ(r.devicetype, 0xFFFF0191u);
    EXPECT_EQ(r.compatibilityrating, 87);
    EXPECT_FALSE(r.flags[kFlagBaudrate]);
    EXPECT_FALSE(r.flags[kFlagPerformanceRating]);
    QCoreApplication::sendPostedEvents(&target);
    EXPECT_EQ(target.changes, 10);  // one per accepted write of a writable attribute
}

TEST_F(RatingsScriptTest, SyntaxErrorKeepsRatingsAndNothingSurvivesARun) {
    summary.SetPerformanceRating(50);
    writeScript("import Norbix\nNorbix.DeviceSummary().performancerating = 10\nif True\n");
    EXPECT_FALSE(rs().Run());
    std::vector<std::string> lines = logLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "SyntaxError: expected ':'");
    EXPECT_EQ(record().performancerating, 50);
    EXPECT_EQ(prompt.asked().size(), 1u);

    writeScript("import Norbix, sys\nmarker = 1\nNorbix.leftover = 1\nsys.path.append('/nowhere')\n"
                "Norbix.DeviceSummary().performancerating = 10\n");
    EXPECT_TRUE(rs().Run());
    EXPECT_EQ(record().performancerating, 10);
    log.Clear();
    writeScript("import Norbix, sys\n"
                "print('marker' in globals(), hasattr(Norbix, 'leftover'), '/nowhere' in sys.path,\n"
                "      sys.path[0] == __file__.rsplit('/', 1)[0], 'ratings' in sys.modules)\n");
    EXPECT_TRUE(rs().Run());
    EXPECT_EQ(logLines(), std::vector<std::string>{"False False False True True"});
    EXPECT_EQ(prompt.asked().size(), 1u);
}

TEST_F(RatingsScriptTest, MissingScriptAndFileRoundTrips) {
    EXPECT_FALSE(rs().Run());
    ASSERT_EQ(logLines().size(), 1u);
    EXPECT_EQ(logLines()[0], "OSError: The ratings script " + (folder / "ratings.py").string() +
                                 " cannot be read: No such file or directory");
    EXPECT_EQ(prompt.asked().size(), 1u);

    std::vector<std::string> lines{"stale"};
    EXPECT_FALSE(rs().LoadScript(lines));
    EXPECT_TRUE(lines.empty());
    char* buf = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&buf, &len);
    rs().WriteReport(f, 0);
    std::fflush(f);
    EXPECT_EQ(std::string(buf, len), "\n\nRATINGS SCRIPT\n--------------\n\n(ratings.py not found)\n");

    const std::vector<std::string> text{"# größe", "", "print('x')", ""};
    std::string error;
    ASSERT_TRUE(rs().SaveScript("# größe\n\nprint('x')\n\n", error));
    EXPECT_TRUE(rs().LoadScript(lines));
    EXPECT_EQ(lines, text);
    rewind(f);
    rs().WriteReport(f, 0);
    rs().WriteReport(f, 1);
    std::fclose(f);
    EXPECT_EQ(std::string(buf, len), "\n\nRATINGS SCRIPT\n--------------\n\n# größe\n\nprint('x')\n\n"
                                     "\n\nRATINGS SCRIPT\n--------------\n\n");
    std::free(buf);
    ASSERT_TRUE(rs().SaveScript("", error));
    EXPECT_TRUE(rs().LoadScript(lines));
    EXPECT_TRUE(lines.empty());
    // Nothing but the script is left in the folder.
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);

    writeScript("a\r\nb");
    EXPECT_TRUE(rs().LoadScript(lines));
    EXPECT_EQ(lines, (std::vector<std::string>{"a", "b"}));
    TRatingsScript nowhere((folder / "missing").string(), log, summary, prompt);
    EXPECT_FALSE(nowhere.SaveScript("x\n", error));
    EXPECT_EQ(error, "No such file or directory");

    // For the editor: only UTF-8 throughout can be shown and written back as it was.
    for (const auto& [bytes, utf8] : {std::pair<std::string, bool>{"# größe\r\n", true}, {"\xef\xbb\xbfx = 1", true},
                                      {"# gr\xf6\xdf" "e", false}, {"\xc0\xaf", false}, {"\xed\xa0\x80", false},
                                      {"x\xe2\x82", false}, {"", true}})
        EXPECT_EQ(TRatingsScript::IsUtf8Text(bytes), utf8) << bytes;
}

// A FIFO named ratings.py: every reader (the run, the settings dialog's, the report) says at once
// that the script cannot be read instead of waiting for a writer that never comes.
TEST_F(RatingsScriptTest, ScriptThatIsAFifoIsRefusedAtOnce) {
    const std::string path = (folder / "ratings.py").string();
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    EXPECT_FALSE(rs().Run());
    EXPECT_EQ(logLines(), std::vector<std::string>{"OSError: The ratings script " + path +
                                                   " cannot be read: not a regular file"});
    std::vector<std::string> lines;
    std::string error;
    EXPECT_FALSE(rs().LoadScript(lines, &error));
    EXPECT_EQ(error, "not a regular file");
    char* buf = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&buf, &len);
    rs().WriteReport(f, 0);
    std::fclose(f);
    EXPECT_EQ(std::string(buf, len), "\n\nRATINGS SCRIPT\n--------------\n\n(ratings.py cannot be read: not a regular file)\n");
    std::free(buf);
}

TEST_F(RatingsScriptTest, LoopingScriptIsStoppedAndTheNextRunWorks) {
    rs().SetTimeLimit(std::chrono::milliseconds(500));
    writeScript("try:\n    while True: pass\nexcept TimeoutError:\n    pass\nwhile True: pass\n");
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(rs().Run());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    std::vector<std::string> lines = logLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "TimeoutError");
    EXPECT_EQ(lines.back(), "The ratings script was stopped after 500 ms");
    EXPECT_EQ(prompt.asked().size(), 1u);

    log.Clear();
    writeScript("import time\ntime.sleep(0.7)\nprint('done')\n");
    rs().SetTimeLimit(std::chrono::seconds(5));
    EXPECT_TRUE(rs().Run());
    EXPECT_EQ(logLines(), std::vector<std::string>{"done"});
}

TEST_F(RatingsScriptTest, HelperModulesAreReloadedAndNoBytecodeIsWritten) {
    fs::create_directory(folder / "pkg");
    writeFile("pkg/__init__.py", "");
    writeFile("helper.py", "VALUE = 1\n");
    writeScript("import helper, pkg\nprint(helper.VALUE)\n");
    ASSERT_TRUE(rs().Run()) << ::testing::PrintToString(logLines());
    writeFile("helper.py", "VALUE = 22\n");
    ASSERT_TRUE(rs().Run());
    EXPECT_EQ(logLines(), (std::vector<std::string>{"1", "22"}));
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        EXPECT_NE(entry.path().filename(), "__pycache__");
        EXPECT_NE(entry.path().extension(), ".pyc");
    }
}

namespace {

PyObject* probeStatus(PyObject*, void*) {
    return PyLong_FromLong(4);  // FAILED
}

PyGetSetDef probeGetSets[] = {{"status", probeStatus, nullptr, "test status", nullptr},
                              {nullptr, nullptr, nullptr, nullptr, nullptr}};

// A test's script type as the test manager registers it: a static type, added to every run's module.
PyTypeObject probeType = [] {
    PyTypeObject t{};
    t.ob_base.ob_base.ob_refcnt = 1;
    t.tp_name = "Norbix.TPDOSync";
    t.tp_basicsize = sizeof(PyObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_getset = probeGetSets;
    t.tp_new = PyType_GenericNew;
    return t;
}();

void registerProbe(PyObject* module) {
    if (PyType_Ready(&probeType) < 0)
        return;
    PyModule_AddObjectRef(module, "Probe", reinterpret_cast<PyObject*>(&probeType));
}

} // namespace

TEST_F(RatingsScriptTest, RegisteredTypesAreInEveryRunsModule) {
    int calls = 0;
    rs().SetTypeRegistrar([&](PyObject* module) {
        ++calls;
        registerProbe(module);
    });
    writeScript("import Norbix\nprint(Norbix.Probe().status)\n");
    ASSERT_TRUE(rs().Run()) << ::testing::PrintToString(logLines());
    ASSERT_TRUE(rs().Run());
    EXPECT_EQ(logLines(), (std::vector<std::string>{"4", "4"}));
    EXPECT_EQ(calls, 2);

    // A registrar that leaves an error behind: it is logged and the script still runs.
    rs().SetTypeRegistrar([](PyObject*) { PyErr_SetString(PyExc_ValueError, "bad registrar"); });
    log.Clear();
    writeScript("print('ran')\n");
    EXPECT_TRUE(rs().Run());
    EXPECT_EQ(logLines(), (std::vector<std::string>{"ValueError: bad registrar", "ran"}));
}

// The object dictionary scan ran to its end: its findings rate the compatibility.
static void registerCompletedScan(PyObject* module) {
    PyObject* globals = PyModule_GetDict(module);
    Py_XDECREF(PyRun_String("class ODScan:\n    status = 2\n", Py_file_input, globals, globals));
}

TEST_F(RatingsScriptTest, ShippedScriptRatesTheDevice) {
    fs::copy_file(fs::path(ostrel::platform::executableDir()) / "ratings.py", folder / "ratings.py");
    rs().SetTypeRegistrar(registerCompletedScan);
    ASSERT_TRUE(rs().Run()) << ::testing::PrintToString(logLines());
    EXPECT_TRUE(logLines().empty());
    DeviceSummaryRecord fresh = record();
    EXPECT_FALSE(fresh.flags[kFlagCompatibilityRating] || fresh.flags[kFlagPerformanceRating] ||
                 fresh.flags[kFlagReliabilityRating]);

    summary.SetHeartbeatProducer(1);
    summary.SetEmcyProducer(1);
    summary.SetTPDONum(4);
    summary.SetRPDONum(4);
    summary.SetPDOMapping(2);
    summary.SetSDOServerNum(1);
    summary.AddBootupTime(1750);
    summary.AddSDOResponseTime(1);
    summary.AddHeartbeatTime(95);
    summary.AddHeartbeatTime(108);
    ASSERT_TRUE(rs().Run()) << ::testing::PrintToString(logLines());
    DeviceSummaryRecord r = record();
    EXPECT_EQ(r.compatibilityrating, 71);
    EXPECT_EQ(r.performancerating, 75);
    EXPECT_EQ(r.reliabilityrating, 63);
    EXPECT_EQ(logLines(), (std::vector<std::string>{"Compatibility rating: 71", "Performance rating: 75",
                                                    "Reliability rating: 63"}));

    // A timing test that failed costs reliability 20 points; the event timings join performance.
    rs().SetTypeRegistrar([](PyObject* module) {
        registerCompletedScan(module);
        if (PyType_Ready(&probeType) == 0)
            PyModule_AddObjectRef(module, "TPDOSync", reinterpret_cast<PyObject*>(&probeType));
    });
    summary.AddEventTPDO10msTime(11);  // deviation 10 %: s = 100 * 40 / 45
    ASSERT_TRUE(rs().Run());
    r = record();
    EXPECT_EQ(r.reliabilityrating, 43);
    EXPECT_EQ(r.performancerating, 80);  // (50 + 100 + 88.9) / 3 = 79.6
}
