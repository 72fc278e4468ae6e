#include "testing/test_report.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <exception>
#include <iterator>
#include <memory>

#include <sys/stat.h>

#include "platform/registry.h"
#include "platform/regular_file.h"

namespace ostrel::vessolt {

namespace {

constexpr std::array<uint32_t, 256> makeCrcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = makeCrcTable();

constexpr std::string_view kChecksumTag = "<reportchecksum>";
// The checksum line is short; a longer last line cannot be one, and is not kept whole.
constexpr size_t kMaxKeptLine = 1u << 20;
// A report is text this program wrote, its log twice at most; a file far beyond that is no report,
// and is refused before the checksum reads it on the GUI thread.
constexpr size_t kMaxReportBytes = size_t{64} << 20;

// Reads a report as the checksum sees it: a CR just before an LF is dropped, so a report with CR LF
// line ends reads as the LF one it was made from. `piece` gets the text in order, each piece flagged
// when it ends a line. False on a read error.
template <class Piece>
bool readReport(std::FILE* file, Piece&& piece) {
    char in[65536];
    std::string out;
    bool pendingCr = false;
    for (;;) {
        size_t n = std::fread(in, 1, sizeof in, file);
        for (size_t i = 0; i < n; ++i) {
            char ch = in[i];
            if (pendingCr) {
                pendingCr = false;
                if (ch != '\n')
                    out.push_back('\r');
            }
            if (ch == '\r') {
                pendingCr = true;
                continue;
            }
            out.push_back(ch);
            if (ch == '\n') {
                piece(std::string_view(out), true);
                out.clear();
            }
        }
        if (n < sizeof in)
            break;
        if (!out.empty()) {  // a long line goes on in the next block
            piece(std::string_view(out), false);
            out.clear();
        }
    }
    if (std::ferror(file))
        return false;
    if (pendingCr)
        out.push_back('\r');
    if (!out.empty())
        piece(std::string_view(out), false);
    return true;
}

// Hashes the finished report in its own file (open for update) and appends its checksum line. The
// line must stand alone, as the last one: a report that does not end in a line end gets one first
// (hashed like all text before the checksum line).
bool appendChecksum(std::FILE* f) {
    // A write error of the sections would be forgotten by the rewind.
    if (std::fflush(f) != 0 || std::ferror(f))
        return false;
    std::rewind(f);
    ReportChecksum checksum;
    ReportChecksum beforeLastByte;
    char last = '\n';
    bool ok = readReport(f, [&](std::string_view piece, bool) {
        checksum.Add(piece.substr(0, piece.size() - 1));
        beforeLastByte = checksum;
        checksum.Add(piece.substr(piece.size() - 1));
        last = piece.back();
    });
    // Switching from reading to writing needs a positioning call.
    ok = ok && std::fseek(f, 0, SEEK_END) == 0;
    if (ok && last != '\n') {
        // After a final CR the line end makes a CR LF, which the check reads as LF alone.
        if (last == '\r')
            checksum = beforeLastByte;
        checksum.Add("\n");
        ok = std::fputc('\n', f) != EOF;
    }
    if (ok)
        ok = std::fprintf(f, "<reportchecksum>%s</reportchecksum>\n",
                          EncodeReportChecksum(checksum.Value()).c_str()) > 0;
    return ok && !std::ferror(f);
}

const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::tm localNow() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    return tm;
}

// "%d-%b-%Y" and "%I:%M:%S%p" with English month names and AM/PM in any locale.
std::string headerDate(const std::tm& tm) {
    char buf[48];
    int month = tm.tm_mon >= 0 && tm.tm_mon < 12 ? tm.tm_mon : 0;
    std::snprintf(buf, sizeof buf, "%02d-%s-%d", tm.tm_mday, kMonths[month], tm.tm_year + 1900);
    return buf;
}

std::string headerTime(const std::tm& tm) {
    char buf[48];
    int hour12 = tm.tm_hour % 12 == 0 ? 12 : tm.tm_hour % 12;
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d%s", hour12, tm.tm_min, tm.tm_sec, tm.tm_hour < 12 ? "AM" : "PM");
    return buf;
}

} // namespace

// ---- Checksum ----

void ReportChecksum::Add(std::string_view bytes) noexcept {
    uint32_t reg = register_;
    for (char ch : bytes)
        reg = kCrcTable[(reg ^ static_cast<uint8_t>(ch)) & 0xFFu] ^ (reg >> 8);
    register_ = reg;
}

