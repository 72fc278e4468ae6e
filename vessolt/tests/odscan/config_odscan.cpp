#include "config_odscan.h"

#include <QLabel>
#include <QVBoxLayout>

namespace ostrel::vessolt {

TWin_ConfigODScan::TWin_ConfigODScan(QWidget* parent) : TConfigForm(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel("No settings.", this));
    layout->addStretch(1);
}

}  // namespace ostrel::vessolt
