// Importing a data sheet runs on the GUI thread: a sheet whose three object lists name 65,535 objects
// each, every one with a SubNumber and no sub-object section (2.5 MB), must import in well under a
// second.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "network/symbols.h"
#include "services/user_prompt.h"

using namespace ostrel::vessolt;

namespace {

void BM_ImportSheetOfObjectsWithoutSubObjectSections(benchmark::State& state) {
    const auto path = std::filesystem::temp_directory_path() / "bench_eds_import.eds";
    {
        std::ofstream sheet(path);
        for (const char* list : {"MandatoryObjects", "OptionalObjects", "ManufacturerObjects"}) {
            sheet << "[" << list << "]\nSupportedObjects=65535\n";
            for (int i = 1; i <= 65535; ++i)
                sheet << i << "=0x" << std::hex << i << std::dec << "\n";
        }
        for (int i = 1; i <= 65535; ++i) {
            char section[48];
            std::snprintf(section, sizeof section, "[%04X]\nSubNumber=3\n", i);
            sheet << section;
        }
    }
    RecordingPrompt prompt;
    for (auto _ : state) {
        TSymbols symbols(prompt);
        symbols.ImportEDS(5, path.string());
    }
    std::filesystem::remove(path);
}
BENCHMARK(BM_ImportSheetOfObjectsWithoutSubObjectSections)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

BENCHMARK_MAIN();
