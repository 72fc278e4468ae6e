#include "nsm_config.h"

#include "dialog_placement.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace ostrel::vessolt {

namespace {
QWidget* page(const QString& title, const QString& subtitle, const QStringList& texts) {
    auto* w = new QWidget;
    auto* layout = new QVBoxLayout(w);
    if (!title.isEmpty()) {
        auto* t = new QLabel("<b>" + title + "</b>");
        layout->addWidget(t);
    }
    if (!subtitle.isEmpty())
        layout->addWidget(new QLabel(subtitle));
    for (const QString& text : texts) {
        auto* l = new QLabel(text);
        l->setWordWrap(true);
        layout->addWidget(l);
    }
    layout->addStretch();
    return w;
}
}  // namespace

TWin_NSMConfig::TWin_NSMConfig(NSMWizardLinks links, QWidget* parent) : QDialog(parent) {
    setWindowTitle("Norbix Support Module Configuration");
    setWindowFlags((windowFlags() | Qt::CustomizeWindowHint) & ~Qt::WindowCloseButtonHint);
    links.send = [this](uint32_t message) {
        QMetaObject::invokeMethod(this, [this, message] { onMessage(message); }, Qt::BlockingQueuedConnection);
    };
    wizard_ = std::make_unique<TNSMWizard>(std::move(links));

    pages_ = new QStackedWidget(this);
    pages_->addWidget(page("Welcome to the           Norbix Support Module    Configuration Wizard", {},
                           {"This will configure the Norbix Support Module for your network.",
                            "Click Next to continue, or Cancel to exit Setup."}));
    pages_->addWidget(page("Disconnect All Nodes", "Remove all nodes from the network",
                           {"Disconnect all nodes from the network, including the Norbix Support Module."}));
    pages_->addWidget(page("Connect Norbix Support Module", "Place the Norbix Support Module on the network",
                           {"Using the CAN connector, connect the Norbix Support Module to the network so the "
                            "settings can be changed."}));
    QWidget* baud = page("Read Current Baudrate", "Read LED to determine current baud rate",
                         {"Look at the CAN LED on the Norbix Support Module and select the pattern being displayed. "
                          "The LED indicates the current baud rate being used."});
    ledpattern_ = new QComboBox;
    ledpattern_->addItems({"LED is not flashing", "1 flash followed by a delay (10kbps)",
                           "2 flashes followed by a delay (20kbps)", "3 flashes followed by a delay (50kbps)",
                           "4 flashes followed by a delay (125kbps)", "5 flashes followed by a delay (250kbps)",
                           "6 flashes followed by a delay (500kbps)", "7 flashes followed by a delay (800kbps)",
                           "8 flashes followed by a delay (1Mbps)"});
    auto* baudLayout = static_cast<QVBoxLayout*>(baud->layout());
    baudLayout->insertWidget(baudLayout->count() - 1, new QLabel("CAN LED Pattern:"));
    baudLayout->insertWidget(baudLayout->count() - 1, ledpattern_);
    auto* note = new QLabel("The baud rate of the Norbix Support Module will be changed to match the current network.");
    note->setWordWrap(true);
    baudLayout->insertWidget(baudLayout->count() - 1, note);
    pages_->addWidget(baud);
    QWidget* node = page("Set Node ID", "Modify the Norbix Support Module Node ID", {});
    auto* nodeLayout = static_cast<QVBoxLayout*>(node->layout());
    currnodeid_ = new QLineEdit;
    currnodeid_->setReadOnly(true);
    newnodeid_ = new QLineEdit;
    auto* row1 = new QHBoxLayout;
    row1->addWidget(new QLabel("The current Node ID of the Norbix Support Module is: 0x"));
    row1->addWidget(currnodeid_);
    auto* row2 = new QHBoxLayout;
    row2->addWidget(new QLabel("Enter the new Node ID here: 0x"));
    row2->addWidget(newnodeid_);
    nodeLayout->insertLayout(nodeLayout->count() - 1, row1);
    nodeLayout->insertLayout(nodeLayout->count() - 1, row2);
    pages_->addWidget(node);
    pages_->addWidget(page("Configuration Completed", "Next Steps",
                           {"The configuration of the Norbix Support Module has been completed. You may now connect "
                            "the node to be tested to the network."}));

    back_ = new QPushButton("< Back");
    next_ = new QPushButton("Next >");
    cancel_ = new QPushButton("Cancel");
    next_->setDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(back_);
    buttons->addWidget(next_);
    buttons->addWidget(cancel_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(pages_);
    layout->addLayout(buttons);
    connect(back_, &QPushButton::clicked, this, &TWin_NSMConfig::backClick);
    connect(next_, &QPushButton::clicked, this, &TWin_NSMConfig::nextClick);
    connect(cancel_, &QPushButton::clicked, this, &TWin_NSMConfig::cancelClick);
    Prepare();
}

TWin_NSMConfig::~TWin_NSMConfig() {
    // A worker's last message waits for this thread: let it through, then join.
    while (wizard_->Busy())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    wizard_.reset();
}

void TWin_NSMConfig::Prepare() {
    wizard_->Execute();
    ledpattern_->setCurrentIndex(0);
    sync();
}

int TWin_NSMConfig::Execute() {
    Prepare();
    PlaceOverOwner(*this, parentWidget());
    return exec();
}

void TWin_NSMConfig::sync() {
    const bool pageChanged = pages_->currentIndex() != static_cast<int>(wizard_->Page());
    pages_->setCurrentIndex(static_cast<int>(wizard_->Page()));
    const NSMWizardButtons& b = wizard_->Buttons();
    back_->setEnabled(b.back);
    next_->setEnabled(b.next);
    cancel_->setEnabled(b.cancel);
    next_->setText(QString::fromStdString(b.nextText));
    if (pageChanged && wizard_->Page() == NSMWizardPage::nodeid) {
        currnodeid_->setText(QString::fromStdString(wizard_->CurrentNodeIdText()));
        newnodeid_->setText(QString::fromStdString(wizard_->CurrentNodeIdText()));
    }
}

void TWin_NSMConfig::nextClick() {
    const bool close = wizard_->NextClick(ledpattern_->currentIndex(), newnodeid_->text().toStdString());
    if (wizard_->Busy())
        QApplication::setOverrideCursor(Qt::WaitCursor);
    sync();
    if (close)
        accept();
}

void TWin_NSMConfig::backClick() {
    wizard_->BackClick();
    sync();
}

void TWin_NSMConfig::cancelClick() {
    if (wizard_->CancelClick())
        QDialog::reject();
}

void TWin_NSMConfig::reject() {
    // Esc: nothing while a worker runs, else as Cancel.
    if (!wizard_->Busy() && cancel_->isEnabled())
        cancelClick();
}

void TWin_NSMConfig::closeEvent(QCloseEvent* event) {
    if (wizard_->Busy())
        event->ignore();
    else
        QDialog::closeEvent(event);
}

void TWin_NSMConfig::onMessage(uint32_t message) {
    const bool wasBusy = wizard_->Busy();
    wizard_->HandleMessage(message);
    if (wasBusy && !wizard_->Busy())
        QApplication::restoreOverrideCursor();
    sync();
}

} // namespace ostrel::vessolt
