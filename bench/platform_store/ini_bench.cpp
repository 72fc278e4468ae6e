// INI files of data-sheet size: a 5 MB file with 50,000 keys is parsed once and every key looked up
// (in lower case, as the import asks); the scaled runs show the cost growing linearly.
#include "platform/ini.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

using ostrel::platform::IniFile;

namespace {

constexpr int kKeysPerSection = 10;
constexpr std::size_t kLineBytes = 100;

struct Document {
    std::string text;
    std::vector<std::string> sections;  // as the reader asks for them: lower-case hex
    std::vector<std::string> keys;
};

// Sections "[1A2B]" of ten keys each, every key line padded to about 100 bytes.
Document makeDocument(int keyCount) {
    Document doc;
    const int sectionCount = keyCount / kKeysPerSection;
    doc.text.reserve(static_cast<std::size_t>(keyCount) * (kLineBytes + 2));
    for (int k = 0; k < kKeysPerSection; ++k) doc.keys.push_back("parameter" + std::to_string(k));
    for (int s = 0; s < sectionCount; ++s) {
        char name[16];
        std::snprintf(name, sizeof name, "%4.4X", 0x1000 + s);
        doc.text += '[';
        doc.text += name;
        doc.text += "]\n";
        std::snprintf(name, sizeof name, "%4.4x", 0x1000 + s);
        doc.sections.push_back(name);
        for (int k = 0; k < kKeysPerSection; ++k) {
            std::string line = "Parameter" + std::to_string(k) + "=Value of object " + std::to_string(s) + " ";
            line.resize(kLineBytes, 'x');
            doc.text += line;
            doc.text += '\n';
        }
    }
    return doc;
}

std::size_t lookUpAll(const IniFile& ini, const Document& doc) {
    std::size_t found = 0;
    for (const std::string& section : doc.sections) {
        for (const std::string& key : doc.keys) found += ini.keyExists(section, key) ? 1 : 0;
    }
    return found;
}

void BM_IniParse5MB(benchmark::State& state) {
    const Document doc = makeDocument(50000);
    for (auto _ : state) {
        IniFile ini;
        ini.loadFromString(doc.text);
        benchmark::DoNotOptimize(ini);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(doc.text.size()));
}
BENCHMARK(BM_IniParse5MB)->Unit(benchmark::kMillisecond);

void BM_IniLookupPass50000Keys(benchmark::State& state) {
    const Document doc = makeDocument(50000);
    IniFile ini;
    ini.loadFromString(doc.text);
    for (auto _ : state) {
        const std::size_t found = lookUpAll(ini, doc);
        if (found != 50000) state.SkipWithError("a key was not found");
        benchmark::DoNotOptimize(found);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 50000);
}
BENCHMARK(BM_IniLookupPass50000Keys)->Unit(benchmark::kMillisecond);

// Parse and a full pass of lookups for growing files: O(N) overall.
void BM_IniParseAndLookUpAll(benchmark::State& state) {
    const Document doc = makeDocument(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        IniFile ini;
        ini.loadFromString(doc.text);
        benchmark::DoNotOptimize(lookUpAll(ini, doc));
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_IniParseAndLookUpAll)->RangeMultiplier(2)->Range(6250, 200000)->Unit(benchmark::kMillisecond)->Complexity(benchmark::oN);

} // namespace

BENCHMARK_MAIN();
