#include "timing_report.h"

#include <array>
#include <string>
#include <vector>

#include "test_common.h"
#include "testing/test_manager.h"
#include "timing_engine.h"

namespace ostrel::vessolt {

namespace {

// Field widths of the results table's fixed-width lines, one per titled column.
constexpr std::array<int, 13> kSyncWidths{11, 20, 20, 15, 15, 16, 15, 15, 13, 14, 14, 14, 14};
constexpr std::array<int, 13> kEventWidths{16, 20, 20, 15, 15, 16, 14, 15, 13, 13, 14, 14, 14};
constexpr std::array<int, 12> kTurnaroundWidths{16, 20, 20, 15, 15, 16, 15, 13, 13, 14, 14, 14};

const char* yesNo(bool flag) { return flag ? "yes" : "no"; }

// "label: value" in layout 0, "label:\tvalue" in layout 1.
void flagLine(std::FILE* file, bool tab, const char* label, bool flag) {
    std::fprintf(file, "%s:%s%s\n", label, tab ? "\t" : " ", yesNo(flag));
}

void frameLines(std::FILE* file, bool tab, const char* label, const char* tabLength,
                const std::array<RPDOFrame, kTimingMaxPdos>& frames) {
    for (const RPDOFrame& f : frames) {
        const unsigned length = f.dlc;
        if (tab)
            std::fprintf(file, "%s:\tlength%s%u\tdata\t%2.2X\t%2.2X\t%2.2X\t%2.2X\t%2.2X\t%2.2X\t%2.2X\t%2.2X\n", label,
                         tabLength, length, f.data[0], f.data[1], f.data[2], f.data[3], f.data[4], f.data[5],
                         f.data[6], f.data[7]);
        else
            std::fprintf(file, "%s: length %u  data %2.2X %2.2X %2.2X %2.2X %2.2X %2.2X %2.2X %2.2X\n", label, length,
                         f.data[0], f.data[1], f.data[2], f.data[3], f.data[4], f.data[5], f.data[6], f.data[7]);
    }
}

// Right-aligned, never cut: a longer text widens the line.
void padLeft(std::string& line, const std::string& text, int width) {
    if (static_cast<int>(text.size()) < width)
        line.append(static_cast<size_t>(width) - text.size(), ' ');
    line += text;
}

void resultLines(std::FILE* file, bool tab, const TimingVariant& variant, const TimingResultsTable::Snapshot& table) {
    std::vector<int> widths;
    if (variant.isTurnaround)
        widths.assign(kTurnaroundWidths.begin(), kTurnaroundWidths.end());
    else if (variant.isEvent)
        widths.assign(kEventWidths.begin(), kEventWidths.end());
    else
        widths.assign(kSyncWidths.begin(), kSyncWidths.end());
    for (const std::vector<std::string>& row : table.cells) {
        if (row.empty() || row[0].empty())
            continue;
        std::string line;
        for (size_t c = 0; c < widths.size(); ++c) {
            const std::string& text = c < row.size() ? row[c] : std::string();
            if (c > 0)
                line += tab ? '\t' : ' ';
            if (tab)
                line += text;
            else
                padLeft(line, text, widths[c]);
        }
        line += '\n';
        std::fputs(line.c_str(), file);
    }
}

void body(std::FILE* file, bool tab, const TimingVariant& variant, const TimingTestConfig& c,
          const TimingResultsTable::Snapshot& table) {
    const char* sep = tab ? "\t" : " ";
    std::fputs("\n--- Test Configuration --->\n", file);
    flagLine(file, tab, "Manual test enabled", c.manual_enable == 1);
    flagLine(file, tab, "Automatic limits test enabled", c.limit_enable == 1);
    if (c.limit_enable != 0) {
        std::fprintf(file, "Automatic limits test range:%s%u ms to %u ms\n", sep, c.limit_lowerlimit, c.limit_upperlimit);
        std::fprintf(file, "Automatic limits expression:%s%s\n", sep, c.limit_expression);
    }
    int cycles = c.activecycles + c.searchrows;
    std::fprintf(file, "Test Cycles:%s%d\n", sep, cycles);
    if (cycles > kTimingMaxCycles)
        cycles = kTimingMaxCycles;
    for (int i = 0; i < cycles; ++i)
        std::fprintf(file, "Cycle %2d %s time:%s%6u ms\n", i, variant.periodWord, sep, c.time[static_cast<size_t>(i)]);

    if (variant.hasSync)
        std::fprintf(file, "Sync CAN-ID:%s0x%8.8X\n", sep, c.syncid);
    if (variant.hasRpdo)
        // Only the sync test's tab-separated line keeps a blank after "length".
        frameLines(file, tab, "RPDO", variant.hasSync ? " " : "\t", c.rpdo);
    if (variant.isTurnaround) {
        frameLines(file, tab, "Phase 1 RPDO", "\t", c.phase1rpdo);
        frameLines(file, tab, "Phase 2 RPDO", "\t", c.phase2rpdo);
    }

    flagLine(file, tab, "Alarm enabled", c.alarm_enable == 1);
    if (c.alarm_enable != 0) {
        std::fprintf(file, "Alarm expression:%s%s\n", sep, c.alarm_expression);
        const char* action = c.alarm_operation == 1   ? "Generate error (stop test)"
                             : c.alarm_operation == 2 ? "Cancel test"
                                                      : "Generate warning";
        std::fprintf(file, "Alarm action:%s%s\n", sep, action);
    }
    if (variant.isEvent) {
        if (c.tpdotransmissiontype != 0)
            std::fprintf(file, "TPDO Transmission Type:%s%u\n", sep, static_cast<unsigned>(c.tpdotransmissiontype));
        else
            std::fprintf(file, "TPDO Transmission Type:%sdon't change\n", sep);
    }
    // Layout 0 aligns the four values under each other.
    const uint32_t o = c.ciatr308options;
    std::fprintf(file, "CiA TR-308 Error Control Traffic:%s%s\n", sep, yesNo(o & 1u));
    std::fprintf(file, "CiA TR-308 SDO Traffic:%s%s\n", tab ? "\t" : "           ", yesNo(o & 2u));
    std::fprintf(file, "CiA TR-308 PDO Traffic:%s%s\n", tab ? "\t" : "           ", yesNo(o & 4u));
    std::fprintf(file, "CiA TR-308 SYNC Traffic:%s%s\n", tab ? "\t" : "          ", yesNo(o & 8u));

    std::fputs("\n--- Test Results --->\n", file);
    resultLines(file, tab, variant, table);
}

} // namespace

void WriteTimingReport(const TimingTestEngine& engine, std::FILE* file, int layout) {
    if (file == nullptr)
        return;
    const TimingVariant& variant = engine.Variant();
    TEST test;
    // A manager that does not answer gives the word for an unknown status.
    const int32_t status = engine.Manager().GetTest(variant.testNumber, test) ? test.status : -1;
    std::fputs(ReportHeading(variant.displayName, status, false).c_str(), file);
    if (layout != 0 && layout != 1)
        return;
    TimingTestConfig config;
    engine.CopyConfig(config);
    body(file, layout == 1, variant, config, engine.Results().Take());
}

} // namespace ostrel::vessolt
