// INI profile files: lookups, the integer rule, the two case modes and edits that keep the rest.
#include "platform/ini.h"
#include "platform/regular_file.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>

#include <sys/stat.h>

namespace fs = std::filesystem;
using ostrel::platform::IniFile;
using ostrel::platform::parseIniInteger;

namespace {

IniFile fromText(std::string_view text, IniFile::Case mode = IniFile::Case::Insensitive) {
    IniFile ini({}, mode);
    EXPECT_TRUE(ini.loadFromString(text));
    return ini;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const fs::path& path, std::string_view text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

class TempFolder {
public:
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "ostrel-ini-test-XXXXXX").string();
        if (::mkdtemp(pattern.data())) path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ec;
        if (!path_.empty()) fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

struct IntegerCase {
    const char* text;
    std::optional<int32_t> expected;
};

void PrintTo(const IntegerCase& c, std::ostream* out) { *out << '"' << c.text << '"'; }

class IniInteger : public ::testing::TestWithParam<IntegerCase> {};

TEST_P(IniInteger, ReadsDecimalOrPrefixedHexadecimalAndNothingElse) {
    const IntegerCase& c = GetParam();
    EXPECT_EQ(parseIniInteger(c.text), c.expected);
    // The same rule through a file, where a value that is not a number gives the caller's default.
    const IniFile ini = fromText(std::string("[Numbers]\nvalue=") + c.text + "\n");
    EXPECT_EQ(ini.readInteger("numbers", "VALUE", -777), c.expected.value_or(-777));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, IniInteger,
    ::testing::Values(IntegerCase{"0x1F", 31}, IntegerCase{"0X1f", 31}, IntegerCase{"$1F", 31},
                      IntegerCase{"31", 31}, IntegerCase{" 31 ", 31}, IntegerCase{"-5", -5},
                      IntegerCase{"+7", 7}, IntegerCase{"010", 10}, IntegerCase{"0", 0},
                      IntegerCase{"-0x10", -16}, IntegerCase{"$FFFFFFFF", -1}, IntegerCase{"0x80000000", INT32_MIN},
                      IntegerCase{"2147483647", INT32_MAX}, IntegerCase{"-2147483648", INT32_MIN},
                      IntegerCase{"2147483648", std::nullopt}, IntegerCase{"0x100000000", std::nullopt},
                      IntegerCase{"1F", std::nullopt}, IntegerCase{"", std::nullopt}, IntegerCase{"x", std::nullopt},
                      IntegerCase{"12abc", std::nullopt}, IntegerCase{"0x", std::nullopt},
                      IntegerCase{"$", std::nullopt}, IntegerCase{"-", std::nullopt},
                      IntegerCase{"0x-1", std::nullopt}, IntegerCase{"--1", std::nullopt},
                      IntegerCase{"1 2", std::nullopt}, IntegerCase{"1.5", std::nullopt},
                      IntegerCase{"0x1G", std::nullopt}));

TEST(IniFile, MissingKeysAndSectionsGiveTheDefault) {
    const IniFile ini = fromText("[A]\nk=v\n");
    EXPECT_EQ(ini.readString("A", "missing", "dflt"), "dflt");
    EXPECT_EQ(ini.readString("B", "k", "dflt"), "dflt");
    EXPECT_EQ(ini.readInteger("B", "k", 5), 5);
    EXPECT_TRUE(ini.readBool("B", "k", true));
    EXPECT_FALSE(ini.keyExists("A", "missing"));
}

TEST(IniFile, SectionAndKeyNamesMatchWithoutRegardToCase) {
    const IniFile ini = fromText("[MandatoryObjects]\nSupportedObjects=3\n1=0x1000\n[1A00]\nParameterName=TPDO mapping\n"
                                 "[1a00sub0]\nDataType=0x0005\n");
    EXPECT_EQ(ini.readInteger("mandatoryobjects", "supportedobjects", 0), 3);
    EXPECT_EQ(ini.readString("MANDATORYOBJECTS", "1"), "0x1000");
    EXPECT_EQ(ini.readString("1a00", "parametername"), "TPDO mapping");
    EXPECT_EQ(ini.readString("1A00SUB0", "DATATYPE"), "0x0005");
    EXPECT_TRUE(ini.sectionExists("1a00"));
    EXPECT_TRUE(ini.keyExists("1A00", "PARAMETERNAME"));
    // Names are reported as written.
    EXPECT_EQ(ini.sections(), (std::vector<std::string>{"MandatoryObjects", "1A00", "1a00sub0"}));
    EXPECT_EQ(ini.keys("mandatoryobjects"), (std::vector<std::string>{"SupportedObjects", "1"}));
}

TEST(IniFile, CaseSensitiveModeTellsSectionsAndKeysApart) {
    const std::string text = "[1a00]\nParameterName=lower\n[1A00]\nParameterName=upper\n";
    const IniFile exact = fromText(text, IniFile::Case::Sensitive);
    EXPECT_EQ(exact.readString("1a00", "ParameterName"), "lower");
    EXPECT_EQ(exact.readString("1A00", "ParameterName"), "upper");
    EXPECT_EQ(exact.readString("1A00", "parametername", "none"), "none");
    EXPECT_FALSE(exact.sectionExists("1a00 "));
    EXPECT_FALSE(exact.sectionExists("1AOO"));
    EXPECT_EQ(exact.sections(), (std::vector<std::string>{"1a00", "1A00"}));

    // Without regard to case the second header continues the first section, whose key came first.
    const IniFile loose = fromText(text);
    EXPECT_EQ(loose.readString("1A00", "ParameterName"), "lower");
    EXPECT_EQ(loose.sections(), std::vector<std::string>{"1a00"});
}

TEST(IniFile, ASectionExistsOnlyWhenItHoldsAKey) {
    const IniFile ini = fromText("[Empty]\n; only a comment\nno equals sign here\n[Full]\nk=\n");
    EXPECT_FALSE(ini.sectionExists("Empty"));
    EXPECT_TRUE(ini.sectionExists("Full"));  // an empty value is still a key
    EXPECT_FALSE(ini.sectionExists("Absent"));
    EXPECT_EQ(ini.sections(), std::vector<std::string>{"Full"});
    EXPECT_TRUE(ini.keys("Empty").empty());
}

TEST(IniFile, FirstOccurrenceOfADuplicateKeyWins) {
    const IniFile ini = fromText("[S]\nk=first\nK=second\n[Other]\nx=1\n[s]\nk=third\nextra=4\n");
    EXPECT_EQ(ini.readString("S", "k"), "first");
    EXPECT_EQ(ini.readString("S", "extra"), "4");  // a repeated header continues the section
    EXPECT_EQ(ini.keys("s"), (std::vector<std::string>{"k", "extra"}));
}

TEST(IniFile, LinesAreTrimmedValuesKeepInnerSpacesAndCommentsAreIgnored) {
    const IniFile ini = fromText("key=outside any section\n"
                                 "  [ Device Info ]  ; trailing words\n"
                                 "\tProductName =   Device   type  \n"
                                 ";Hidden=1\n"
                                 "  ;Indented=1\n"
                                 "Formula=a=b+c\n"
                                 "=no key\n");
    EXPECT_EQ(ini.readString("Device Info", "ProductName"), "Device   type");
    EXPECT_EQ(ini.readString("Device Info", "Formula"), "a=b+c");
    EXPECT_FALSE(ini.keyExists("Device Info", ";Hidden"));
    EXPECT_FALSE(ini.keyExists("Device Info", "Hidden"));
    EXPECT_FALSE(ini.keyExists("Device Info", "Indented"));
    EXPECT_FALSE(ini.keyExists("", "key"));
    EXPECT_EQ(ini.keys("device info"), (std::vector<std::string>{"ProductName", "Formula"}));
}

TEST(IniFile, ByteOrderMarkAndCrlfAreAcceptedAndKept) {
    IniFile ini = fromText("\xEF\xBB\xBF[FileInfo]\r\nFileName=dev.eds\r\nFileVersion=1\r\n");
    EXPECT_EQ(ini.readString("fileinfo", "FileName"), "dev.eds");
    EXPECT_EQ(ini.readInteger("fileinfo", "FileVersion", 0), 1);
    ASSERT_TRUE(ini.writeInteger("FileInfo", "FileRevision", 2));
    EXPECT_EQ(ini.toString(), "\xEF\xBB\xBF[FileInfo]\r\nFileName=dev.eds\r\nFileVersion=1\r\nFileRevision=2\r\n");
}

TEST(IniFile, EditsKeepOtherSectionsKeysAndCommentsInPlace) {
    const std::string original = "; test configuration\n"
                                 "[Global Configuration]\n"
                                 "NodeId = 5\n"
                                 "Name=  first node  \n"
                                 "\n"
                                 "; tests follow\n"
                                 "[Test Manager]\n"
                                 "Count=2\n"
                                 "Old=x\n"
                                 "Old=y\n"
                                 "[networkconfig]\n"
                                 "usenetdesc=1\n";
    IniFile ini = fromText(original);
    ASSERT_TRUE(ini.writeInteger("global configuration", "NODEID", 7));  // value replaced in place
    ASSERT_TRUE(ini.writeString("Global Configuration", "Added", "  new value "));
    ASSERT_TRUE(ini.writeBool("NewSection", "Flag", true));
    ini.deleteKey("test manager", "old");
    EXPECT_EQ(ini.toString(), "; test configuration\n"
                              "[Global Configuration]\n"
                              "NodeId = 7\n"
                              "Name=  first node  \n"
                              "Added=new value\n"
                              "\n"
                              "; tests follow\n"
                              "[Test Manager]\n"
                              "Count=2\n"
                              "[networkconfig]\n"
                              "usenetdesc=1\n"
                              "\n"
                              "[NewSection]\n"
                              "Flag=1\n");
    EXPECT_FALSE(ini.keyExists("Test Manager", "Old"));
    EXPECT_TRUE(ini.readBool("newsection", "flag", false));
    EXPECT_EQ(ini.readString("Global Configuration", "Added"), "new value");

    ini.eraseSection("TEST MANAGER");
    EXPECT_FALSE(ini.sectionExists("Test Manager"));
    ASSERT_TRUE(ini.writeInteger("Test Manager", "Count", 0));
    EXPECT_EQ(ini.sections(), (std::vector<std::string>{"Global Configuration", "networkconfig", "NewSection",
                                                        "Test Manager"}));
    EXPECT_EQ(ini.readInteger("test manager", "count", -1), 0);
}

TEST(IniFile, KeysAddedToASectionWithoutKeysFollowItsHeader) {
    IniFile ini = fromText("[A]\n; about A\n\n[B]\nb=1\n");
    ASSERT_TRUE(ini.writeString("A", "a", "1"));
    EXPECT_EQ(ini.toString(), "[A]\na=1\n; about A\n\n[B]\nb=1\n");
    EXPECT_EQ(ini.readString("b", "B"), "1");
}

TEST(IniFile, WritesRefuseWhatTheFormatCannotHold) {
    IniFile ini;
    EXPECT_FALSE(ini.writeString("A", "key", "two\nlines"));
    EXPECT_FALSE(ini.writeString("A", "", "v"));
    EXPECT_FALSE(ini.writeString("A", "a=b", "v"));
    EXPECT_FALSE(ini.writeString("A", ";comment", "v"));
    EXPECT_FALSE(ini.writeString("A]", "key", "v"));
    EXPECT_FALSE(ini.writeString("A\r", "key", "v"));
    // The file would read these names trimmed, so the value could never be found under them.
    EXPECT_FALSE(ini.writeString("A", " key", "v"));
    EXPECT_FALSE(ini.writeString("A ", "key", "v"));
    EXPECT_EQ(ini.toString(), "");
    EXPECT_TRUE(ini.writeString("A", "key", "a = b ; c"));
    EXPECT_EQ(ini.readString("A", "key"), "a = b ; c");
}

TEST(IniFile, SavesAtomicallyAndLoadsBackFromDisk) {
    TempFolder folder;
    ASSERT_FALSE(folder.path().empty());
    const fs::path file = folder.path() / "config.nbx";
    writeFile(file, "[Keep]\r\nA=1\r\n[Change]\r\nB=2\r\n");
    ::chmod(file.c_str(), 0640);

    IniFile ini(file.string());
    ASSERT_TRUE(ini.load());
    ASSERT_TRUE(ini.writeInteger("Change", "B", 3));
    ASSERT_TRUE(ini.save());
    EXPECT_EQ(readFile(file), "[Keep]\r\nA=1\r\n[Change]\r\nB=3\r\n");
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all, fs::perms(0640));
    // Nothing but the file itself is left in the folder.
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), fs::directory_iterator()), 1);

    IniFile reloaded(file.string());
    ASSERT_TRUE(reloaded.load());
    EXPECT_EQ(reloaded.readInteger("change", "b", 0), 3);
    EXPECT_EQ(reloaded.readInteger("keep", "a", 0), 1);

    IniFile missing((folder.path() / "absent.nbx").string());
    EXPECT_FALSE(missing.load());
    EXPECT_TRUE(missing.sections().empty());
    EXPECT_FALSE(IniFile((folder.path() / "no-such-folder" / "x.nbx").string()).save());
    EXPECT_FALSE(IniFile().save());
}

