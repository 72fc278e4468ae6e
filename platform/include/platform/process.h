// Starting programs and finding the program's own folder.
#pragma once

#include <string>
#include <vector>
#include <sys/types.h>

namespace ostrel::platform {

// Folder of the running executable (from /proc/self/exe), without a trailing slash.
[[nodiscard]] std::string executableDir();

// Starts `program` with `args` (argv[1..]) detached from the caller: its own session, no
// terminal, standard streams on /dev/null unless `keepOutput`; no other descriptor of the caller
// is inherited. A `program` without a '/' is taken from the program's folder (executableDir()),
// never from PATH or the working directory. Returns the process id, or -1 when the program is
// missing, not executable or cannot be started.
// The child is not reaped by the caller (it is re-parented when the caller ends); a caller that
// wants to wait for it uses waitpid itself.
[[nodiscard]] pid_t spawnDetached(const std::string& program, const std::vector<std::string>& args,
                                  bool keepOutput = false);

// True while the process exists (and is not a zombie). False for pid <= 0.
[[nodiscard]] bool processAlive(pid_t pid);

} // namespace ostrel::platform
