#pragma once
// The settings page of the PDO analysis: the test has no settings, so the page keeps the base
// page's operations.
#include "config_form.h"

namespace ostrel::vessolt {

class TWin_ConfigPDOAnalysis : public TConfigForm {
    Q_OBJECT
public:
    explicit TWin_ConfigPDOAnalysis(QWidget* parent = nullptr);
};

}  // namespace ostrel::vessolt
