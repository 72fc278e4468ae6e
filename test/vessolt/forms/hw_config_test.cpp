#include "win_hw_config.h"

#include <QComboBox>
#include <QLineEdit>
#include <QLabel>
#include <QLayout>
#include <QPushButton>

#include <platform/registry.h>
#include <platform/utf16.h>

#include "services/product_key.h"
#include "services/web_addresses.h"
#include "testing/result_text.h"
#include "window_fixture.h"

using namespace ostrel::vessolt;
using namespace ostrel::vessolt::test;

namespace {

QStringList items(const QComboBox* list) {
    QStringList out;
    for (int i = 0; i < list->count(); ++i)
        out << list->itemText(i);
    return out;
}

ResultBlock block(int32_t code, std::u16string_view message) {
    ResultBlock b{};
    b.code = code;
    ostrel::platform::copyBounded(b.message, DRN_MESSAGE_CHARS, message);
    return b;
}

} // namespace

TEST(ResultText, TableTextsAndMessagesCutBetweenCharacters) {
    EXPECT_EQ(ResultToText(block(-5, u"x")), "SDO Protocol error: x");
    EXPECT_EQ(ResultToText(block(-12, u"something")), "");
    EXPECT_EQ(ResultToText(block(0, u"ok")), "");
    EXPECT_EQ(ResultToText(block(-11, u"")), "Timeout occured - no response received");
    EXPECT_EQ(ResultToText(block(38, u"")).substr(0, 43), "Please enter a valid Time Difference value.");
    EXPECT_EQ(ResultToText(block(29, u"!")), "Node ID must be in the range 0x01 -> 0x7F!");
    // 150 three-byte characters: 450 bytes of UTF-8 cut to whole characters within the limit.
    const std::string text = ResultToText(block(-8, std::u16string(150, u'\u20AC')));
    const std::string prefix = "CAN bus error: ";
    ASSERT_EQ(text.substr(0, prefix.size()), prefix);
    EXPECT_EQ(text.size() - prefix.size(), 297u);
    EXPECT_EQ(QString::fromUtf8(text).count(QChar(0x20AC)), 99);
    EXPECT_EQ(BaudrateText(800), "800kbps");
    EXPECT_EQ(BaudrateText(1000), "1Mbps");
    EXPECT_EQ(BaudrateText(33), "unknown");
}

