#pragma once
// What the device tests share that is not a widget: the support module's bus statistics from the
// trace, the report heading and status words, the status display's texts and colours, and the rule
// by which a cell text too wide for its cell is cut.
#include <cstdint>
#include <functional>
#include <string>

namespace ostrel::vessolt {

class TDeviceSummary;
class TTraceBuffer;

// The support module's statistics after a reset of all nodes; 0 and 0 without its frame.
struct BusStatistics {
    float busLoadPercent = 0.0f;
    float burstLengthMs = 0.0f;
};
// The first NMT command (0x000, DLC 2) in the trace and the next 0x002 frame (DLC 8) after it.
[[nodiscard]] BusStatistics ReadBusStatistics(TTraceBuffer& trace);
// Decodes the eight data bytes of a statistics frame.
[[nodiscard]] BusStatistics DecodeBusStatistics(const uint8_t data[8]);
// "Bus Statistics: maximum bus load was %.2f%%, maximum burst length was %.1fms" (C locale).
[[nodiscard]] std::string BusStatisticsLine(const BusStatistics& statistics);
// Passes what the support module measured to the device summary's maxima. A 0 is no measurement
// (the software module reports 0 and 0, and without the frame both are 0): it is left out, so that
// the summary shows "-" as the test windows do.
void OfferBusStatistics(TDeviceSummary& summary, const BusStatistics& statistics);

// "Not Started", "Running", "Passed", "Warning", "Failed", "Cancelled", "Unknown" for other values.
[[nodiscard]] const char* ReportStatusWord(int32_t status);
// "\n\n<name> - <status>\n<dashes>\n" plus one more "\n" when blankLine is set.
[[nodiscard]] std::string ReportHeading(const std::string& name, int32_t status, bool blankLine);

// The status label of a test window: "Running", "Passed", "Warning", "Failed", "Cancelled",
// "Not started" for any other value.
[[nodiscard]] const char* StatusLabelText(int32_t status);
// Its colour as 0x00BBGGRR: black, green 0x008000, olive 0x008080, red 0x0000FF.
[[nodiscard]] uint32_t StatusColour(int32_t status);

// A text wider than `width` loses characters from its end until its width plus that of "... " fits,
// then gets "..."; a text that fits is returned unchanged. `measure` gives a text's width.
[[nodiscard]] std::string ElideCellText(const std::string& text, int width,
                                        const std::function<int(const std::string&)>& measure);

}  // namespace ostrel::vessolt
