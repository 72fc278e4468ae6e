#pragma once
// The settings pages of the five timing tests: one page design, laid out from a per-test table.
// A page keeps nothing between openings of the test configuration dialog: it fills its controls
// from its test's record and hands a new record back on OK. The checks themselves live in
// TimingSettingsCheck; the page only reads its controls and shows the verdict.
#include <array>
#include <functional>
#include <memory>

#include "config_form.h"
#include "timing_config.h"
#include "timing_settings_check.h"
#include "timing_variant.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QTabWidget;

namespace ostrel::vessolt {

class TDeviceSummary;
class TExpressions;
class TWin_ConfigRPDO;
class TimingTestEngine;
class UserPrompt;

// Opens the expressions quick reference; `caller` is the window to centre it on (the test
// configuration dialog that shows the page).
using QuickReferenceLink = std::function<void(QWidget* caller)>;

class TWin_ConfigTiming : public TConfigForm {
    Q_OBJECT
public:
    bool ApplySettings() override;
    void CancelSettings() override {}
    void LoadSettings() override;
    void SetDefaults() override;

    [[nodiscard]] TimingTestKind Kind() const { return check_.Kind(); }

protected:
    // `rpdoDialog` is null on the pages without RPDO frames.
    TWin_ConfigTiming(TimingTestKind kind, TimingTestEngine& engine, UserPrompt& prompt,
                      const TExpressions& expressions, const TDeviceSummary& summary,
                      TWin_ConfigRPDO* rpdoDialog, QuickReferenceLink quickReference, QWidget* parent);

private:
    using FrameSet = std::array<RPDOFrame, kTimingMaxPdos>;

    QWidget* buildGeneralTab();
    QWidget* buildManualTab();
    QWidget* buildLimitsTab();
    QWidget* buildFrameRows(int set);
    QLabel* makeQuickReferenceLink(const char* name);
    void connectEnables();

    void LoadFromRecord(const TimingTestConfig& r);
    void UpdateManualControls();
    void UpdateAlarmControls();
    void UpdateLimitControls();
    void ShowRPDOData(int set, int row);
    void editFrame(int set, int row);
    [[nodiscard]] TimingSettingsTexts readControls() const;
    void warn(const std::string& text);

    const TimingVariant& variant_;
    TimingTestEngine& engine_;
    UserPrompt& prompt_;
    const TDeviceSummary& summary_;
    TWin_ConfigRPDO* rpdoDialog_;
    QuickReferenceLink quickReference_;
    TimingSettingsCheck check_;
    int frameSets_ = 0;  // 0, 1 (rpdo) or 2 (phase 1 and phase 2)

    // The frames as the edit buttons left them; applied whole on OK.
    std::array<FrameSet, 2> frames_{};
    std::array<std::array<QLineEdit*, kTimingMaxPdos>, 2> frameEdits_{};

    QTabWidget* tabs_ = nullptr;
    QLineEdit* syncid_ = nullptr;
    QComboBox* transtype_ = nullptr;
    QCheckBox* generateerrorcontrol_ = nullptr;
    QCheckBox* generatesdo_ = nullptr;
    QCheckBox* generatepdo_ = nullptr;
    QCheckBox* generatesync_ = nullptr;

    QCheckBox* manual_enable_ = nullptr;
    QGroupBox* cyclesbox_ = nullptr;
    QLabel* cycles_label_ = nullptr;
    QPlainTextEdit* cycles_ = nullptr;
    QCheckBox* alarm_enable_ = nullptr;
    QLabel* alarm_operation_label_ = nullptr;
    QComboBox* alarm_operation_ = nullptr;
    QLabel* alarm_expression_label_ = nullptr;
    QLineEdit* alarm_expression_ = nullptr;
    QLabel* expressionquickref_ = nullptr;

    QCheckBox* limit_enable_ = nullptr;
    QGroupBox* limit_rangebox_ = nullptr;
    std::array<QLabel*, 4> limitLabels_{};
    QLineEdit* limit_upperlimit_ = nullptr;
    QLineEdit* limit_lowerlimit_ = nullptr;
    QGroupBox* limit_expressionbox_ = nullptr;
    QLabel* limit_expression_label_ = nullptr;
    QLineEdit* limit_expression_ = nullptr;
    QLabel* limit_expressionquickref_ = nullptr;
};

class TWin_ConfigTPDOSync : public TWin_ConfigTiming {
    Q_OBJECT
public:
    TWin_ConfigTPDOSync(TimingTestEngine& engine, UserPrompt& prompt, const TExpressions& expressions,
                        const TDeviceSummary& summary, QuickReferenceLink quickReference,
                        QWidget* parent = nullptr);
};

class TWin_ConfigTPDOEvent : public TWin_ConfigTiming {
    Q_OBJECT
public:
    TWin_ConfigTPDOEvent(TimingTestEngine& engine, UserPrompt& prompt, const TExpressions& expressions,
                         const TDeviceSummary& summary, QuickReferenceLink quickReference,
                         QWidget* parent = nullptr);
};

class TWin_ConfigTPDOSyncRPDOs : public TWin_ConfigTiming {
    Q_OBJECT
public:
    TWin_ConfigTPDOSyncRPDOs(TimingTestEngine& engine, UserPrompt& prompt, const TExpressions& expressions,
                             const TDeviceSummary& summary, TWin_ConfigRPDO& rpdoDialog,
                             QuickReferenceLink quickReference, QWidget* parent = nullptr);
};

class TWin_ConfigTPDOEventRPDOs : public TWin_ConfigTiming {
    Q_OBJECT
public:
    TWin_ConfigTPDOEventRPDOs(TimingTestEngine& engine, UserPrompt& prompt, const TExpressions& expressions,
                              const TDeviceSummary& summary, TWin_ConfigRPDO& rpdoDialog,
                              QuickReferenceLink quickReference, QWidget* parent = nullptr);
};

class TWin_ConfigPDOTurnaround : public TWin_ConfigTiming {
    Q_OBJECT
public:
    TWin_ConfigPDOTurnaround(TimingTestEngine& engine, UserPrompt& prompt, const TExpressions& expressions,
                             const TDeviceSummary& summary, TWin_ConfigRPDO& rpdoDialog,
                             QuickReferenceLink quickReference, QWidget* parent = nullptr);
};

// The page of the test `kind`; the pages without frames leave the dialog alone.
[[nodiscard]] std::unique_ptr<TWin_ConfigTiming> MakeTimingPage(TimingTestKind kind, TimingTestEngine& engine,
                                                                UserPrompt& prompt, const TExpressions& expressions,
                                                                const TDeviceSummary& summary,
                                                                TWin_ConfigRPDO& rpdoDialog,
                                                                QuickReferenceLink quickReference);

} // namespace ostrel::vessolt
