#include "win_test_config.h"

#include <QComboBox>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTest>

#include <platform/registry.h>

#include "config_form.h"
#include "services/product_key.h"
#include "win_about.h"
#include "window_fixture.h"

using namespace ostrel::vessolt;
using namespace ostrel::vessolt::test;

namespace {

// A page that keeps a stored value apart from its control, as test pages do.
class FakePage : public TConfigForm {
public:
    explicit FakePage(std::vector<std::string>& journal, std::string name, bool storesDefaults = false)
        : journal_(journal), name_(std::move(name)), storesDefaults_(storesDefaults) {}
    bool ApplySettings() override {
        journal_.push_back("apply " + name_);
        if (refuse)
            return false;
        stored = control;
        return true;
    }
    void CancelSettings() override { journal_.push_back("cancel " + name_); }
    void LoadSettings() override {
        journal_.push_back("load " + name_);
        control = stored;
    }
    void SetDefaults() override {
        control = 100;
        if (storesDefaults_)
            stored = 100;
    }
    bool refuse = false;
    int control = 0;
    int stored = 0;

private:
    std::vector<std::string>& journal_;
    std::string name_;
    bool storesDefaults_;
};

} // namespace

TEST_F(WindowTest, TestConfigurationAppliesInOrderShowsTheRefusingPageAndGivesPagesBack) {
    std::vector<std::string> journal;
    FakePage global(journal, "global", true);
    FakePage a(journal, "a"), b(journal, "b"), c(journal, "c");
    TTestManager& manager = *services_->testManager;
    manager.AddTest(20, {.name = "A", .ConfigPage = &a});
    manager.AddTest(30, {.name = "B", .ConfigPage = &b});
    manager.AddTest(1, {.name = "C", .ConfigPage = &c});
    QWidget caller;
    caller.setGeometry(100, 100, 900, 700);

    auto dialog = std::make_unique<TWin_TestConfig>(manager, &global, &caller);
    auto* list = dialog->findChild<QComboBox*>("testlist");
    auto* ok = dialog->findChild<QPushButton*>("ok");

    // OK with the second test page refusing: global and A stored, B shown, C not asked.
    global.control = a.control = b.control = c.control = 5;
    b.refuse = true;
    whenShown<TWin_TestConfig>([&](TWin_TestConfig* d) {
        EXPECT_EQ(list->count(), 4);
        EXPECT_EQ(list->itemData(0).toInt(), 0);
        EXPECT_EQ(list->itemText(0), "Global Configuration");
        EXPECT_EQ(d->selectedPage(), 0);
        EXPECT_TRUE(global.isVisible());
        global.control = a.control = b.control = c.control = 7;
        if (const char* shots = std::getenv("VESSOLT_WINDOW_SHOT_DIR"))
            d->grab().save(QString::fromUtf8(shots) + "/testconfig.png");
        // Each page is loaded once a showing, so a page's note about its settings comes once.
        EXPECT_EQ(std::count(journal.begin(), journal.end(), "load global"), 1);
        EXPECT_EQ(std::count(journal.begin(), journal.end(), "load c"), 1);
        journal.clear();
        ok->click();
        EXPECT_EQ(journal, (std::vector<std::string>{"apply global", "apply a", "apply b"}));
        EXPECT_EQ(d->selectedPage(), 2);
        EXPECT_TRUE(b.isVisible());
        EXPECT_FALSE(global.isVisible());
        EXPECT_TRUE(d->isVisible());
        d->findChild<QPushButton*>("cancel")->click();
    });
    dialog->ShowAll(&caller);
    EXPECT_EQ(global.stored, 7);
    EXPECT_EQ(a.stored, 7);
    EXPECT_EQ(b.stored, 0);
    EXPECT_EQ(c.stored, 0);
    EXPECT_EQ(journal.back(), "cancel c");

    // A row's configure button opens on that test's page; an unknown id keeps the remembered page.
    // From a test window it is centred over that window.
    int shownPage = -1;
    QPoint shownAt;
    whenShown<TWin_TestConfig>([&](TWin_TestConfig* d) {
        shownPage = d->selectedPage();
        shownAt = d->pos();
        d->reject();
    });
    QWidget testWindow;
    testWindow.setGeometry(50, 40, 700, 520);
    manager.ConfigureTest(1, &testWindow);
    EXPECT_EQ(shownPage, 3);
    // The frame is placed, window decoration included.
    const QSize frame = dialog->frameGeometry().size();
    EXPECT_EQ(shownAt, QPoint(50 + (700 - frame.width()) / 2, 40 + (520 - frame.height()) / 2));
    // Over a small window at the bottom of the screen it stays on the screen.
    const QRect screen = testWindow.screen()->availableGeometry();
    testWindow.setGeometry(screen.left() + 10, screen.bottom() - 100, 300, 100);
    whenShown<TWin_TestConfig>([&](TWin_TestConfig* d) { shownAt = d->pos(), d->reject(); });
    manager.ConfigureTest(1, &testWindow);
    EXPECT_EQ(shownAt, QPoint(screen.left() + 10, screen.bottom() + 1 - frame.height()));
    whenShown<TWin_TestConfig>([&](TWin_TestConfig* d) {
        shownPage = d->selectedPage();
        d->reject();
    });
    dialog->ShowForTest(4242, &caller);
    EXPECT_EQ(shownPage, 3);

    // Defaults then Cancel: test pages keep their stored values, the global page's defaults stay.
    whenShown<TWin_TestConfig>([&](TWin_TestConfig* d) {
        d->findChild<QPushButton*>("defaults")->click();
        EXPECT_EQ(a.control, 100);
        d->resize(640, 480);
        d->findChild<QPushButton*>("cancel")->click();
    });
    dialog->ShowAll(&caller);
    EXPECT_EQ(a.stored, 7);
    EXPECT_EQ(global.stored, 100);
    auto key = ostrel::platform::RegistryKey::open(ostrel::platform::RegistryRoot::CurrentUser,
                                                   std::string(kProductKey) + "\\testconfig");
    ASSERT_TRUE(key);
    EXPECT_EQ(key->readInteger("width"), 640);
    EXPECT_EQ(key->readInteger("height"), 480);

    // A page taller than the dialog sizes it from the start; changing pages keeps that size.
    c.setMinimumHeight(900);
    whenShown<TWin_TestConfig>([&](TWin_TestConfig* d) {
        const QSize first = d->size();
        d->findChild<QComboBox*>("testlist")->activated(3);
        EXPECT_EQ(d->size(), first);
        d->reject();
    });
    dialog->ShowAll(&caller);

    // The pages outlive the dialog.
    QPointer<FakePage> alive(&a);
    dialog.reset();
    EXPECT_FALSE(a.parentWidget());
    EXPECT_TRUE(alive);
    // A stored width larger than the screen is bounded by it, one below the dialog's least (0 for
    // that) grows to it as showing would, none above 0 is no width: the dialog keeps its own.
    const int whole = QGuiApplication::primaryScreen()->availableGeometry().width();
    const std::pair<int32_t, int> widths[] = {{100000, whole}, {100, 0}, {0, 560}, {-5, 560}};
    for (const auto& [stored, expected] : widths) {
        auto widthKey = ostrel::platform::RegistryKey::create(ostrel::platform::RegistryRoot::CurrentUser,
                                                              std::string(kProductKey) + "\\testconfig");
        widthKey->writeInteger("width", stored);
        ASSERT_TRUE(widthKey->flush());
        const TWin_TestConfig next(manager, &global, &caller);
        EXPECT_EQ(next.width(), expected ? expected : next.minimumWidth()) << stored;
        EXPECT_GT(next.minimumWidth(), 200);
    }
}

