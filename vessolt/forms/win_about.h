#pragma once
// The splash window shown while the program starts, and the About box.
#include <QDialog>
#include <QTimer>

namespace ostrel::vessolt {

class TWin_Splash : public QDialog {
    Q_OBJECT
public:
    static constexpr int kShowMs = 4000;
    // With `showNow` the constructor shows the window modally and returns when its timer closed it.
    explicit TWin_Splash(bool showNow = true, QWidget* parent = nullptr);

private:
    QTimer timer_;
};

class TWin_About : public QDialog {
    Q_OBJECT
public:
    explicit TWin_About(QWidget* parent = nullptr);
    // Centred on the main window, shown modally.
    void Execute(QWidget* caller);
};

} // namespace ostrel::vessolt
