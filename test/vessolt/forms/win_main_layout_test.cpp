// The main window at its default size, as a user first meets it.
#include "win_main.h"

#include <QLabel>
#include <QScrollArea>
#include <QScreen>
#include <QScrollBar>
#include <QToolButton>
#include <fstream>

#include "window_fixture.h"

using namespace ostrel::vessolt;
using namespace ostrel::vessolt::test;

TEST_F(WindowTest, SummaryFitsTheDefaultWindowWithALongDeviceTypeAndToolButtonsKeepTheirHints) {
    std::ofstream(dir_ / "long.cxl") << "<cxl><network><devicetype><profile>402</profile><name>" << std::string(99, 'P')
                                     << "</name><bit><position>16</position><set>" << std::string(99, 'B')
                                     << "</set></bit></devicetype></network></cxl>";
    TWin_Main window(*services_);
    window.show();
    ASSERT_TRUE(services_->symbols->LoadFile((dir_ / "long.cxl").string()));
    services_->deviceSummary->SetDeviceType(0x00010192);
    auto* bits = window.findChild<QLabel*>("devicetypeadditional");
    ASSERT_TRUE(processUntil([&] { return bits->text().startsWith("BBB"); }));
    for (int level = 0; level < 8; ++level)  // each level of the layout follows in a pass of its own
        QApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    auto* mainbox = window.findChild<QScrollArea*>("mainbox");
    // The design size, as far as the screen allows.
    EXPECT_EQ(window.size(), QSize(1120, 700).boundedTo(window.screen()->availableGeometry().size()));
    EXPECT_FALSE(mainbox->horizontalScrollBar()->isVisible());
    for (QLabel* label : mainbox->widget()->findChildren<QLabel*>())
        EXPECT_LE(label->mapTo(mainbox->viewport(), QPoint(label->width(), 0)).x(), mainbox->viewport()->width());
    EXPECT_EQ(bits->toolTip(), bits->text());

    window.SetLinks({.configureTests = [] {}});  // the command's button is enabled anew
    EXPECT_EQ(window.findChild<QToolButton*>("configtestsbutton")->toolTip(), "Configure the tests");
}
