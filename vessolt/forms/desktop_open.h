#pragma once
// Files and web pages that the program hands to the desktop's own applications (the manual, the
// reports, the web pages). A file that is not there, or a desktop that cannot open it (no viewer, no
// browser), is told to the user, naming the file or address so that it can be opened another way.
#include <QString>
#include <functional>

namespace ostrel::vessolt {

class UserPrompt;

// Hands a file path or a web address to the desktop; false when the desktop could not open it.
using DesktopOpen = std::function<bool(const QString& target)>;

// `target` is a web address (http or https) or a local file's path. Empty `desktop`: Qt's desktop
// services. False when the user was told that it could not be opened.
bool OpenOrSay(const QString& target, UserPrompt& prompt, const DesktopOpen& desktop = {});

// OpenOrSay bound to a window's prompt and desktop: what its links and commands call.
using OpenLink = std::function<void(const QString& target)>;
[[nodiscard]] OpenLink OpenerFor(UserPrompt& prompt, DesktopOpen desktop = {});

} // namespace ostrel::vessolt
