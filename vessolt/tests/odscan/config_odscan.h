#pragma once
// The settings page of the object dictionary scan: the test has no settings, so the page keeps the
// base page's operations.
#include "config_form.h"

namespace ostrel::vessolt {

class TWin_ConfigODScan : public TConfigForm {
    Q_OBJECT
public:
    explicit TWin_ConfigODScan(QWidget* parent = nullptr);
};

}  // namespace ostrel::vessolt
