// For the server link's fuzz targets: named objects in a namespace of the process's own whose names
// are taken away as soon as everything is open, so that nothing is left in /dev/shm however the
// process ends (a broken property aborts it).
#pragma once

#include "fuzz_check.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace ostrel::fuzz {

// Call before the first named object is opened.
inline void usePrivateIpcNames() {
    const std::string ns = "fuzz-link-" + std::to_string(::getpid());
    ::setenv("OSTREL_IPC_NAMESPACE", ns.c_str(), 1);
}

// The objects stay usable by everyone holding them; only their names go.
inline void forgetIpcNames() {
    const std::string prefix = "ostrel.fuzz-link-" + std::to_string(::getpid()) + ".";
    DIR* dir = ::opendir("/dev/shm");
    if (dir == nullptr) return;
    while (const dirent* entry = ::readdir(dir)) {
        if (std::string(entry->d_name).rfind(prefix, 0) == 0) {
            (void)::unlink((std::string("/dev/shm/") + entry->d_name).c_str());
        }
    }
    ::closedir(dir);
}

} // namespace ostrel::fuzz
