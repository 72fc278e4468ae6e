#include "config_pdoanalysis.h"

#include <QLabel>
#include <QVBoxLayout>

namespace ostrel::vessolt {

TWin_ConfigPDOAnalysis::TWin_ConfigPDOAnalysis(QWidget* parent) : TConfigForm(parent) {
    resize(383, 195);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel("No settings.", this));
    layout->addStretch(1);
}

}  // namespace ostrel::vessolt
