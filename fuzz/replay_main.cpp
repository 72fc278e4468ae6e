// Replays a fuzz target's corpus without libFuzzer: every file of every folder named on the command
// line, in name order, through the target once. A broken property aborts the program, which fails
// the test that runs it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

std::vector<std::filesystem::path> inputsOf(const std::filesystem::path& where)
{
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    if (std::filesystem::is_directory(where, ec)) {
        for (const auto& entry : std::filesystem::directory_iterator(where, ec))
            if (entry.is_regular_file(ec))
                files.push_back(entry.path());
    } else if (std::filesystem::is_regular_file(where, ec)) {
        files.push_back(where);
    }
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace

int main(int argc, char** argv)
{
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    std::size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        const auto files = inputsOf(argv[i]);
        if (files.empty()) {
            std::fprintf(stderr, "replay: %s holds no input\n", argv[i]);
            return 1;
        }
        for (const auto& file : files) {
            std::ifstream in(file, std::ios::binary);
            const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
            std::fprintf(stderr, "replay: %s (%zu bytes)\n", file.filename().c_str(), bytes.size());
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
            ++replayed;
        }
    }
    std::printf("replay: %zu inputs, every property held\n", replayed);
    return replayed > 0 ? 0 : 1;
}
