// Library loading with the ".DLL" name mapping.
#include "platform/library.h"

#include "platform/process.h"
#include "platform/regular_file.h"

#include <dlfcn.h>
#include <unistd.h>

namespace ostrel::platform {
namespace {

constexpr std::string_view kDllSuffix = ".dll";

bool endsWithDll(std::string_view name) {
    if (name.size() < kDllSuffix.size()) {
        return false;
    }
    const std::string_view tail = name.substr(name.size() - kDllSuffix.size());
    for (std::size_t i = 0; i < tail.size(); ++i) {
        char c = tail[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != kDllSuffix[i]) {
            return false;
        }
    }
    return true;
}

std::string loaderError(std::string_view fallback) {
    const char* text = dlerror();
    return text != nullptr ? std::string(text) : std::string(fallback);
}

void setError(std::string* error, std::string text) {
    if (error != nullptr) {
        *error = std::move(text);
    }
}

// The loader opens and reads a path it is given without looking what it names: a FIFO there would
// hold it (and the program) until some process wrote to it, a device would be read without end.
// Only a regular file goes to it.
bool loadable(const std::string& path, std::string* error) {
    std::string why;
    if (isRegularFile(path, why)) {
        return true;
    }
    setError(error, path + ": " + why);
    return false;
}

} // namespace

std::string mapLibraryName(std::string_view name) {
    if (!endsWithDll(name)) {
        return std::string(name);
    }
    // Designed names may carry a Windows or POSIX folder; only the file name means anything here.
    std::string_view base = name;
    if (const auto slash = base.find_last_of("/\\"); slash != std::string_view::npos) {
        base = base.substr(slash + 1);
    }
    std::string_view stem = base.substr(0, base.size() - kDllSuffix.size());
    std::string mapped = "lib";
    for (char c : stem) {
        mapped.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
    }
    mapped += ".so";
    return mapped;
}

std::unique_ptr<Library> Library::load(std::string_view name, std::string* error) {
    constexpr int kFlags = RTLD_NOW | RTLD_LOCAL;
    if (name.empty()) {
        setError(error, "no library name given");
        return nullptr;
    }
    const std::string mapped = mapLibraryName(name);
    if (!endsWithDll(name)) {
        // A name with a slash is a path, which the loader opens as it stands.
        if (mapped.find('/') != std::string::npos && !loadable(mapped, error)) {
            return nullptr;
        }
        void* handle = dlopen(mapped.c_str(), kFlags);
        if (handle == nullptr) {
            setError(error, loaderError("cannot load " + mapped));
            return nullptr;
        }
        return std::make_unique<Library>(Key{}, handle, mapped);
    }

    if (mapped == "lib.so") {  // a bare ".DLL" names nothing
        setError(error, "invalid library name: " + std::string(name));
        return nullptr;
    }
    // The program's folder first. A copy that exists there but fails to load is the one meant,
    // so its error is reported rather than silently taking another from the search path.
    const std::string besideProgram = executableDir() + "/" + mapped;
    if (access(besideProgram.c_str(), F_OK) == 0) {
        if (!loadable(besideProgram, error)) {
            return nullptr;
        }
        void* handle = dlopen(besideProgram.c_str(), kFlags);
        if (handle == nullptr) {
            setError(error, loaderError("cannot load " + besideProgram));
            return nullptr;
        }
        return std::make_unique<Library>(Key{}, handle, besideProgram);
    }
    void* handle = dlopen(mapped.c_str(), kFlags);
    if (handle == nullptr) {
        setError(error, std::string(name) + ": " + loaderError("cannot load " + mapped));
        return nullptr;
    }
    return std::make_unique<Library>(Key{}, handle, mapped);
}

Library::~Library() {
    if (handle_ != nullptr) {
        dlclose(handle_);
    }
}

void* Library::symbol(const char* name, std::string* error) const {
    if (name == nullptr || *name == '\0') {
        setError(error, "no entry point name given");
        return nullptr;
    }
    dlerror();  // clear a stale message so the one below belongs to this look-up
    void* address = dlsym(handle_, name);
    if (address == nullptr) {
        setError(error, loaderError(std::string("entry point not found: ") + name));
    }
    return address;
}

} // namespace ostrel::platform
