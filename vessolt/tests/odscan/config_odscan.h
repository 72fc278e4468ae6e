#pragma once
// The settings page of the object dictionary scan: the test has no settings. The four page
// operations are those of every settings page, so that the page can take the common base.
#include <QWidget>

namespace ostrel::vessolt {

class TWin_ConfigODScan : public QWidget {
    Q_OBJECT
public:
    explicit TWin_ConfigODScan(QWidget* parent = nullptr);

    bool ApplySettings() { return true; }
    void CancelSettings() {}
    void LoadSettings() {}
    void SetDefaults() {}
};

}  // namespace ostrel::vessolt
