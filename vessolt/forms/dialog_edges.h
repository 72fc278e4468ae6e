#pragma once
// A thin edge that dialogs draw themselves where the windowing system frames no window (an X server
// without a window manager, Qt's VNC platform). Without it a dialog's margins merge with the window
// under it, and what the dialog covers there looks as if it had not been drawn: the up and down
// arrows of the main window's test list, for one.
#include <QObject>

namespace ostrel::vessolt {

// Installed on the application: gives each dialog its edge as it is shown.
class DialogEdges : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

} // namespace ostrel::vessolt
