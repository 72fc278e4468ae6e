// Test reports: the whole report against a golden file whose checksum was computed independently
// (zlib.crc32 of the text XOR 0xFFFFFFFF), the checksum rules, validation of generated and edited
// reports, failures of the file system, and the report commands behind their seams.
#include "testing/test_report.h"

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <vector>

#include <sys/stat.h>

#include "services/device_summary.h"
#include "services/log.h"
#include "platform/registry.h"
#include "script/ratings_script.h"
#include "summary_fixture.h"
#include "testing/summary_text.h"

using namespace ostrel::vessolt;
namespace fs = std::filesystem;

namespace {

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string dataPath(const std::string& name) { return std::string(OSTREL_REPORT_DATA) + "/" + name; }

std::tm localTime(int year, int month, int day, int hour, int minute, int second) {
    std::tm tm{};
    tm.tm_year = year - 1900, tm.tm_mon = month - 1, tm.tm_mday = day;
    tm.tm_hour = hour, tm.tm_min = minute, tm.tm_sec = second;
    return tm;
}

// A copy with CR LF line ends, as a Windows editor or unix2dos would save it: bare LFs get a CR.
std::string withCrLf(const std::string& text) {
    std::string out;
    for (char ch : text) {
        if (ch == '\n' && (out.empty() || out.back() != '\r'))
            out.push_back('\r');
        out.push_back(ch);
    }
    return out;
}

// The text as the checksum reads it: a CR just before an LF is no part of it.
std::string asRead(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            out.push_back(text[i]);
    return out;
}

class TestReportTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "report-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        folder = tmpl;
        ::setenv("OSTREL_REGISTRY_DIR", (folder / "registry").c_str(), 1);
        for (const char* line : {"[Fixture] Test started at 15:04:05", "[Fixture] Test passed",
                                 "Compatibility rating: 87"})
            log.Add(line);
    }
    void TearDown() override {
        report.reset();
        ::unsetenv("OSTREL_REGISTRY_DIR");
        fs::remove_all(folder);
    }

    // A report wired as start-up and the main window wire it, with a fixture test's section and a
    // node configuration writer that did not configure the node.
    TTestReport& makeReport() {
        report = std::make_unique<TTestReport>(prompt, [this] { return clock; });
        report->SetSectionWriter(ReportSection::DeviceSummary, [this](std::FILE* f, int layout) {
            note('S', layout);
            WriteDeviceSummary(f, layout, summaryTexts);
        });
        report->SetSectionWriter(ReportSection::TestSections, [this](std::FILE* f, int layout) {
            note('T', layout);
            if (layout == 0)
                std::fputs("\n\nFIXTURE TEST\n------------\n\nResult: Passed\nObjects read: 3\n", f);
            else
                std::fputs("\n\nFIXTURE TEST\n\nResult\tPassed\nObjects read\t3\n", f);
        });
        report->SetSectionWriter(ReportSection::RatingsScript, [this](std::FILE* f, int layout) {
            note('R', layout);
            ratings.WriteReport(f, layout);
        });
        report->SetSectionWriter(ReportSection::Log, [this](std::FILE* f, int layout) {
            note('L', layout);
            log.WriteReport(f, layout);
        });
        report->SetSectionWriter(ReportSection::NodeConfiguration, [this](std::FILE* f, int layout) {
            note('N', layout);
            std::fputs("\n\nNODE CONFIGURATION\n------------------\n\nThe node was not configured\n", f);
        });
        return *report;
    }

    void note(char section, int layout) {
        calls.push_back(section);
        calls.push_back(static_cast<char>('0' + layout));
    }

    // Generates into the folder; the report's text.
    std::string generate(const std::string& name = "report.txt") {
        if (!report)
            makeReport();
        const fs::path path = folder / name;
        EXPECT_TRUE(report->Generate(path.string()));
        return readFile(path);
    }

    ReportVerdict check(const std::string& text) {
        const fs::path path = folder / "edited.txt";
        writeFile(path, text);
        return report->CheckFile(path.string());
    }

    fs::path folder;
    RecordingPrompt prompt;
    TLog log;
    TDeviceSummary summary;
    TRatingsScript ratings{OSTREL_REPORT_DATA, log, summary, prompt};
    SummaryTexts summaryTexts = FormatSummary(summary_fixture::fullRecord(), summary_fixture::NamedStore{});
    std::tm clock = localTime(2026, 12, 9, 15, 4, 5);
    std::string calls;
    std::unique_ptr<TTestReport> report;
};

