#pragma once
// A scratch folder for tests that read real files; removed with everything in it.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace ostrel::vessolt::test {

class TempFolder {
public:
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vessolt-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
        path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

    // Writes `content` byte for byte to `name` (folders created), returns the full path.
    std::string write(const std::string& name, std::string_view content) const {
        const std::filesystem::path file = path_ / name;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        return file.string();
    }

private:
    std::filesystem::path path_;
};

// The registry store in a scratch folder of its own while the object lives.
class TempRegistry {
public:
    TempRegistry() { ::setenv("OSTREL_REGISTRY_DIR", (folder_.path() / "registry").c_str(), 1); }
    ~TempRegistry() { ::unsetenv("OSTREL_REGISTRY_DIR"); }
    TempRegistry(const TempRegistry&) = delete;
    TempRegistry& operator=(const TempRegistry&) = delete;

    // The scratch folder, for other files of the test.
    [[nodiscard]] const std::filesystem::path& folder() const { return folder_.path(); }

private:
    TempFolder folder_;
};

} // namespace ostrel::vessolt::test
