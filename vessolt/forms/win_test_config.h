#pragma once
// The test configuration dialog: the global page and every test's settings page in one window, one
// visible at a time; OK, Cancel and the defaults act on all of them.
#include <QDialog>
#include <vector>

#include "testing/config_page.h"
#include "testing/test_manager.h"

class QComboBox;
class QWidget;

namespace ostrel::vessolt {

class TWin_TestConfig : public QDialog {
    Q_OBJECT
public:
    static constexpr int kMaxPages = 100;

    // `globalPage` is the "Global Configuration" page (a widget); pages belong to their owners and
    // outlive the dialog. Installs itself as the manager's configure-test handler.
    TWin_TestConfig(TTestManager& manager, IConfigPage* globalPage, QWidget* parent = nullptr);
    ~TWin_TestConfig() override;

    void ShowAll(QWidget* caller);
    void ShowForTest(int32_t testid, QWidget* caller);

    [[nodiscard]] int selectedPage() const { return selectedPage_; }
    [[nodiscard]] int pageCount() const { return static_cast<int>(pages_.size()); }

protected:
    void showEvent(QShowEvent* event) override;
    void done(int result) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildPageList();
    void ShowPage(int i);
    void HidePage();
    void okClick();
    void cancelClick();
    void defaultsClick();
    void centreOn(QWidget* caller);
    void releasePages();
    void saveSize();

    TTestManager& manager_;
    IConfigPage* globalPage_;
    QComboBox* testlist_ = nullptr;
    QWidget* mainbox_ = nullptr;
    int selectedPage_ = -1;
    std::vector<IConfigPage*> pages_;
    int startPage_ = -1;
    // The pages were loaded for this showing: loading them twice would show their notes twice.
    bool pagesLoaded_ = false;
};

} // namespace ostrel::vessolt