TEST(ReportChecksum, RegisterEncodingAndDecoding) {
    ReportChecksum abc;
    abc.Add("abc");
    EXPECT_EQ(abc.Value(), 0xCADBBE3Du);
    EXPECT_EQ(EncodeReportChecksum(abc.Value()), "CADBBEMD");
    EXPECT_EQ(EncodeReportChecksum(0x01234567u), "JKLMNOPQ");
    EXPECT_EQ(EncodeReportChecksum(0xFFFFFFFFu), "FFFFFFFF");
    EXPECT_EQ(EncodeReportChecksum(0), "JJJJJJJJ");
    EXPECT_EQ(ReportChecksum().Value(), 0xFFFFFFFFu);

    // Every byte counts, a NUL too; pieces hash as the whole.
    ReportChecksum withNul, pieces, whole;
    withNul.Add(std::string_view("ab\0c", 4));
    EXPECT_NE(withNul.Value(), abc.Value());
    const std::string line(1500, 'x');
    whole.Add(line);
    pieces.Add(std::string_view(line).substr(0, 999));
    pieces.Add(std::string_view(line).substr(999));
    EXPECT_EQ(pieces.Value(), whole.Value());

    EXPECT_EQ(DecodeReportChecksum("CADBBEMD"), 0xCADBBE3Du);
    EXPECT_EQ(DecodeReportChecksum(" \t\nJKLMNOPQ"), 0x01234567u);
    EXPECT_EQ(DecodeReportChecksum("cadbbeMD"), 0xCADBBE3Du);
    EXPECT_EQ(DecodeReportChecksum("FFFFFFFF"), 0xFFFFFFFFu);
    EXPECT_EQ(DecodeReportChecksum("JCADBBEMD"), 0xCADBBE3Du);  // a leading zero adds no value
    EXPECT_EQ(DecodeReportChecksum("1CADBBEMD"), 0xFFFFFFFFu);  // not cut to its low 32 bits
    EXPECT_EQ(DecodeReportChecksum("123456789ABCDEF0123"), 0xFFFFFFFFu);
    EXPECT_EQ(DecodeReportChecksum("12G4"), 0x12u);
    EXPECT_EQ(DecodeReportChecksum(""), 0u);
    EXPECT_EQ(DecodeReportChecksum("-1"), 0u);
    EXPECT_EQ(DecodeReportChecksum("+1"), 0u);
    EXPECT_EQ(DecodeReportChecksum("0x1F"), 0u);
}

TEST_F(TestReportTest, WholeReportMatchesTheGoldenInAnyLocale) {
    const std::string golden = readFile(dataPath("whole_report.txt"));
    ASSERT_FALSE(golden.empty());
    EXPECT_EQ(generate(), golden);
    EXPECT_EQ(calls, "S0T0R0L0N0S1T1L1");
    EXPECT_EQ(report->GetLastReport(), (folder / "report.txt").string());
    EXPECT_EQ(report->CheckFile((folder / "report.txt").string()), ReportVerdict::Valid);
    EXPECT_TRUE(prompt.asked().empty());
    // The golden validates as it stands, and as a CR LF copy.
    EXPECT_EQ(report->CheckFile(dataPath("whole_report.txt")), ReportVerdict::Valid);
    EXPECT_EQ(check(withCrLf(golden)), ReportVerdict::Valid);

    const std::string previous = std::setlocale(LC_ALL, nullptr);
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8"))
        GTEST_SKIP() << "the de_DE.UTF-8 locale is not installed (scripts/setup generates it)";
    const std::string inGerman = generate("german.txt");
    std::setlocale(LC_ALL, previous.c_str());
    EXPECT_EQ(inGerman, golden);
}

