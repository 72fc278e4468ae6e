#include "win_config_rpdo.h"

#include <QComboBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "dialog_placement.h"
#include "timing_settings_check.h"

namespace ostrel::vessolt {

TWin_ConfigRPDO::TWin_ConfigRPDO(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("Win_ConfigRPDO"));
    setWindowTitle(QStringLiteral("Configure RPDO"));

    auto* label1 = new QLabel(QStringLiteral("Length:"), this);
    label1->setObjectName(QStringLiteral("Label1"));
    dlc_ = new QComboBox(this);
    dlc_->setObjectName(QStringLiteral("dlc"));
    for (int n = 0; n <= 8; ++n)
        dlc_->addItem(QString::number(n));
    dlc_->setMaxVisibleItems(9);
    dlc_->setToolTip(QStringLiteral("Select the number of bytes in the RPDO"));

    auto* label2 = new QLabel(QStringLiteral("Data:"), this);
    label2->setObjectName(QStringLiteral("Label2"));
    auto* dataRow = new QHBoxLayout;
    for (size_t i = 0; i < data_.size(); ++i) {
        auto* edit = new QLineEdit(QStringLiteral("FF"), this);
        edit->setObjectName(QStringLiteral("data%1").arg(i));
        edit->setMaxLength(2);
        edit->setFixedWidth(edit->fontMetrics().horizontalAdvance(QStringLiteral("WWW")) + 8);
        edit->setToolTip(QStringLiteral("Enter the value for byte %1 in hexadecimal").arg(i));
        dataRow->addWidget(edit);
        data_[i] = edit;
    }
    dataRow->addStretch(1);

    auto* separator = new QFrame(this);
    separator->setObjectName(QStringLiteral("Panel2"));
    separator->setFixedHeight(1);
    separator->setStyleSheet(QStringLiteral("background-color: black;"));

    ok_ = new QPushButton(QStringLiteral("OK"), this);
    ok_->setObjectName(QStringLiteral("ok"));
    ok_->setToolTip(QStringLiteral("Click to accept changes and close the window"));
    ok_->setDefault(true);
    cancel_ = new QPushButton(QStringLiteral("Cancel"), this);
    cancel_->setObjectName(QStringLiteral("cancel"));
    cancel_->setToolTip(QStringLiteral("Click to ignore changes and close the window"));
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(cancel_);
    buttons->addWidget(ok_);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(label1);
    layout->addWidget(dlc_, 0, Qt::AlignLeft);
    layout->addWidget(label2);
    layout->addLayout(dataRow);
    layout->addStretch(1);
    layout->addWidget(separator);
    layout->addLayout(buttons);

    connect(dlc_, &QComboBox::currentIndexChanged, this, [this] { UpdateDataEdits(); });
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
}

void TWin_ConfigRPDO::UpdateDataEdits() {
    const int n = dlc_->currentIndex();  // -1 without a selection
    for (size_t i = 0; i < data_.size(); ++i)
        data_[i]->setEnabled(static_cast<int>(i) < n);
}

void TWin_ConfigRPDO::placeOver(QWidget* owner) { PlaceOverOwner(*this, owner); }

bool TWin_ConfigRPDO::Execute(uint8_t& length, uint8_t (&data)[8], QWidget* owner) {
    adjustSize();
    placeOver(owner);
    // A length beyond 8 selects nothing; OK then keeps it.
    dlc_->setCurrentIndex(length <= 8 ? length : -1);
    for (size_t i = 0; i < data_.size(); ++i)
        data_[i]->setText(QStringLiteral("%1").arg(data[i], 2, 16, QLatin1Char('0')).toUpper());
    UpdateDataEdits();
    // Closing by the title bar rejects, as Cancel does.
    if (exec() != QDialog::Accepted)
        return false;
    if (dlc_->currentIndex() >= 0)
        length = static_cast<uint8_t>(dlc_->currentIndex());
    for (size_t i = 0; i < data_.size(); ++i)
        data[i] = static_cast<uint8_t>(TimingSettingsCheck::ReadUnsigned(data_[i]->text().toStdString(), 16) & 0xFFu);
    return true;
}

} // namespace ostrel::vessolt