TEST_F(WindowTest, HardwareDialogListsAddsDeletesByHandleAndOpensTheNetwork) {
    HardwareConfig& config = services_->hardware;
    {
        // A stored interface that has gone selects the first one.
        auto key = ostrel::platform::RegistryKey::create(ostrel::platform::RegistryRoot::CurrentUser, kProductKey);
        ASSERT_TRUE(key);
        key->writeString("hwtype", "Gone");
        key->writeString("netname", "Nothing (1Mbps)");
    }
    // No browser: the error dialog's download link is named in a message.
    TWin_HWConfig dialog(services_->api(), config, prompt_, [](const QString&) { return false; });
    auto* hwlist = dialog.findChild<QComboBox*>("hwlist");
    auto* netlist = dialog.findChild<QComboBox*>("netlist");
    ASSERT_TRUE(hwlist && netlist);
    EXPECT_EQ(items(hwlist), QStringList{"TestBus"});
    EXPECT_EQ(items(netlist), QStringList{"TestNet (500kbps)"});
    EXPECT_FALSE(dialog.findChild<QPushButton*>("hwconfigbutton")->isEnabled());
    EXPECT_FALSE(config.initialised);
    EXPECT_EQ(config.baudrate, 125);

    if (const char* shots = std::getenv("VESSOLT_WINDOW_SHOT_DIR"))
        dialog.grab().save(QString::fromUtf8(shots) + "/hwconfig.png");
    // Room either side of the network buttons' texts.
    dialog.layout()->activate();
    for (const char* name : {"addbutton", "deletebutton", "hwconfigbutton"}) {
        auto* b = dialog.findChild<QPushButton*>(name);
        EXPECT_GE(b->width() - b->fontMetrics().horizontalAdvance(b->text()), 20) << name;
    }
    // Add: the name entered and the chosen rate; the new network is selected.
    const auto add = [&](const QString& name, int rateIndex) {
        whenShown<TWin_HWConfigAddNet>([name, rateIndex](TWin_HWConfigAddNet* d) {
            d->findChild<QLineEdit*>("name")->setText(name);
            d->findChild<QComboBox*>("baudlist")->setCurrentIndex(rateIndex);
            d->findChild<QPushButton*>("add")->click();
        });
        dialog.findChild<QPushButton*>("addbutton")->click();
    };
    add("MyNet", 1);
    EXPECT_EQ(dialog.addNetDialog().windowTitle(), "Add Network to TestBus");
    EXPECT_EQ(items(netlist), (QStringList{"TestNet (500kbps)", "MyNet (800kbps)"}));
    EXPECT_EQ(netlist->currentIndex(), 1);

    // Two equal names: Delete removes the selected one, found by its handle.
    add("Dup", 2);
    add("Dup", 2);
    ASSERT_EQ(netlist->count(), 4);
    const int firstDup = netlist->itemData(2).toInt();
    const int secondDup = netlist->itemData(3).toInt();
    ASSERT_NE(firstDup, secondDup);
    netlist->setCurrentIndex(3);
    dialog.findChild<QPushButton*>("deletebutton")->click();
    ASSERT_EQ(netlist->count(), 3);
    EXPECT_EQ(netlist->itemText(2), "Dup (500kbps)");
    EXPECT_EQ(netlist->itemData(2).toInt(), firstDup);

    // A network gone behind the list's back: the library's refusal is shown, the dialog stays.
    netlist->setCurrentIndex(2);
    ASSERT_EQ(services_->api().deleteNetwork(static_cast<uint32_t>(firstDup)), 0);
    QString shown;
    whenShown<TWin_HWInitError>([&shown](TWin_HWInitError* e) {
        shown = e->message();
        Q_EMIT e->findChild<QLabel*>("troveldownload")->linkActivated(QString::fromUtf8(kDriverDownloadUrl));
        e->accept();
    });
    dialog.findChild<QPushButton*>("ok")->click();
    EXPECT_EQ(shown, "Error initializing hardware: Failed to configure can bus");
    ASSERT_FALSE(prompt_.asked().empty());
    EXPECT_EQ(prompt_.asked().back().text,
              "Unable to open https://ostrel.example.org/drivers/. Please open this address in a web browser.");
    EXPECT_FALSE(config.initialised);

    // OK on the test network opens it and stores the choice.
    netlist->setCurrentIndex(0);
    dialog.findChild<QPushButton*>("ok")->click();
    EXPECT_TRUE(config.initialised);
    EXPECT_EQ(config.baudrate, 500);
    EXPECT_EQ(config.hardwareHandle, 1);
    EXPECT_EQ(config.networkHandle, 1);
    EXPECT_TRUE(bus_->bus().initialized());
    auto key = ostrel::platform::RegistryKey::open(ostrel::platform::RegistryRoot::CurrentUser, kProductKey);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->readString("hwtype"), "TestBus");
    EXPECT_EQ(key->readString("netname"), "TestNet (500kbps)");

    // The stored choice is found again, without regard to case.
    key->writeString("netname", "mynet (800KBPS)");
    ASSERT_TRUE(key->flush());
    config.driverLibrary = "NOSUCHVENDOR.DLL";
    TWin_HWConfig again(services_->api(), config, prompt_);
    EXPECT_EQ(again.findChild<QComboBox*>("netlist")->currentText(), "MyNet (800kbps)");
    EXPECT_FALSE(config.initialised);  // a new dialog starts over

    // The interface library the program started with, when it cannot be loaded, is named above the lists.
    again.show();
    EXPECT_TRUE(again.findChild<QLabel*>("driverproblem")->isVisible());
    EXPECT_EQ(again.driverProblem().toStdString(), DriverLibraryProblem("NOSUCHVENDOR.DLL"));
}