// A FIFO or a device is refused at once, without waiting for a writer or reading without end, and
// left as it is; so is a file too large to be a configuration.
TEST(IniFile, OnlyRegularFilesOfBoundedSizeAreLoadedOrReplaced) {
    TempFolder folder;
    ASSERT_FALSE(folder.path().empty());
    const fs::path fifo = folder.path() / "pipe.nbx";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const fs::path huge = folder.path() / "huge.nbx";
    writeFile(huge, "[S]\nk=1\n");
    fs::resize_file(huge, ostrel::platform::kMaxUserFileBytes + 1);  // sparse: takes no disk space
    for (const fs::path& path : {fifo, fs::path("/dev/zero"), huge}) {
        IniFile ini(path.string());
        EXPECT_FALSE(ini.load()) << path;
        EXPECT_FALSE(ini.loadForUpdate()) << path;
        EXPECT_TRUE(ini.sections().empty()) << path;
    }
    EXPECT_FALSE(IniFile(fifo.string()).save());
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_TRUE(IniFile((folder.path() / "new.nbx").string()).loadForUpdate());
}

TEST(IniFile, SavingThroughASymbolicLinkReplacesTheTarget) {
    TempFolder folder;
    ASSERT_FALSE(folder.path().empty());
    const fs::path target = folder.path() / "real.ini";
    const fs::path link = folder.path() / "link.ini";
    writeFile(target, "[S]\nk=1\n");
    fs::create_symlink(target, link);
    IniFile ini(link.string());
    ASSERT_TRUE(ini.load());
    ASSERT_TRUE(ini.writeInteger("S", "k", 2));
    ASSERT_TRUE(ini.save());
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(readFile(target), "[S]\nk=2\n");
}

