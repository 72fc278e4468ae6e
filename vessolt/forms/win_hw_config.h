#pragma once
// The hardware dialogs: choosing the CAN interface and one of its networks before anything else,
// adding and deleting networks, and showing why opening a network failed.
#include <QDialog>

#include "desktop_open.h"
#include "services/canopen_api.h"
#include "services/hardware_config.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace ostrel::vessolt {

class UserPrompt;

class TWin_HWConfigAddNet : public QDialog {
    Q_OBJECT
public:
    explicit TWin_HWConfigAddNet(QWidget* parent = nullptr);
    // Shows the dialog modally for the named interface; true when the user pressed Add.
    bool Execute(const QString& hardwareName);

    bool added = false;
    int32_t baudrate = 1000;  // kbit/s
    QString networkName;

private:
    void addClick();
    void cancelClick();

    QLineEdit* name_ = nullptr;
    QComboBox* baudlist_ = nullptr;
};

class TWin_HWInitError : public QDialog {
    Q_OBJECT
public:
    // The download link opens through `desktop`; a page that cannot be opened is told through `prompt`.
    explicit TWin_HWInitError(UserPrompt& prompt, DesktopOpen desktop = {}, QWidget* parent = nullptr);
    void SetMessage(const QString& text);
    [[nodiscard]] QString message() const;

private:
    QLabel* error_ = nullptr;
};

class TWin_HWConfig : public QDialog {
    Q_OBJECT
public:
    // Fills `config` on a successful OK; both outlive the dialog.
    TWin_HWConfig(CanopenApi& api, HardwareConfig& config, UserPrompt& prompt, DesktopOpen desktop = {},
                  QWidget* parent = nullptr);

    [[nodiscard]] TWin_HWConfigAddNet& addNetDialog() { return *addNet_; }
    [[nodiscard]] TWin_HWInitError& initErrorDialog() { return *initError_; }
    [[nodiscard]] const HardwareConfig& configuration() const { return config_; }

    void FillHardwareList();
    void FillNetworkList();
    // A line above the lists naming the interface library that could not be loaded, and why; an
    // empty text hides it. The dialog sets it from the configuration's library when it is made.
    void SetDriverProblem(const QString& text);
    [[nodiscard]] QString driverProblem() const;

protected:
    void reject() override;

private:
    void SelectHardware();
    void LoadSettings();
    void SaveSettings();
    void addbuttonClick();
    void deletebuttonClick();
    void okClick();
    void cancelClick();

    CanopenApi& api_;
    HardwareConfig& config_;
    QComboBox* hwlist_ = nullptr;
    QComboBox* netlist_ = nullptr;
    QPushButton* addbutton_ = nullptr;
    QPushButton* hwconfigbutton_ = nullptr;
    QPushButton* deletebutton_ = nullptr;
    QPushButton* ok_ = nullptr;
    QPushButton* cancel_ = nullptr;
    TWin_HWConfigAddNet* addNet_ = nullptr;
    TWin_HWInitError* initError_ = nullptr;
    QLabel* driverProblem_ = nullptr;
};

} // namespace ostrel::vessolt
