// The object dictionary scan window offscreen: a real scan fills it, the status follows the
// manager, geometry and column widths survive a restart, a description load renames every row.
#include <QApplication>
#include <QColor>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QScrollBar>
#include <QProgressBar>
#include <QPushButton>
#include <QStyleOptionHeader>
#include <QTableView>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include <platform/registry.h>

#include "../core/temp_folder.h"
#include "config_odscan.h"
#include "od_scan_fixture.h"
#include "od_scan_model.h"
#include "win_odscan.h"
#include "services/product_key.h"
#include "services/window_messages.h"

namespace ostrel::vessolt::test {
namespace {

class ODScanWindowTest : public ODScanFixture {
protected:
    void settle() {
        for (int i = 0; i < 20; ++i) {
            QApplication::processEvents();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    void runFromWindow(TWin_ODScan& window) {
        window.runtest->click();
        // The run state changes on the worker; the GUI thread keeps handling the posted messages.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        do {
            QApplication::processEvents();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        } while (manager.GetRunState() != 0 && std::chrono::steady_clock::now() < deadline);
        manager.WaitForTestThread();
        settle();
    }
    TempRegistry registry;
};

TEST_F(ODScanWindowTest, ShowsAScanAsTheUserSeesIt) {
    addDevice();
    open();
    auto window = std::make_unique<TWin_ODScan>(scan, manager);
    window->show();
    EXPECT_EQ(window->label->text(), "Not started");
    EXPECT_EQ(window->windowTitle(), "Object Dictionary Scan");

    runFromWindow(*window);
    EXPECT_TRUE(window->configtest->isEnabled());
    EXPECT_EQ(window->label->text(), "Passed");
    EXPECT_EQ(window->label->palette().color(QPalette::WindowText), QColor(0, 0x80, 0));
    EXPECT_EQ(window->progressbar->value(), 100);
    const TODScanModel& model = window->model();
    ASSERT_EQ(model.rowCount(), 158);
    EXPECT_EQ(model.cellText(0, 0), "0x1000");
    EXPECT_EQ(model.cellText(0, 2), "Device Type");
    EXPECT_EQ(model.cellText(0, 3), "UNSIGNED32");
    EXPECT_EQ(model.cellText(0, 6), "000F0191");
    EXPECT_FALSE(model.cellText(0, 5).isEmpty());
    EXPECT_EQ(model.headerData(4, Qt::Horizontal, Qt::DisplayRole).toString(), "Size (bytes)");
    EXPECT_EQ(model.headerData(4, Qt::Horizontal, Qt::ToolTipRole).toString(), "Size (bytes)");
    // A title in a column narrowed to 40 pixels is drawn as the plain style draws it cut with "…".
    const QHeaderView* header = window->odlist()->horizontalHeader();
    QStyleOptionHeader option;
    option.initFrom(header);
    option.rect = QRect(0, 0, 40, 20);
    const auto drawn = [&](const QStyle* style, const QString& text) {
        QImage image(option.rect.size(), QImage::Format_ARGB32);
        image.fill(Qt::white);
        option.text = text;
        QPainter painter(&image);
        style->drawControl(QStyle::CE_HeaderLabel, &option, &painter, header);
        return image.copy();
    };
    const QString cut = option.fontMetrics.elidedText("Size (bytes)", Qt::ElideRight, option.rect.width());
    EXPECT_EQ(drawn(header->style(), "Size (bytes)"), drawn(QApplication::style(), cut));
    EXPECT_EQ(model.headerData(9, Qt::Horizontal, Qt::DisplayRole).toString(), "");
    EXPECT_TRUE(window->odlist()->horizontalHeader()->stretchLastSection());
    // A window wide enough for every text needs no sideways scrolling, and cuts a text only while the
    // last column has no more than its least width.
    window->resize(1000, 400);
    settle();
    EXPECT_EQ(window->odlist()->horizontalScrollBar()->maximum(), 0);
    const QTableView& list = *window->odlist();
    const int last = model.columnCount() - 1;
    int narrow = 0;
    for (int column = 0; column < last; ++column)
        narrow += list.columnWidth(column) < TTestWindow::FitColumnWidth(list, column) ? 1 : 0;
    // (each column's share is rounded down: a pixel each may be left over)
    const int leastLast = std::max(header->sectionSizeHint(last), header->defaultSectionSize()) + last;
    EXPECT_TRUE(narrow == 0 || header->sectionSize(last) <= leastLast) << narrow << " cut";

    window->odlist()->scrollTo(model.index(30, 0));
    settle();
    // Painted whole; kept as a picture only when asked for.
    const QPixmap picture = window->grab();
    if (const char* png = std::getenv("ODSCAN_GRAB"))
        picture.save(png);

    // A new network description renames every row at once.
    namePrefix = "Loaded ";
    window->SymbolsLoaded();
    settle();
    for (int row = 0; row < model.rowCount(); ++row)
        ASSERT_TRUE(model.cellText(row, 2).startsWith("Loaded ")) << row;
}

TEST_F(ODScanWindowTest, GeometryAndColumnsSurviveARestartAndEdgesSizeColumns) {
    {
        // Stored by hand larger and farther than any screen: the window and its columns come back on it.
        auto key = platform::RegistryKey::create(platform::RegistryRoot::CurrentUser,
                                                 std::string(kProductKey) + "\\" + TODScan::kName);
        for (const char* name : {"left", "width", "colwidth2"})
            key->writeInteger(name, 100000);
        ASSERT_TRUE(key->flush());
        TWin_ODScan window(scan, manager);
        window.show();
        settle();
        const QRect area = window.screen()->availableGeometry();
        EXPECT_TRUE(area.contains(window.frameGeometry()));
        EXPECT_LE(window.odlist()->columnWidth(2), area.width());
    }
    {
        TWin_ODScan window(scan, manager);
        window.show();
        settle();
        window.setGeometry(40, 50, 700, 380);
        window.odlist()->setColumnWidth(2, 222);
        settle();
    }
    TWin_ODScan window(scan, manager);
    window.show();
    settle();
    EXPECT_EQ(window.geometry(), QRect(40, 50, 700, 380));
    EXPECT_EQ(window.odlist()->columnWidth(2), 222);

    // Column edges: within 4 pixels left of a column sizes the one before it; only columns 0-7.
    const QTableView& grid = *window.odlist();
    const int left2 = grid.horizontalHeader()->sectionViewportPosition(2);
    EXPECT_EQ(TTestWindow::ColumnAtEdge(grid, left2 + 2, 7), 1);
    EXPECT_EQ(TTestWindow::ColumnAtEdge(grid, left2 + 222 - 2, 7), 2);
    EXPECT_EQ(TTestWindow::ColumnAtEdge(grid, left2 + 100, 7), -1);
    const int left9 = grid.horizontalHeader()->sectionViewportPosition(9);
    EXPECT_EQ(TTestWindow::ColumnAtEdge(grid, left9 + 2, 7), -1);  // that would be column 8
    EXPECT_EQ(TTestWindow::FitColumnWidth(grid, 0), grid.fontMetrics().horizontalAdvance("... "));

    // Runs elsewhere switch "Configure Test" off and on.
    window.configtest->setEnabled(true);
    QApplication::postEvent(&window, new ServiceEvent(WM_TESTRUNSTATE, 1, 0));
    settle();
    EXPECT_FALSE(window.configtest->isEnabled());
    QApplication::postEvent(&window, new ServiceEvent(WM_TESTRUNSTATE, 0, 0));
    settle();
    EXPECT_TRUE(window.configtest->isEnabled());

    TWin_ConfigODScan page;
    EXPECT_TRUE(page.ApplySettings());
}

}  // namespace
}  // namespace ostrel::vessolt::test