// A dangling link gets the file it names made (the link stays), as a link to a file has that file
// replaced; a name at the file system's limit saves, its temporary name being short. The reasons of
// a refusal are kept for the caller's message.
TEST(IniFile, DanglingLinksAndLongNamesSaveAndRefusalsSayWhy) {
    TempFolder folder;
    ASSERT_FALSE(folder.path().empty());
    const fs::path link = folder.path() / "dangling.ini";
    const fs::path target = folder.path() / "made.ini";
    fs::create_symlink("made.ini", link);  // relative, as users make them
    const struct {
        fs::path path;
        fs::path written;
    } cases[] = {{link, target},
                 {folder.path() / std::string(250, 'n'), folder.path() / std::string(250, 'n')}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path.filename().string().substr(0, 20));
        IniFile ini(c.path.string());
        ASSERT_TRUE(ini.loadForUpdate()) << ini.error();
        ASSERT_TRUE(ini.writeInteger("S", "k", 1));
        ASSERT_TRUE(ini.save()) << ini.error();
        EXPECT_EQ(readFile(c.written), "[S]\nk=1\n");
    }
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), fs::directory_iterator()), 3);

    const fs::path huge = folder.path() / "huge.nbx";
    writeFile(huge, "[S]\nk=1\n");
    fs::resize_file(huge, ostrel::platform::kMaxUserFileBytes + 1);
    IniFile big(huge.string());
    EXPECT_FALSE(big.loadForUpdate());
    EXPECT_EQ(big.error(), "File too large");
}

