// The report check. Input: a repeat count (1 byte), the place and the xor of a change (4 and 1
// bytes), then the text a section writes (repeated, in both layouts).
// What a user expects: a report the program wrote checks valid, also with CR LF line ends; any
// one-byte change above the checksum line makes it check as not valid.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_files.h"
#include "platform/regular_file.h"
#include "services/user_prompt.h"
#include "testing/test_report.h"

namespace {

using namespace ostrel::vessolt;
using ostrel::fuzz::scratch;

const char* verdictName(ReportVerdict v) {
    switch (v) {
    case ReportVerdict::Valid: return "valid";
    case ReportVerdict::Invalid: return "invalid";
    case ReportVerdict::NoChecksum: return "no checksum";
    case ReportVerdict::Unreadable: return "unreadable";
    }
    return "?";
}

std::string readBack(const std::string& path) {
    std::string content, error;
    FUZZ_CHECK(ostrel::platform::readRegularFile(path, content, error), "the report cannot be read back: %s",
               error.c_str());
    return content;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ::setenv("OSTREL_REGISTRY_DIR", scratch().file("registry").c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static RecordingPrompt prompt;
    static TTestReport report(prompt, [] {
        std::tm when{};
        when.tm_year = 124;
        when.tm_mon = 4;
        when.tm_mday = 17;
        when.tm_hour = 15;
        return when;
    });
    ostrel::fuzz::InputReader in(data, size);
    // Long lines and reads across the checker's 64 KiB blocks, now and then.
    const uint8_t r = in.byte();
    const int repeat = r >= 250 ? 40 : 1 + r % 3;
    const uint32_t place = in.u32();
    const uint8_t change = static_cast<uint8_t>(in.byte() | 1);  // never 0: the byte must change
    const std::string text = in.rest();
    report.SetSectionWriter(ReportSection::Log, [&](std::FILE* f, int) {
        for (int i = 0; i < repeat; ++i) std::fwrite(text.data(), 1, text.size(), f);
    });

    const std::string path = scratch().file("report.txt");
    FUZZ_CHECK(report.Generate(path), "the report was not written");
    FUZZ_CHECK(prompt.asked().empty(), "writing the report told the user: %s", prompt.asked().front().text.c_str());
    const ReportVerdict written = report.CheckFile(path);
    FUZZ_CHECK(written == ReportVerdict::Valid, "a report as written checks %s", verdictName(written));

    const std::string content = readBack(path);
    FUZZ_CHECK(!content.empty() && content.back() == '\n', "the report does not end in a line end");
    const std::size_t checksumLine = content.rfind('\n', content.size() - 2) + 1;
    FUZZ_CHECK(content.compare(checksumLine, 16, "<reportchecksum>") == 0, "the last line is no checksum line");

    if (content.find('\r') == std::string::npos) {
        std::string crlf;
        for (const char c : content) {
            if (c == '\n') crlf += '\r';
            crlf += c;
        }
        scratch().write("report.txt", crlf);
        const ReportVerdict v = report.CheckFile(path);
        FUZZ_CHECK(v == ReportVerdict::Valid, "the report with CR LF line ends checks %s", verdictName(v));
    }

    std::string changed = content;
    const std::size_t at = place % checksumLine;
    changed[at] = static_cast<char>(changed[at] ^ static_cast<char>(change));
    scratch().write("report.txt", changed);
    const ReportVerdict v = report.CheckFile(path);
    FUZZ_CHECK(v != ReportVerdict::Valid, "byte %zu of %zu changed from 0x%02X to 0x%02X and the report still checks valid",
               at, content.size(), static_cast<unsigned char>(content[at]), static_cast<unsigned char>(changed[at]));
    return 0;
}
