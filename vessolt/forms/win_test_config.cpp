#include "win_test_config.h"

#include "dialog_placement.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QStackedLayout>
#include <QVBoxLayout>

#include <platform/registry.h>

#include "services/product_key.h"
#include "window_geometry.h"

namespace ostrel::vessolt {
namespace {

QWidget* widgetOf(IConfigPage* page) { return dynamic_cast<QWidget*>(page); }

std::string testConfigKey() { return std::string(kProductKey) + "\\testconfig"; }

} // namespace

TWin_TestConfig::TWin_TestConfig(TTestManager& manager, IConfigPage* globalPage, QWidget* parent)
    : QDialog(parent), manager_(manager), globalPage_(globalPage) {
    setWindowTitle(QStringLiteral("Test Configuration"));
    setWindowFlags(Qt::Dialog | Qt::WindowSystemMenuHint | Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
    setSizeGripEnabled(true);

    auto* top = new QHBoxLayout();
    top->addWidget(new QLabel(QStringLiteral("Select:"), this));
    testlist_ = new QComboBox(this);
    testlist_->setObjectName(QStringLiteral("testlist"));
    testlist_->setToolTip(QStringLiteral("Select a test to configure"));
    top->addWidget(testlist_, 1);
    mainbox_ = new QWidget(this);
    mainbox_->setObjectName(QStringLiteral("mainbox"));
    // Stacked: the dialog is as large as its largest page from the start, and keeps its size as
    // the pages change.
    auto* pageLayout = new QStackedLayout(mainbox_);
    pageLayout->setContentsMargins(0, 0, 0, 0);
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("ok"));
    ok->setToolTip(QStringLiteral("Click to accept changes and close"));
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
    cancel->setObjectName(QStringLiteral("cancel"));
    cancel->setToolTip(QStringLiteral("Click to ignore changes and close"));
    auto* defaults = new QPushButton(QStringLiteral("Use Recommended Defaults For Tests"), this);
    defaults->setObjectName(QStringLiteral("defaults"));
    defaults->setToolTip(QStringLiteral("Click to use the recommended defaults for all tests"));
    for (QPushButton* b : {ok, cancel, defaults})
        b->setAutoDefault(false);
    auto* bottom = new QHBoxLayout();
    bottom->addWidget(defaults);
    bottom->addStretch(1);
    bottom->addWidget(ok);
    bottom->addWidget(cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(mainbox_, 1);
    layout->addLayout(bottom);

    connect(testlist_, &QComboBox::activated, this, &TWin_TestConfig::ShowPage);
    connect(ok, &QPushButton::clicked, this, &TWin_TestConfig::okClick);
    connect(cancel, &QPushButton::clicked, this, &TWin_TestConfig::cancelClick);
    connect(defaults, &QPushButton::clicked, this, &TWin_TestConfig::defaultsClick);

    resize(560, 440);
    if (auto key = platform::RegistryKey::open(platform::RegistryRoot::CurrentUser, testConfigKey())) {
        // A size stored on a larger screen must still fit this one.
        RestoreSize(*this, key->readInteger("width"), key->readInteger("height"), QSize(200, 150));
    }
    manager_.SetConfigureTestHandler([this](int32_t testid, IConfigPage*, QObject* caller) {
        const auto* widget = qobject_cast<QWidget*>(caller);
        ShowForTest(testid, widget ? widget->window() : parentWidget());
    });
}

TWin_TestConfig::~TWin_TestConfig() {
    manager_.SetConfigureTestHandler({});
    // The pages belong to their owners: Qt must not delete them with the dialog.
    releasePages();
}

void TWin_TestConfig::releasePages() {
    for (IConfigPage* page : pages_) {
        if (QWidget* w = widgetOf(page); w && w->parentWidget() == mainbox_) {
            w->hide();
            w->setParent(nullptr);
        }
    }
}

void TWin_TestConfig::centreOn(QWidget* caller) {
    if (!caller)
        return;
    // The size the pages need, before the dialog is placed.
    mainbox_->updateGeometry();
    layout()->activate();
    PlaceOverOwner(*this, caller);
}

void TWin_TestConfig::ShowAll(QWidget* caller) {
    BuildPageList();
    centreOn(caller);
    startPage_ = -1;
    exec();
}

void TWin_TestConfig::ShowForTest(int32_t testid, QWidget* caller) {
    BuildPageList();
    centreOn(caller);
    ShowPage(0);
    const int found = testlist_->findData(testid);
    if (found >= 0)
        startPage_ = found;
    exec();
}

void TWin_TestConfig::BuildPageList() {
    pagesLoaded_ = true;
    HidePage();
    releasePages();
    testlist_->clear();
    pages_.clear();
    const auto add = [this](const QString& name, int32_t id, IConfigPage* page) {
        if (static_cast<int>(pages_.size()) >= kMaxPages)
            return;
        testlist_->addItem(name, id);
        pages_.push_back(page);
        if (QWidget* w = widgetOf(page)) {
            w->setParent(mainbox_);
            mainbox_->layout()->addWidget(w);
            w->hide();
        }
        if (page)
            page->LoadSettings();
    };
    add(QStringLiteral("Global Configuration"), 0, globalPage_);
    TEST test;
    for (int32_t id = manager_.GetFirstTest(test); id != 0; id = manager_.GetNextTest(test))
        add(QString::fromStdString(test.name), id, manager_.GetTestConfigPage(id));
    if (pages_.size() == 1)
        testlist_->setCurrentIndex(0);
}

void TWin_TestConfig::ShowPage(int i) {
    HidePage();
    testlist_->setCurrentIndex(i);
    selectedPage_ = i;
    if (i >= 0 && i < pageCount())
        if (QWidget* w = widgetOf(pages_[static_cast<size_t>(i)])) {
            static_cast<QStackedLayout*>(mainbox_->layout())->setCurrentWidget(w);
            w->show();
        }
}

void TWin_TestConfig::HidePage() {
    if (selectedPage_ == -1)
        return;
    if (selectedPage_ < pageCount())
        if (QWidget* w = widgetOf(pages_[static_cast<size_t>(selectedPage_)]))
            w->hide();
    selectedPage_ = -1;
}

void TWin_TestConfig::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!pagesLoaded_)
        BuildPageList();
    if (startPage_ == -1)
        startPage_ = 0;
    ShowPage(startPage_);
}

void TWin_TestConfig::okClick() {
    for (int i = 0; i < pageCount(); ++i) {
        IConfigPage* page = pages_[static_cast<size_t>(i)];
        if (page && !page->ApplySettings()) {
            ShowPage(i);
            return;
        }
    }
    accept();
}

void TWin_TestConfig::cancelClick() {
    for (IConfigPage* page : pages_)
        if (page)
            page->CancelSettings();
    reject();
}

void TWin_TestConfig::defaultsClick() {
    for (IConfigPage* page : pages_)
        if (page)
            page->SetDefaults();
}

void TWin_TestConfig::saveSize() {
    if (auto key = platform::RegistryKey::create(platform::RegistryRoot::CurrentUser, testConfigKey())) {
        key->writeInteger("width", width());
        key->writeInteger("height", height());
    }
}

void TWin_TestConfig::done(int result) {
    // Every way of closing ends here (OK, Cancel, Escape, the close box).
    HidePage();
    saveSize();
    releasePages();
    pagesLoaded_ = false;
    QDialog::done(result);
}

void TWin_TestConfig::closeEvent(QCloseEvent* event) { QDialog::closeEvent(event); }

} // namespace ostrel::vessolt