TEST_F(TestReportTest, HeaderTimeIsTwelveHourEnglish) {
    const std::pair<std::tm, const char*> cases[] = {
        {localTime(2027, 1, 1, 0, 30, 0), "on 01-Jan-2027 at 12:30:00AM\n"},
        {localTime(2026, 6, 15, 12, 0, 0), "on 15-Jun-2026 at 12:00:00PM\n"},
        {localTime(2026, 9, 30, 23, 59, 59), "on 30-Sep-2026 at 11:59:59PM\n"},
        {localTime(2026, 5, 3, 11, 5, 9), "on 03-May-2026 at 11:05:09AM\n"},
    };
    for (const auto& [tm, expected] : cases) {
        clock = tm;
        const std::string text = generate();
        EXPECT_EQ(text.substr(0, text.find("\nVisit") + 1),
                  std::string("CANOPEN NORBIX EVAL TEST REPORT\n"
                              "Generated by CANopen Norbix Eval 1.10.2624 ") + expected);
    }
}

TEST_F(TestReportTest, EveryChangedByteAboveTheChecksumLineIsFound) {
    const std::string text = generate();
    const size_t checksumLine = text.rfind("<reportchecksum>");
    ASSERT_NE(checksumLine, std::string::npos);
    const fs::path path = folder / "edited.txt";
    writeFile(path, text);
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    auto put = [&](size_t at, char ch) {
        file.seekp(static_cast<std::streamoff>(at));
        file.put(ch);
        file.flush();
    };
    size_t invalid = 0;
    for (size_t i = 0; i < checksumLine; ++i) {
        put(i, static_cast<char>(text[i] ^ 0x01));
        if (report->CheckFile(path.string()) == ReportVerdict::Invalid)
            ++invalid;
        else
            ADD_FAILURE() << "byte " << i << " changed unnoticed";
        put(i, text[i]);
        if (::testing::Test::HasFailure())
            break;
    }
    EXPECT_EQ(invalid, checksumLine);
    EXPECT_EQ(report->CheckFile(path.string()), ReportVerdict::Valid);
}

TEST_F(TestReportTest, ValidationOfEditedReports) {
    log.Add("A line that names <reportchecksum>JJJJJJJJ</reportchecksum> in the body");
    log.Add("A line that ends in a carriage return\r");
    log.Add(std::string(1500, 'L'));
    log.Add(std::string(70000, 'M'));  // over a read block
    const std::string text = generate();
    EXPECT_EQ(check(text), ReportVerdict::Valid);

    // The stored checksum is the register over every byte before the checksum line, read whole; the
    // log line that ends in CR is written as CR LF and read as LF.
    const size_t last = text.rfind("<reportchecksum>");
    ASSERT_NE(text.find("carriage return\r\n"), std::string::npos);
    ReportChecksum whole;
    whole.Add(asRead(text.substr(0, last)));
    EXPECT_EQ(text.substr(last), "<reportchecksum>" + EncodeReportChecksum(whole.Value()) + "</reportchecksum>\n");

    EXPECT_EQ(check(withCrLf(text)), ReportVerdict::Valid);
    std::string lower = text;
    for (size_t i = last + 16; lower[i] != '<'; ++i)
        if (lower[i] >= 'A' && lower[i] <= 'F')
            lower[i] = static_cast<char>(lower[i] - 'A' + 'a');
    ASSERT_NE(lower, text) << "the checksum has letters A to F to lower";
    EXPECT_EQ(check(lower), ReportVerdict::Valid);
    EXPECT_EQ(check(text.substr(0, text.size() - 1)), ReportVerdict::Valid);  // the last line end cut off

    EXPECT_EQ(check(text.substr(0, last)), ReportVerdict::NoChecksum);
    EXPECT_EQ(check(text + "appended\n"), ReportVerdict::NoChecksum);
    EXPECT_EQ(check(text + "\n"), ReportVerdict::NoChecksum);
    EXPECT_EQ(check(""), ReportVerdict::NoChecksum);

    std::string digitFirst = text;
    digitFirst.insert(last + 16, 1, '1');
    EXPECT_EQ(check(digitFirst), ReportVerdict::Invalid);
    std::string spaced = text;
    spaced.insert(last + 16, 1, ' ');
    EXPECT_EQ(check(spaced), ReportVerdict::Valid);
    // The body's last line end belongs to the body.
    std::string joined = text;
    joined.erase(last - 1, 1);
    EXPECT_EQ(check(joined), ReportVerdict::Invalid);
}