TEST(AboutBox, NamesTheProductTheLicenceAndTheLibraries) {
    RecordingPrompt prompt;
    QStringList opened;
    TWin_About about(prompt, [&opened](const QString& address) {
        opened << address;
        return true;
    });
    EXPECT_EQ(about.windowTitle(), "About CANopen Norbix Eval");
    EXPECT_EQ(about.findChild<QLabel*>("version")->text(), "Version 1.10.2624");
    EXPECT_TRUE(about.findChild<QLabel*>("licence")->text().contains("GPL-3.0-or-later"));
    const QString notices = about.findChild<QLabel*>("notices")->text();
    for (const char* library : {"Qt", "Expat", "PCRE2", "Python", "QScintilla"})
        EXPECT_TRUE(notices.contains(library)) << library;
    about.show();
    for (const char* link : {"vendorurl", "osturl"}) {
        auto* label = about.findChild<QLabel*>(link);
        QTest::mouseClick(label, Qt::LeftButton, {}, QPoint(4, label->height() / 2));
    }
    EXPECT_EQ(opened, QStringList({"https://norbix.example.org/", "https://ostrel.example.org/"}));
    // Enter closes the About box; on the maker's logo it opens no page.
    QTest::keyClick(about.findChild<QPushButton*>("ostlogo"), Qt::Key_Return);
    EXPECT_EQ(opened.size(), 2);
    EXPECT_FALSE(about.isVisible());
    TWin_Splash splash(prompt, false);
    EXPECT_EQ(splash.findChild<QLabel*>("version")->text(), "Version 1.10.2624");
    if (const char* shots = std::getenv("VESSOLT_WINDOW_SHOT_DIR")) {
        about.adjustSize();
        about.grab().save(QString::fromUtf8(shots) + "/about.png");
        splash.adjustSize();
        splash.grab().save(QString::fromUtf8(shots) + "/splash.png");
    }
}
