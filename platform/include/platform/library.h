// Loading shared libraries by the names the system was designed with.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace ostrel::platform {

// A loaded library; unloaded when destroyed.
// A name ending in ".DLL" (any case) is looked up as lib<lower-case stem>.so in the program's
// folder, then through the dynamic loader's search path; any other name goes to dlopen unchanged.
class Library {
public:
    // Empty on failure; `error` (when given) receives the loader's text.
    [[nodiscard]] static std::unique_ptr<Library> load(std::string_view name, std::string* error = nullptr);
    ~Library();
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    // The entry point, or nullptr when missing.
    [[nodiscard]] void* symbol(const char* name) const;
    template <typename Fn>
    [[nodiscard]] Fn function(const char* name) const { return reinterpret_cast<Fn>(symbol(name)); }

    [[nodiscard]] const std::string& path() const noexcept { return path_; }

private:
    Library(void* handle, std::string path) : handle_(handle), path_(std::move(path)) {}
    void* handle_;
    std::string path_;
};

// The file names tried for `name`, in order (exposed for tests and error messages).
[[nodiscard]] std::string mapLibraryName(std::string_view name);

} // namespace ostrel::platform
