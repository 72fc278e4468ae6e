#pragma once
// "Configure RPDO": the modal dialog in which the user edits the length and data bytes of one RPDO
// frame of a timing test. One instance serves every edit; each Execute refills it.
#include <QDialog>
#include <array>
#include <cstdint>

class QComboBox;
class QLineEdit;
class QPushButton;

namespace ostrel::vessolt {

class TWin_ConfigRPDO : public QDialog {
    Q_OBJECT
public:
    explicit TWin_ConfigRPDO(QWidget* parent = nullptr);

    // Edits the caller's frame in place: written back only when the user presses OK (returns true).
    // The dialog is centred on `owner` when that is larger.
    bool Execute(uint8_t& length, uint8_t (&data)[8], QWidget* owner);

private:
    void UpdateDataEdits();
    void placeOver(QWidget* owner);

    QComboBox* dlc_ = nullptr;
    std::array<QLineEdit*, 8> data_{};
    QPushButton* ok_ = nullptr;
    QPushButton* cancel_ = nullptr;
};

} // namespace ostrel::vessolt