std::string EncodeReportChecksum(uint32_t value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%8.8X", static_cast<unsigned>(value));
    std::string text = buf;
    for (char& ch : text)
        if (ch >= '0' && ch <= '9')
            ch = static_cast<char>(ch - '0' + 'J');
    return text;
}

uint32_t DecodeReportChecksum(std::string_view text) noexcept {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    uint64_t value = 0;
    for (; i < text.size(); ++i) {
        char ch = text[i];
        int digit;
        if (ch >= 'J' && ch <= 'S')
            digit = ch - 'J';
        else if (ch >= '0' && ch <= '9')
            digit = ch - '0';
        else if (ch >= 'A' && ch <= 'F')
            digit = ch - 'A' + 10;
        else if (ch >= 'a' && ch <= 'f')
            digit = ch - 'a' + 10;
        else
            break;
        // Saturates, and stays saturated however many digits follow.
        value = value > 0xFFFFFFFFu ? value : value * 16 + static_cast<uint64_t>(digit);
    }
    return value > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(value);
}

// ---- Report ----

TTestReport::TTestReport(UserPrompt& prompt, ReportClock clock, ReportProduct product)
    : prompt_(prompt), clock_(clock ? std::move(clock) : ReportClock(localNow)), product_(std::move(product)) {
    try {
        if (auto key = platform::RegistryKey::create(platform::RegistryRoot::CurrentUser, kRegistryKey))
            if (std::optional<std::string> value = key->readString(kLastReportValue))
                lastreport_ = std::move(*value);
    } catch (...) {
        // Registry failures leave the path empty.
    }
}

TTestReport::~TTestReport() {
    try {
        StoreSettings();
    } catch (...) {
        // A batch of the close reports failures; a destructor cannot.
    }
}

void TTestReport::StoreSettings() {
    if (auto key = platform::RegistryKey::create(platform::RegistryRoot::CurrentUser, kRegistryKey))
        (void)key->writeString(kLastReportValue, GetLastReport());
}

void TTestReport::SetSectionWriter(ReportSection section, ReportWriter writer) {
    std::lock_guard lock(mutex_);
    writers_[static_cast<int>(section)] = std::move(writer);
}

std::string TTestReport::GetLastReport() const {
    std::lock_guard lock(mutex_);
    return lastreport_;
}

void TTestReport::writeHeader(std::FILE* file) const {
    const std::tm now = clock_();
    std::fprintf(file, "%s TEST REPORT\nGenerated by %s %s on %s at %s\nVisit %s and %s for more information on %s\n",
                 product_.title.c_str(), product_.name.c_str(), product_.version.c_str(), headerDate(now).c_str(),
                 headerTime(now).c_str(), product_.homePage.c_str(), product_.makerPage.c_str(),
                 product_.name.c_str());
}

bool TTestReport::writeReport(std::FILE* file, std::string& why) {
    ReportWriter writers[kReportSectionCount];
    {
        std::lock_guard lock(mutex_);
        std::copy(std::begin(writers_), std::end(writers_), std::begin(writers));
    }
    auto section = [&](ReportSection s, int layout) {
        if (const ReportWriter& w = writers[static_cast<int>(s)])
            w(file, layout);
    };
    try {
        writeHeader(file);
        std::fputs("\n\n", file);
        std::fputs("HUMAN READABLE SECTION\n======================\n", file);
        section(ReportSection::DeviceSummary, 0);
        section(ReportSection::TestSections, 0);
        section(ReportSection::RatingsScript, 0);
        section(ReportSection::Log, 0);
        section(ReportSection::NodeConfiguration, 0);
        std::fputs("\n\n", file);
        std::fputs("MACHINE READABLE SECTION (tab delimited)\n========================\n", file);
        section(ReportSection::DeviceSummary, 1);
        section(ReportSection::TestSections, 1);
        section(ReportSection::Log, 1);
    } catch (const std::exception& e) {
        why = std::string("a section could not be written: ") + e.what();
        return false;
    } catch (...) {
        why = "a section could not be written";
        return false;
    }
    return true;
}

namespace {

// A refusal names the file and says why.
std::string RefusalText(const char* what, const std::string& path, const std::string& why) {
    return std::string(what) + " " + path + " (" + why + ")";
}

} // namespace