TEST_F(TestReportTest, AReportEndingInACarriageReturnValidates) {
    makeReport().SetSectionWriter(ReportSection::Log, [](std::FILE* f, int) { std::fputs("last line\r", f); });
    EXPECT_EQ(check(generate()), ReportVerdict::Valid);
}

TEST_F(TestReportTest, TextHiddenAfterANulIsHashed) {
    makeReport();
    const std::string body = "REPORT\nbody line\n";
    const std::string hidden = std::string(1, '\0') + std::string(998, 'h');  // fills a 999-byte piece
    ReportChecksum shown;  // what a reader that stops at the NUL would hash
    shown.Add(body + "\n");
    const std::string line = "<reportchecksum>" + EncodeReportChecksum(shown.Value()) + "</reportchecksum>\n";
    EXPECT_EQ(check(body + "\n" + line), ReportVerdict::Valid);
    EXPECT_EQ(check(body + hidden + "\n" + line), ReportVerdict::Invalid);

    // A CR at the end of a read block still pairs with the LF after it.
    const std::string longLine(65535, 'a');
    ReportChecksum crossing;
    crossing.Add(longLine + "\n");
    const std::string crossingLine = "<reportchecksum>" + EncodeReportChecksum(crossing.Value()) + "</reportchecksum>";
    EXPECT_EQ(check(longLine + "\r\n" + crossingLine + "\r\n"), ReportVerdict::Valid);
    // A lone CR is text.
    ReportChecksum loneCr;
    loneCr.Add("ab\n");
    EXPECT_EQ(check("a\rb\n<reportchecksum>" + EncodeReportChecksum(loneCr.Value()) + "</reportchecksum>\n"),
              ReportVerdict::Invalid);
}

TEST_F(TestReportTest, ValidateTellsTheVerdict) {
    const std::string text = generate();
    const fs::path path = folder / "report.txt";
    writeFile(folder / "edited.txt", "X" + text);
    writeFile(folder / "bare.txt", "no checksum\n");
    report->Validate(path.string());
    report->Validate((folder / "edited.txt").string());
    report->Validate((folder / "bare.txt").string());
    report->Validate((folder / "missing.txt").string());
    report->Validate(folder.string());  // a folder opens but does not read
    ASSERT_EQ(::mkfifo((folder / "fifo.txt").c_str(), 0600), 0);
    report->Validate((folder / "fifo.txt").string());  // at once, without waiting for a writer
    const auto asked = prompt.asked();
    ASSERT_EQ(asked.size(), 6u);
    const char* expected[] = {
        "Test report is valid (contents were generated by CANopen Norbix Eval)",
        "Test report is invalid (has been modified since generation)",
        "No checksum found in test report - unable to validate",
        "Unable to open test report (No such file or directory)",
        "Unable to open test report (Is a directory)",
        "Unable to open test report (not a regular file)",
    };
    for (size_t i = 0; i < asked.size(); ++i) {
        EXPECT_EQ(asked[i].text, expected[i]);
        EXPECT_EQ(asked[i].icon, PromptIcon::Warning);
        EXPECT_EQ(asked[i].caption, "CANopen Norbix Eval");
        EXPECT_EQ(asked[i].buttons, PromptButtons::Ok);
    }
}

