#include "test_common.h"

#include <array>
#include <charconv>
#include <cmath>

#include "services/device_summary.h"
#include "services/trace_buffer.h"

namespace ostrel::vessolt {

namespace {

TraceFilter frameFilter(uint32_t id, uint8_t dlc) {
    TraceFilter filter;
    TTraceBuffer::ClearFilter(filter);
    filter.idMask = 0x7FF;
    filter.idValue = id;
    filter.dlcMask = 0xFF;
    filter.dlcValue = dlc;
    return filter;
}

// Fixed-point text with `decimals` digits, independent of the locale.
std::string fixed(float value, int decimals) {
    std::array<char, 64> text{};
    auto [end, ec] = std::to_chars(text.data(), text.data() + text.size(), static_cast<double>(value),
                                   std::chars_format::fixed, decimals);
    return ec == std::errc() ? std::string(text.data(), end) : std::string("0");
}

}  // namespace

BusStatistics DecodeBusStatistics(const uint8_t data[8]) {
    BusStatistics statistics;
    statistics.busLoadPercent = static_cast<float>(data[0] | (data[1] << 8)) * 0.01f;
    statistics.burstLengthMs = static_cast<float>(data[2] | (data[3] << 8)) * 0.1f;
    return statistics;
}

BusStatistics ReadBusStatistics(TTraceBuffer& trace) {
    const TraceFilter filters[2] = {frameFilter(0x000, 2), frameFilter(0x002, 8)};
    auto frame = trace.FindFirst(&filters[0], 1);
    if (!frame)
        return {};
    // The cursor stays on the NMT command; the statistics frame is the next one after it.
    frame = trace.FindNext(&filters[1], 1);
    return frame ? DecodeBusStatistics(frame->data) : BusStatistics{};
}

std::string BusStatisticsLine(const BusStatistics& statistics) {
    return "Bus Statistics: maximum bus load was " + fixed(statistics.busLoadPercent, 2) +
           "%, maximum burst length was " + fixed(statistics.burstLengthMs, 1) + "ms";
}

void OfferBusStatistics(TDeviceSummary& summary, const BusStatistics& statistics) {
    if (statistics.busLoadPercent != 0.0f)
        summary.UpdateMaxBusLoad(statistics.busLoadPercent);
    if (statistics.burstLengthMs != 0.0f)
        summary.UpdateMaxBurstLength(statistics.burstLengthMs);
}

const char* ReportStatusWord(int32_t status) {
    switch (status) {
        case 0: return "Not Started";
        case 1: return "Running";
        case 2: return "Passed";
        case 3: return "Warning";
        case 4: return "Failed";
        case 5: return "Cancelled";
        default: return "Unknown";
    }
}

std::string ReportHeading(const std::string& name, int32_t status, bool blankLine) {
    std::string heading = "\n\n" + name + " - " + ReportStatusWord(status) + "\n" + std::string(name.size(), '-') + "\n";
    if (blankLine)
        heading += "\n";
    return heading;
}

const char* StatusLabelText(int32_t status) {
    switch (status) {
        case 1: return "Running";
        case 2: return "Passed";
        case 3: return "Warning";
        case 4: return "Failed";
        case 5: return "Cancelled";
        default: return "Not started";
    }
}

uint32_t StatusColour(int32_t status) {
    switch (status) {
        case 2: return 0x008000;
        case 3: return 0x008080;
        case 4: return 0x0000FF;
        default: return 0x000000;
    }
}

std::string ElideCellText(const std::string& text, int width, const std::function<int(const std::string&)>& measure) {
    if (measure(text) <= width)
        return text;
    const int tail = measure("... ");
    std::string cut = text;
    while (!cut.empty() && measure(cut) + tail > width)
        cut.pop_back();
    return cut + "...";
}

}  // namespace ostrel::vessolt