bool TTestReport::Generate(const std::string& path) {
    bool ok = false;
    std::string why = "an unexpected error";
    try {
        // The report is made in a file of its own beside the target, which it replaces once complete:
        // the checksum is read back from that file, never through a path that may name a pipe.
        platform::FileReplacement report(path);
        if (report.file() == nullptr) {
            prompt_.ask(PromptIcon::None, RefusalText(kCreateFailedText, path, report.error()), kProductName,
                        PromptButtons::Ok);
            return false;
        }
        errno = 0;
        ok = writeReport(report.file(), why);
        if (ok && !appendChecksum(report.file())) {
            ok = false;
            why = errno != 0 ? std::strerror(errno) : "the report could not be read back for its checksum";
        }
        if (ok && !report.commit()) {
            ok = false;
            why = report.error();
        }
        if (ok) {
            std::lock_guard lock(mutex_);
            lastreport_ = path;
        }
    } catch (...) {
        ok = false;
    }
    if (!ok) {
        try {
            prompt_.ask(PromptIcon::None, RefusalText(kWriteFailedText, path, why), kProductName, PromptButtons::Ok);
        } catch (...) {
            // Nothing leaves Generate.
        }
    }
    return ok;
}

ReportVerdict TTestReport::CheckFile(const std::string& path, std::string* why) const {
    std::string error;
    const platform::FilePtr file = platform::openRegularFile(path, error);
    struct stat info {};
    if (file && (::fstat(::fileno(file.get()), &info) != 0 || static_cast<uint64_t>(info.st_size) > kMaxReportBytes))
        error = std::strerror(EFBIG);
    if (!error.empty()) {
        if (why != nullptr)
            *why = error;
        return ReportVerdict::Unreadable;
    }
    // Every line but the last enters the checksum; the last must be the checksum line.
    ReportChecksum checksum;
    uint32_t beforeLastLine = checksum.Value();
    std::string lastLine;
    bool lineStart = true;
    bool any = false;
    bool lastLineKept = true;
    bool ok = readReport(file.get(), [&](std::string_view piece, bool endsLine) {
        if (lineStart) {
            beforeLastLine = checksum.Value();
            lastLine.clear();
            lastLineKept = true;
        }
        checksum.Add(piece);
        if (lastLineKept && lastLine.size() + piece.size() <= kMaxKeptLine) {
            lastLine.append(piece);
        } else {
            lastLineKept = false;
            lastLine.clear();
        }
        lineStart = endsLine;
        any = true;
    });
    if (!ok) {
        if (why != nullptr)
            *why = std::strerror(EIO);
        return ReportVerdict::Unreadable;
    }
    size_t tag = lastLine.find(kChecksumTag);
    if (!any || !lastLineKept || tag == std::string::npos)
        return ReportVerdict::NoChecksum;
    std::string_view stored = std::string_view(lastLine).substr(tag + kChecksumTag.size());
    stored = stored.substr(0, stored.find_first_of("<\n"));
    return DecodeReportChecksum(stored) == beforeLastLine ? ReportVerdict::Valid : ReportVerdict::Invalid;
}

void TTestReport::Validate(const std::string& path) {
    std::string text = kInvalidText;
    std::string why;
    switch (CheckFile(path, &why)) {
    case ReportVerdict::Valid: text = kValidText; break;
    case ReportVerdict::Invalid: text = kInvalidText; break;
    case ReportVerdict::NoChecksum: text = kNoChecksumText; break;
    case ReportVerdict::Unreadable: text = RefusalText(kOpenFailedText, path, why); break;
    }
    prompt_.ask(PromptIcon::Warning, text, kProductName, PromptButtons::Ok);
}

void TTestReport::GenerateReport(const ChooseReportFile& choose, const ShellOpen& open) {
    std::optional<std::string> path = choose(kSaveReportDialog);
    if (!path)
        return;
    (void)Generate(*path);
    std::string last = GetLastReport();
    if (!last.empty() && open)
        open(last);
}

void TTestReport::ViewReport(const ShellOpen& open) {
    std::string last = GetLastReport();
    if (last.empty()) {
        prompt_.ask(PromptIcon::Information, kNoReportsText, kProductName, PromptButtons::Ok);
        return;
    }
    if (open)
        open(last);
}

void TTestReport::CheckReport(const ChooseReportFile& choose) {
    if (std::optional<std::string> path = choose(kOpenReportDialog))
        Validate(*path);
}

} // namespace ostrel::vessolt
