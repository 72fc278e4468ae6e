// The main window at its default size, as a user first meets it.
#include "win_main.h"

#include <QLabel>
#include <QScrollArea>
#include <QScrollBar>
#include <QToolButton>
#include <fstream>

#include "window_fixture.h"

using namespace ostrel::vessolt;
using namespace ostrel::vessolt::test;

TEST_F(WindowTest, SummaryFitsTheDefaultWindowWithLongNames) {
    std::ofstream cxl(dir_ / "long.cxl");
    cxl << "<cxl><network><node><id>5</id><name>" << std::string(90, 'N') << "</name></node>"
        << "<devicetype><profile>402</profile><name>" << std::string(90, 'P') << "</name>";
    for (int bit = 16; bit < 31; ++bit)
        cxl << "<bit><position>" << bit << "</position><set>Very long channel group name " << bit << "</set></bit>";
    cxl << "</devicetype><vendor><id>0x123456</id><name>" << std::string(90, 'V') << "</name><department><id>1</id>"
        << "<name>" << std::string(90, 'D') << "</name></department></vendor></network></cxl>";
    cxl.close();
    TWin_Main window(*services_);
    window.show();
    ASSERT_TRUE(services_->symbols->LoadFile((dir_ / "long.cxl").string()));
    TDeviceSummary& summary = *services_->deviceSummary;
    summary.SetDeviceType(0x7FFF0192);
    summary.SetVendor(0x01123456);
    summary.SetNodeId(5);
    for (float ms : {1234.56f, 999.99f})
        for (auto add : {&TDeviceSummary::AddBootupTime, &TDeviceSummary::AddSDOResponseTime,
                         &TDeviceSummary::AddHeartbeatTime, &TDeviceSummary::AddNodeGuardingTime,
                         &TDeviceSummary::AddEventTPDO100msTime, &TDeviceSummary::AddEventTPDO10msTime,
                         &TDeviceSummary::AddSyncTPDO100msTime, &TDeviceSummary::AddSyncTPDO10msTime})
            (summary.*add)(ms);
    summary.UpdatePeakMessageRate(12345.67f);
    auto* bits = window.findChild<QLabel*>("devicetypeadditional");
    auto* last = window.findChild<QLabel*>("synctpdo10msave");
    ASSERT_TRUE(processUntil([&] { return bits->text().startsWith("Very long") && last->text() != "-"; }));
    // Each nesting level of the layout follows the new texts in a pass of its own.
    for (int level = 0; level < 8; ++level)
        QApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    auto* mainbox = window.findChild<QScrollArea*>("mainbox");
    EXPECT_EQ(window.size(), QSize(1120, 700));
    EXPECT_FALSE(mainbox->horizontalScrollBar()->isVisible());
    for (QLabel* label : mainbox->widget()->findChildren<QLabel*>()) {
        const int right = label->mapTo(mainbox->viewport(), QPoint(label->width(), 0)).x();
        EXPECT_LE(right, mainbox->viewport()->width()) << label->objectName().toStdString();
    }
    // Cut texts are whole in their tips.
    for (const char* name : {"devicetype", "devicetypeadditional", "manufacturer", "manufacturerdept", "nodeid"}) {
        auto* label = window.findChild<QLabel*>(name);
        EXPECT_EQ(label->toolTip(), label->text()) << name;
    }
}

TEST_F(WindowTest, ToolButtonsKeepTheirHintsWhenTheirCommandsChange) {
    TWin_Main window(*services_);
    MainWindowLinks links;
    links.configureTests = [] {};
    links.configureNetwork = [] { return false; };
    links.configureSupportModule = [] {};
    window.SetLinks(links);
    for (auto [name, hint] : {std::pair{"configtestsbutton", "Configure the tests"},
                              {"confignetworkbutton", "Configure the CAN network"},
                              {"confignsmbutton", "Configure the Norbix Support Module"}})
        EXPECT_EQ(window.findChild<QToolButton*>(name)->toolTip(), hint);
}
