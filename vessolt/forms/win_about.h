#pragma once
// The splash window shown while the program starts, and the About box.
#include <QDialog>
#include <QTimer>

#include "desktop_open.h"

namespace ostrel::vessolt {

class UserPrompt;

class TWin_Splash : public QDialog {
    Q_OBJECT
public:
    static constexpr int kShowMs = 4000;
    // With `showNow` the constructor shows the window modally and returns when its timer closed it.
    // The links open through `desktop`; a page that cannot be opened is told through `prompt`.
    explicit TWin_Splash(UserPrompt& prompt, bool showNow = true, DesktopOpen desktop = {}, QWidget* parent = nullptr);

private:
    QTimer timer_;
};

class TWin_About : public QDialog {
    Q_OBJECT
public:
    explicit TWin_About(UserPrompt& prompt, DesktopOpen desktop = {}, QWidget* parent = nullptr);
    // Over the caller's window and on its screen, shown modally.
    void Execute(QWidget* caller);
};

} // namespace ostrel::vessolt
