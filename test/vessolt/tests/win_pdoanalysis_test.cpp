// The PDO analysis window offscreen: a real analysis fills it, "Configure Test" is off while it
// runs, column widths and geometry survive a restart under the test's own keys.
#include <QApplication>
#include <QColor>
#include <QHeaderView>
#include <QLabel>
#include <QPixmap>
#include <QProgressBar>
#include <QScreen>
#include <QPushButton>
#include <QTableView>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include <platform/registry.h>

#include "../core/temp_folder.h"
#include "config_pdoanalysis.h"
#include "pdo_analysis_fixture.h"
#include "pdo_analysis_model.h"
#include "win_pdoanalysis.h"

namespace ostrel::vessolt::test {
namespace {

class PDOAnalysisWindowTest : public PDOAnalysisFixture {
protected:
    void settle() {
        for (int i = 0; i < 20; ++i) {
            QApplication::processEvents();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    TempRegistry registry;
};

TEST_F(PDOAnalysisWindowTest, ARunFillsTheGridAndConfigureIsOffMeanwhile) {
    addDevice();
    open();
    auto window = std::make_unique<TWin_PDOAnalysis>(analysis, manager);
    window->show();
    EXPECT_EQ(window->windowTitle(), "PDO Analysis");
    EXPECT_EQ(window->label->text(), "Not started");
    EXPECT_FALSE(window->pdolist()->isEnabled());
    EXPECT_EQ(window->pdolist()->verticalHeader()->defaultSectionSize(),
              TWin_PDOAnalysis::RowHeight(window->logicalDpiY()));
    EXPECT_EQ(TWin_PDOAnalysis::RowHeight(144), 27);

    window->runtest->click();
    bool configureWasOff = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    do {
        QApplication::processEvents();
        if (manager.GetRunState() != 0 && !window->configtest->isEnabled())
            configureWasOff = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    } while (manager.GetRunState() != 0 && std::chrono::steady_clock::now() < deadline);
    manager.WaitForTestThread();
    settle();
    EXPECT_TRUE(configureWasOff);
    EXPECT_TRUE(window->configtest->isEnabled());
    EXPECT_EQ(window->label->text(), "Passed");
    EXPECT_EQ(window->progressbar->value(), 100);
    EXPECT_TRUE(window->pdolist()->isEnabled());
    const TPDOAnalysisModel& model = window->model();
    ASSERT_EQ(model.rowCount(), 8);
    EXPECT_EQ(model.cellText(0, 2), "210 (RW)");
    EXPECT_EQ(model.cellText(4, 6), "Acyclic, Synchronous; Cyclic, Synchronous; Synchronous, RTR only; "
                                    "Asynchronous, RTR only; Manufacturer specific; Device Profile defined");

    // Painted whole; kept as a picture only when asked for.
    const QPixmap picture = window->grab();
    if (const char* png = std::getenv("PDOANALYSIS_GRAB"))
        picture.save(png);

    // A new network description rewrites the rows; the marks stay.
    window->SymbolsLoaded();
    settle();
    EXPECT_EQ(model.cellText(0, 1), "1 (RW)");
}

TEST_F(PDOAnalysisWindowTest, ColumnWidthsAndGeometrySurviveARestart) {
    {
        TWin_PDOAnalysis window(analysis, manager);
        window.show();
        settle();
        window.setGeometry(30, 40, 720, 400);
        window.pdolist()->setColumnWidth(5, 211);
        settle();
    }
    auto key = platform::RegistryKey::open(platform::RegistryRoot::CurrentUser,
                                           "Software\\Ostrel\\CANopen Norbix Eval\\PDO Analysis");
    ASSERT_TRUE(key);
    EXPECT_EQ(key->readInteger("pdocol5width"), 211);
    EXPECT_EQ(key->readInteger("pdolistwidth"), 720);
    EXPECT_EQ(key->readInteger("pdoconfigtop"), 40);
    EXPECT_FALSE(key->readInteger("pdocol0width"));
    EXPECT_FALSE(key->readInteger("colwidth0"));

    {
        TWin_PDOAnalysis window(analysis, manager);
        window.show();
        settle();
        EXPECT_EQ(window.geometry(), QRect(30, 40, 720, 400));
        EXPECT_EQ(window.pdolist()->columnWidth(5), 211);
        EXPECT_EQ(window.pdolist()->columnWidth(0), 60);
    }

    // Stored by hand larger and farther than any screen: the window and its columns come back on it.
    for (const char* name : {"pdocol5width", "pdolistwidth", "pdoconfigleft"})
        key->writeInteger(name, 100000);
    ASSERT_TRUE(key->flush());
    TWin_PDOAnalysis window(analysis, manager);
    window.show();
    settle();
    const QRect area = window.screen()->availableGeometry();
    EXPECT_TRUE(area.contains(window.frameGeometry()));
    EXPECT_LE(window.pdolist()->columnWidth(5), area.width());

    TWin_ConfigPDOAnalysis page;
    EXPECT_TRUE(page.ApplySettings());
}

}  // namespace
}  // namespace ostrel::vessolt::test
