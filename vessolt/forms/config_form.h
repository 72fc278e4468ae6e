#pragma once
// The base of every settings page: a borderless widget that the test configuration dialog places
// inside itself and drives through the page operations.
#include <QWidget>

#include "testing/config_page.h"

namespace ostrel::vessolt {

class TConfigForm : public QWidget, public IConfigPage {
    Q_OBJECT
public:
    explicit TConfigForm(QWidget* parent = nullptr) : QWidget(parent) {
        setWindowTitle(QStringLiteral("ConfigForm"));
        setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    }
};

} // namespace ostrel::vessolt
