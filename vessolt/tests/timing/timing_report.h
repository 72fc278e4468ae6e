#pragma once
// The report section of a timing test: a heading with the test's status, the test's configuration
// and the results grid's texts. No Qt here.
#include <cstdio>

namespace ostrel::vessolt {

class TimingTestEngine;

// The test's WriteReport: layout 0 fixed-width, 1 tab-separated, any other layout the heading only.
// Reads a copy of the record and a snapshot of the results table, so a run may go on meanwhile.
void WriteTimingReport(const TimingTestEngine& engine, std::FILE* file, int layout);

} // namespace ostrel::vessolt
