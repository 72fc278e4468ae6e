#include "win_about.h"

#include <QEventLoop>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "dialog_placement.h"
#include "icons.h"
#include "product_info.h"
#include "services/user_prompt.h"

namespace ostrel::vessolt {
namespace {

QLabel* boldLabel(const QString& text, QWidget* parent, bool wrap = true) {
    auto* label = new QLabel(text, parent);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    label->setWordWrap(wrap);
    return label;
}

QLabel* link(const char* name, const QString& text, const char* url, QWidget* parent, const OpenLink& open) {
    auto* label = new QLabel(QStringLiteral("<a href=\"%1\" style=\"font-weight:bold\">%2</a>")
                                 .arg(QString::fromUtf8(url), text.toHtmlEscaped()),
                             parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    QObject::connect(label, &QLabel::linkActivated, parent, open);
    return label;
}

// The logo, version, rights notice and the two links, shared by both windows.
void addProductPanel(QWidget* window, QVBoxLayout* layout, UserPrompt& prompt, DesktopOpen desktop) {
    const OpenLink open = OpenerFor(prompt, std::move(desktop));
    auto* top = new QHBoxLayout();
    auto* logo = new QLabel(window);
    logo->setObjectName(QStringLiteral("logo"));
    logo->setPixmap(resourcePixmap(QStringLiteral("IMAGE_NBXLOGO"), 48));
    top->addWidget(logo, 0, Qt::AlignTop);
    auto* texts = new QVBoxLayout();
    auto* title = boldLabel(QString::fromUtf8(kProductName), window, false);
    QFont big = title->font();
    big.setPointSizeF(big.pointSizeF() * 1.4);
    title->setFont(big);
    texts->addWidget(title);
    auto* version = boldLabel(QString::fromUtf8(kProductVersion), window, false);
    version->setObjectName(QStringLiteral("version"));
    texts->addWidget(version);
    auto* notice = boldLabel(QStringLiteral("\u00A9 ") + QString::fromUtf8(kRightsNotice), window);
    notice->setObjectName(QStringLiteral("notice"));
    notice->setFixedWidth(279);
    texts->addWidget(notice);
    top->addLayout(texts);
    top->addStretch(1);
    layout->addLayout(top);
    auto* links = new QHBoxLayout();
    links->addWidget(link("vendorurl", QString::fromUtf8(kProductUrl), kProductUrl, window, open));
    links->addStretch(1);
    auto* ostlogo = new QPushButton(window);
    ostlogo->setObjectName(QStringLiteral("ostlogo"));
    ostlogo->setFlat(true);
    ostlogo->setIcon(resourceIcon(QStringLiteral("IMAGE_OSTLOGO")));
    ostlogo->setIconSize(QSize(24, 24));
    ostlogo->setToolTip(QStringLiteral("Click to visit the Ostrel"));
    // Enter on the splash or the About box must not open a web page.
    ostlogo->setAutoDefault(false);
    QObject::connect(ostlogo, &QPushButton::clicked, window, [open] { open(QString::fromUtf8(kMakerUrl)); });
    links->addWidget(link("osturl", QString::fromUtf8(kMakerUrl), kMakerUrl, window, open));
    links->addWidget(ostlogo);
    layout->addLayout(links);
}

} // namespace

TWin_Splash::TWin_Splash(UserPrompt& prompt, bool showNow, DesktopOpen desktop, QWidget* parent)
    : QDialog(parent, Qt::SplashScreen | Qt::FramelessWindowHint) {
    setObjectName(QStringLiteral("Win_Splash"));
    auto* frame = new QVBoxLayout(this);
    frame->setContentsMargins(16, 16, 16, 16);
    frame->setSizeConstraint(QLayout::SetFixedSize);
    addProductPanel(this, frame, prompt, std::move(desktop));
    setStyleSheet(QStringLiteral("TWin_Splash { border: 2px solid #006440; background: white; }"));
    setAutoFillBackground(true);
    timer_.setInterval(kShowMs);
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, [this] {
        timer_.stop();
        accept();
    });
    timer_.start();
    if (!showNow)
        return;
    // Modal like exec(), but a window ended while it was being shown does not leave a loop behind.
    setWindowModality(Qt::ApplicationModal);
    QEventLoop loop;
    connect(this, &QDialog::finished, &loop, &QEventLoop::quit);
    show();
    if (isVisible())
        loop.exec(QEventLoop::DialogExec);
}

TWin_About::TWin_About(UserPrompt& prompt, DesktopOpen desktop, QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("Win_About"));
    setWindowTitle(QStringLiteral("About ") + QString::fromUtf8(kProductName));
    auto* layout = new QVBoxLayout(this);
    addProductPanel(this, layout, prompt, std::move(desktop));
    auto* licence = boldLabel(QStringLiteral("Licence: ") + QString::fromUtf8(kLicenceName) +
                                  QStringLiteral(". The full text is in the file LICENSE that comes with the program."),
                              this);
    licence->setObjectName(QStringLiteral("licence"));
    layout->addWidget(licence);
    auto* notices = new QLabel(this);
    notices->setObjectName(QStringLiteral("notices"));
    notices->setWordWrap(true);
    notices->setText(QString::fromUtf8(kLibraryNotices));
    layout->addWidget(notices);
    auto* close = new QPushButton(QStringLiteral("Close"), this);
    close->setObjectName(QStringLiteral("close"));
    close->setToolTip(QStringLiteral("Click to close this window"));
    close->setDefault(true);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    layout->addWidget(close, 0, Qt::AlignRight);
    licence->setFixedWidth(440);
    notices->setFixedWidth(440);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void TWin_About::Execute(QWidget* caller) {
    adjustSize();
    PlaceOverOwner(*this, caller);
    exec();
}

} // namespace ostrel::vessolt
