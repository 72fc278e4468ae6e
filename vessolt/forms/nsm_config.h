#pragma once
// "Norbix Support Module Configuration": the six-page wizard that brings the support module to the
// network's bit rate and a chosen node id. The steps run on worker threads (TNSMWizard) that report
// back with blocking queued calls.
#include <QDialog>

#include <memory>

#include "nsm/nsm_wizard.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;

namespace ostrel::vessolt {

class TWin_NSMConfig : public QDialog {
    Q_OBJECT
public:
    // links.send is set here; the rest comes from the caller.
    explicit TWin_NSMConfig(NSMWizardLinks links, QWidget* parent = nullptr);
    ~TWin_NSMConfig() override;

    // First page, LED item 0, shown modally.
    int Execute();
    // Shows the first page without running a modal loop (what Execute does before exec).
    void Prepare();

    void nextClick();
    void backClick();
    void cancelClick();

    [[nodiscard]] TNSMWizard& wizard() { return *wizard_; }
    [[nodiscard]] QStackedWidget* pages() const { return pages_; }
    [[nodiscard]] QComboBox* ledpattern() const { return ledpattern_; }
    [[nodiscard]] QLineEdit* currnodeid() const { return currnodeid_; }
    [[nodiscard]] QLineEdit* newnodeid() const { return newnodeid_; }
    [[nodiscard]] QPushButton* back() const { return back_; }
    [[nodiscard]] QPushButton* next() const { return next_; }
    [[nodiscard]] QPushButton* cancel() const { return cancel_; }

public slots:
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void onMessage(uint32_t message);
    void sync();

    std::unique_ptr<TNSMWizard> wizard_;
    QStackedWidget* pages_ = nullptr;
    QComboBox* ledpattern_ = nullptr;
    QLineEdit* currnodeid_ = nullptr;
    QLineEdit* newnodeid_ = nullptr;
    QPushButton* back_ = nullptr;
    QPushButton* next_ = nullptr;
    QPushButton* cancel_ = nullptr;
};

} // namespace ostrel::vessolt
