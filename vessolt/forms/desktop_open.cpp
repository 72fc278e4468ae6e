#include "desktop_open.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

#include <utility>

#include "services/user_prompt.h"

namespace ostrel::vessolt {

bool OpenOrSay(const QString& target, UserPrompt& prompt, const DesktopOpen& desktop) {
    const bool web = target.startsWith(QLatin1String("https:")) || target.startsWith(QLatin1String("http:"));
    const std::string name = target.toStdString();
    if (!web && !QFileInfo::exists(target)) {
        prompt.inform("The file " + name + " was not found.", PromptIcon::Warning);
        return false;
    }
    const bool opened =
        desktop ? desktop(target) : QDesktopServices::openUrl(web ? QUrl(target) : QUrl::fromLocalFile(target));
    if (opened)
        return true;
    prompt.inform(web ? "Unable to open " + name + ". Please open this address in a web browser."
                      : "Unable to open " + name + ". No application is set up to show it; please open the file "
                                                   "with a program of your choice.",
                  PromptIcon::Warning);
    return false;
}

OpenLink OpenerFor(UserPrompt& prompt, DesktopOpen desktop) {
    return [&prompt, desktop = std::move(desktop)](const QString& target) { (void)OpenOrSay(target, prompt, desktop); };
}

} // namespace ostrel::vessolt
