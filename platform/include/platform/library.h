// Loading shared libraries by the names the system was designed with.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace ostrel::platform {

// A loaded library; unloaded when destroyed.
// A name ending in ".DLL" (any case) is looked up as lib<lower-case stem>.so in the program's
// folder, then through the dynamic loader's search path; any other name goes to dlopen unchanged.
// All references are bound at load (RTLD_NOW), so a library with an unresolved dependency fails
// here rather than at its first call.
// A path (a name with a slash, or the copy in the program's folder) that names anything but a
// regular file (a FIFO, a device, a folder) is refused with that reason before the loader opens it.
class Library {
    struct Key {  // keeps construction to load()
        explicit Key() = default;
    };

public:
    // Empty on failure; `error` (when given) receives the loader's text.
    [[nodiscard]] static std::unique_ptr<Library> load(std::string_view name, std::string* error = nullptr);
    Library(Key, void* handle, std::string path) : handle_(handle), path_(std::move(path)) {}
    ~Library();
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    // The entry point, or nullptr when missing; `error` (when given) receives the reason.
    [[nodiscard]] void* symbol(const char* name, std::string* error = nullptr) const;
    template <typename Fn>
    [[nodiscard]] Fn function(const char* name, std::string* error = nullptr) const {
        return reinterpret_cast<Fn>(symbol(name, error));
    }

    // The file name or path that was loaded.
    [[nodiscard]] const std::string& path() const noexcept { return path_; }

private:
    void* handle_;
    std::string path_;
};

// The file name that `name` is looked up as: lib<lower-case stem>.so for a ".DLL" name (any folder
// part of it is dropped), otherwise `name` unchanged.
[[nodiscard]] std::string mapLibraryName(std::string_view name);

} // namespace ostrel::platform
