// What the store's own files and the files the user names share: writing to the disk for good.
#pragma once

#include <string>

namespace ostrel::platform {

// Makes a rename in `folder` survive a crash of the machine. Folders that cannot be synced (some
// file systems refuse) are left as they are: the rename itself has been done.
void syncFolder(const std::string& folder) noexcept;

} // namespace ostrel::platform