TEST(IniFile, LargeFilesAreIndexedCompletely) {
    constexpr int kSections = 5000;
    constexpr int kKeysPerSection = 10;
    std::string text;
    for (int s = 0; s < kSections; ++s) {
        char header[32];
        std::snprintf(header, sizeof header, "[%4.4X]\n", s);
        text += header;
        for (int k = 0; k < kKeysPerSection; ++k) {
            text += "Key" + std::to_string(k) + "=" + std::to_string(s * 100 + k) + "\n";
        }
    }
    const IniFile ini = fromText(text);
    for (int s = 0; s < kSections; ++s) {
        char section[16];
        std::snprintf(section, sizeof section, "%4.4x", s);
        for (int k = 0; k < kKeysPerSection; ++k) {
            ASSERT_EQ(ini.readInteger(section, "key" + std::to_string(k), -1), s * 100 + k) << section;
        }
    }
    EXPECT_EQ(ini.sections().size(), static_cast<std::size_t>(kSections));
    EXPECT_EQ(ini.toString(), text);
}

TEST(IniFile, AMovedFileKeepsItsContent) {
    IniFile first = fromText("[A]\nk=v\n");
    IniFile second = std::move(first);
    EXPECT_EQ(second.readString("a", "K"), "v");
    IniFile third;
    third = std::move(second);
    EXPECT_EQ(third.readString("A", "k"), "v");
}

} // namespace

TEST(IniFile, LineNumberPointsAtTheKeyAsTheTextNowStands) {
    IniFile ini = fromText("\xEF\xBB\xBF; head\r\n[A]\r\nx=1\r\n\r\n[B]\r\ny = 2\r\ny=3\r\n[a]\r\nz=4\r\n");
    EXPECT_EQ(ini.lineNumber("a", "X"), 3);
    EXPECT_EQ(ini.lineNumber("B", "y"), 6);  // the first of a duplicate key, which is the one read
    EXPECT_EQ(ini.lineNumber("A", "z"), 9);  // a repeated header continues its section
    EXPECT_EQ(ini.lineNumber("B", "missing"), 0);
    EXPECT_EQ(ini.lineNumber("C", "x"), 0);
    ini.eraseSection("A");
    EXPECT_EQ(ini.lineNumber("B", "y"), 3);
}
