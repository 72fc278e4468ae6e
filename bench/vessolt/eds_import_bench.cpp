// Import of a large data sheet into an empty node, file read included (target: under 20 ms for
// 2,000 objects), and a load of the shipped default description.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include <unistd.h>

#include "network/symbols.h"
#include "services/user_prompt.h"

using namespace ostrel::vessolt;

namespace {

// 2,000 objects in the three lists: a third plain variables, a third records with SubNumber 5, a
// third compact arrays of 8 with some sub-objects named.
std::string generateDataSheet(int objects) {
    std::string lists[3];
    std::string sections;
    int counts[3] = {0, 0, 0};
    char line[160];
    for (int i = 0; i < objects; ++i) {
        const unsigned index = 0x2000u + static_cast<unsigned>(i);
        const int list = i % 3;
        ++counts[list];
        std::snprintf(line, sizeof line, "%d=0x%04X\n", counts[list], index);
        lists[list] += line;
        switch (i % 3) {
        case 0:
            std::snprintf(line, sizeof line, "[%04X]\nParameterName=Variable %d\nObjectType=0x7\nDataType=0x0007\n"
                          "AccessType=rw\nDefaultValue=0\nPDOMapping=1\n\n", index, i);
            sections += line;
            break;
        case 1:
            std::snprintf(line, sizeof line, "[%04X]\nParameterName=Record %d\nObjectType=0x9\nSubNumber=5\n\n", index, i);
            sections += line;
            for (int sub = 0; sub < 5; ++sub) {
                std::snprintf(line, sizeof line, "[%04Xsub%X]\nParameterName=Field %d\nObjectType=0x7\n"
                              "DataType=0x000%d\nAccessType=ro\nDefaultValue=0\n\n", index, sub, sub, 5 + sub % 3);
                sections += line;
            }
            break;
        default:
            std::snprintf(line, sizeof line, "[%04X]\nParameterName=Array %d\nObjectType=0x8\nDataType=0x0006\n"
                          "CompactSubObj=8\n\n[%04XName]\nNrOfEntries=2\n1=First\n5=Fifth\n\n", index, i, index);
            sections += line;
            break;
        }
    }
    const char* names[3] = {"MandatoryObjects", "OptionalObjects", "ManufacturerObjects"};
    std::string text = "[FileInfo]\nFileName=generated.eds\n\n";
    for (int list = 0; list < 3; ++list) {
        text += std::string("[") + names[list] + "]\nSupportedObjects=" + std::to_string(counts[list]) + "\n" +
                lists[list] + "\n";
    }
    return text + sections;
}

class SilentPrompt : public UserPrompt {
public:
    PromptAnswer ask(PromptIcon, const std::string&, const std::string&, PromptButtons buttons) override {
        return defaultAnswer(buttons);
    }
};

void BM_ImportEds2000Objects(benchmark::State& state) {
    const std::filesystem::path path = std::filesystem::temp_directory_path() /
                                       ("bench-eds-" + std::to_string(::getpid()) + ".eds");
    {
        std::ofstream out(path, std::ios::binary);
        out << generateDataSheet(2000);
    }
    SilentPrompt prompt;
    for (auto _ : state) {
        state.PauseTiming();
        auto symbols = std::make_unique<TSymbols>(prompt);
        state.ResumeTiming();
        symbols->ImportEDS(1, path.string());
        benchmark::DoNotOptimize(symbols->FindNodeEntry(0x2001, 4, 1));
        state.PauseTiming();
        symbols.reset();
        state.ResumeTiming();
    }
    std::filesystem::remove(path);
    state.SetLabel("2,000 objects, file read included; target < 20 ms");
}
BENCHMARK(BM_ImportEds2000Objects)->Unit(benchmark::kMillisecond);

void BM_LoadDefaultDescription(benchmark::State& state) {
    SilentPrompt prompt;
    TSymbols symbols(prompt);
    for (auto _ : state) benchmark::DoNotOptimize(symbols.Reload());
}
BENCHMARK(BM_LoadDefaultDescription)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
