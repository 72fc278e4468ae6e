#include "win_quick_reference.h"

#include <QAbstractTextDocumentLayout>
#include <QFile>
#include <QHBoxLayout>
#include <QPageLayout>
#include <QPrintDialog>
#include <QPrinter>
#include <QPushButton>
#include <QTextBrowser>
#include <QTextDocument>
#include <QTextFrame>
#include <QVBoxLayout>
#include <cmath>
#include <memory>

#include "dialog_placement.h"
#include "window_geometry.h"

// The documents are compiled into the forms library, a static one: its resources must be registered
// by name, or the linker drops them.
static void initQuickReferenceResources() { Q_INIT_RESOURCE(quick_reference); }

namespace ostrel::vessolt {

namespace {
constexpr const char* kResourceFolder = ":/quickref/";
}

TWin_QuickReference::TWin_QuickReference(QWidget* parent) : QDialog(parent) {
    initQuickReferenceResources();
    setObjectName(QStringLiteral("Win_QuickReference"));
    setWindowTitle(QStringLiteral("Quick Reference"));
    setModal(true);
    resize(640, 560);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    textarea_ = new QTextBrowser(this);
    textarea_->setObjectName(QStringLiteral("textarea"));
    textarea_->setReadOnly(true);
    textarea_->setFrameShape(QFrame::NoFrame);
    textarea_->setOpenLinks(false);
    // Names in narrow table cells widen the cell rather than break mid-word.
    textarea_->setWordWrapMode(QTextOption::WordWrap);
    textarea_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    textarea_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    layout->addWidget(textarea_, 1);

    auto* bottom = new QHBoxLayout();
    bottom->setContentsMargins(8, 6, 8, 6);
    bottom->addStretch(1);
    print_ = new QPushButton(QStringLiteral("Print"), this);
    print_->setObjectName(QStringLiteral("print"));
    print_->setToolTip(QStringLiteral("Click to print out the quick reference"));
    close_ = new QPushButton(QStringLiteral("Close"), this);
    close_->setObjectName(QStringLiteral("close"));
    close_->setToolTip(QStringLiteral("Click to close the window"));
    close_->setDefault(true);
    bottom->addWidget(print_);
    bottom->addWidget(close_);
    layout->addLayout(bottom);
    connect(close_, &QPushButton::clicked, this, &QDialog::accept);
    connect(print_, &QPushButton::clicked, this, &TWin_QuickReference::printClick);
}

bool TWin_QuickReference::LoadResource(const char* resource) {
    if (resource == nullptr)
        return false;
    QFile file(QString::fromLatin1(kResourceFolder) + QString::fromLatin1(resource));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    textarea_->setHtml(QString::fromUtf8(file.readAll()));
    return true;
}

bool TWin_QuickReference::ShowResource(const char* resource, QWidget* caller) {
    if (!LoadResource(resource))
        return false;
    placeOver(caller);
    exec();
    return true;
}

// Centred on a caller larger than the window; along an edge where the caller is not larger, at the
// caller's left or top.
void TWin_QuickReference::placeOver(QWidget* caller) {
    if (caller == nullptr)
        return;
    // The size the window will be shown with.
    ensurePolished();
    if (layout())
        layout()->activate();
    const QPoint origin = caller->isWindow() ? caller->frameGeometry().topLeft() : caller->mapToGlobal(QPoint(0, 0));
    const QSize area = caller->isWindow() ? caller->frameGeometry().size() : caller->size();
    // Kept on the caller's screen like every dialog.
    move(placeOverOwner(QRect(origin, area), frameGeometry().size(), availableArea(*caller->window())));
}

void TWin_QuickReference::PrintTo(QPrinter& printer) {
    printer.setDocName(QString::fromLatin1(kJobTitle));
    printer.setFullPage(false);
    // In the printer's own pixels; the top margin is whole pixels.
    const double dpiY = printer.resolution();
    const double topInches = dpiY > 0 ? std::floor(1.5 * dpiY) / dpiY : 1.5;
    (void)printer.setPageMargins(QMarginsF(1.0, topInches, 1.0, 1.0), QPageLayout::Inch);
    // A copy laid out for the page: without its own page size the document would add margins of
    // its own inside the printer's.
    std::unique_ptr<QTextDocument> copy(textarea_->document()->clone());
    copy->setDefaultTextOption(textarea_->document()->defaultTextOption());
    copy->documentLayout()->setPaintDevice(&printer);
    copy->setPageSize(printer.pageLayout().paintRectPixels(printer.resolution()).size());
    QTextFrameFormat frame = copy->rootFrame()->frameFormat();
    frame.setMargin(0);
    copy->rootFrame()->setFrameFormat(frame);
    copy->print(&printer);
}

void TWin_QuickReference::printClick() {
    QPrinter printer(QPrinter::HighResolution);
    QPrintDialog dialog(&printer, this);
    dialog.setObjectName(QStringLiteral("Win_PrintDialog"));
    if (dialog.exec() == QDialog::Accepted)
        PrintTo(printer);
}

} // namespace ostrel::vessolt