TEST_F(TestReportTest, FailuresKeepTheLastReport) {
    const std::string good = (folder / "report.txt").string();
    generate();
    ASSERT_EQ(report->GetLastReport(), good);

    EXPECT_FALSE(report->Generate((folder / "no-such-folder" / "r.txt").string()));
    ASSERT_EQ(::mkfifo((folder / "pipe.txt").c_str(), 0600), 0);
    EXPECT_FALSE(report->Generate((folder / "pipe.txt").string()));  // at once: a pipe is no report file
    // A section writer that throws.
    report->SetSectionWriter(ReportSection::TestSections, [](std::FILE* f, int) {
        std::fputs("half a section", f);
        throw std::runtime_error("writer failed");
    });
    EXPECT_FALSE(report->Generate((folder / "thrown.txt").string()));
    // The folder vanishes before the report can take its place.
    const fs::path vanishing = folder / "vanishing" / "report.txt";
    fs::create_directory(vanishing.parent_path());
    report->SetSectionWriter(ReportSection::TestSections, [&](std::FILE*, int) { fs::remove_all(vanishing.parent_path()); });
    EXPECT_FALSE(report->Generate(vanishing.string()));
    EXPECT_EQ(report->GetLastReport(), good);

    const auto asked = prompt.asked();
    ASSERT_EQ(asked.size(), 4u);
    const char* expected[] = {"Unable to create test report file (No such file or directory)",
                              "Unable to create test report file (not a regular file)",
                              "Unable to write test report file (a section could not be written)",
                              "Unable to write test report file (No such file or directory)"};
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(asked[i].text, expected[i]) << i;
    for (const auto& a : asked) {
        EXPECT_EQ(a.icon, PromptIcon::None);
        EXPECT_EQ(a.caption, "CANopen Norbix Eval");
        EXPECT_EQ(a.buttons, PromptButtons::Ok);
    }
    // A report cut short is not left behind.
    EXPECT_FALSE(fs::exists(folder / "thrown.txt"));
    for (const auto& entry : fs::directory_iterator(folder))
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
}

TEST_F(TestReportTest, LastReportSurvivesInTheRegistry) {
    {
        TTestReport fresh(prompt);
        EXPECT_EQ(fresh.GetLastReport(), "");
    }
    const std::string path = (folder / "report.txt").string();
    generate();
    report.reset();
    auto key = ostrel::platform::RegistryKey::open(ostrel::platform::RegistryRoot::CurrentUser,
                                                   "\\Software\\Ostrel\\CANopen Norbix Eval\\testreport");
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->readString("lastreport"), path);
    EXPECT_EQ(TTestReport(prompt).GetLastReport(), path);
    EXPECT_TRUE(prompt.asked().empty());
}

TEST_F(TestReportTest, CommandsGoThroughTheirSeams) {
    makeReport();
    std::vector<std::string> dialogs;
    std::vector<std::string> opened;
    std::optional<std::string> answer;
    const ChooseReportFile choose = [&](const ReportFileDialog& d) {
        dialogs.push_back(std::string(d.title) + "|" + d.defaultSuffix + "|" + (d.save ? "save" : "open"));
        return answer;
    };
    const ShellOpen open = [&](const std::string& path) { opened.push_back(path); };

    report->ViewReport(open);
    ASSERT_EQ(prompt.asked().size(), 1u);
    EXPECT_EQ(prompt.asked()[0].text, "No reports generated");
    EXPECT_EQ(prompt.asked()[0].icon, PromptIcon::Information);
    EXPECT_TRUE(opened.empty());

    report->GenerateReport(choose, open);  // cancelled
    EXPECT_TRUE(opened.empty());
    const std::string first = (folder / "first.txt").string();
    answer = first;
    report->GenerateReport(choose, open);
    EXPECT_EQ(opened, std::vector<std::string>{first});
    EXPECT_EQ(report->CheckFile(first), ReportVerdict::Valid);
    report->ViewReport(open);
    EXPECT_EQ(opened.back(), first);

    answer = (folder / "missing" / "second.txt").string();  // fails: the one before is opened
    report->GenerateReport(choose, open);
    EXPECT_EQ(opened, (std::vector<std::string>{first, first, first}));

    answer = first;
    report->CheckReport(choose);
    EXPECT_EQ(prompt.asked().back().text, "Test report is valid (contents were generated by CANopen Norbix Eval)");
    EXPECT_EQ(dialogs, (std::vector<std::string>{"Save Test Report|txt|save", "Save Test Report|txt|save",
                                                 "Save Test Report|txt|save", "Open Test Report|txt|open"}));
}

} // namespace
