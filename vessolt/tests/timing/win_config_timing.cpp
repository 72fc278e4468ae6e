#include "win_config_timing.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include "services/device_summary.h"
#include "timing_engine.h"
#include "services/user_prompt.h"
#include "win_config_rpdo.h"

namespace ostrel::vessolt {

namespace {

// What the pages show differently; the rest comes from the test's variant.
struct PageTraits {
    TimingTestKind kind;
    int frameSets;
    const char* cyclesBox;
    const char* cyclesLabel;
    const char* cyclesHint;
    const char* rangeBox;
    const char* frameHint;
};

constexpr const char* kSyncHint = "Enter the sync periods to test in ms, one per line";
constexpr const char* kEventHint = "Enter the event times to test in ms, one per line";
constexpr const char* kFrameHint = "Description of the RPDO configuration";

constexpr PageTraits kPages[] = {
    {TimingTestKind::TPDOSync, 0, " Sync Periods ", "Sync Periods to Test (ms):", kSyncHint,
     " Sync Period Test Range ", kFrameHint},
    {TimingTestKind::TPDOSyncRPDOs, 1, " Sync Periods ", "Sync Periods to Test (ms):", kSyncHint,
     " Sync Period Test Range ", kFrameHint},
    {TimingTestKind::TPDOEvent, 0, " Event Times ", "Event Times to Test (ms):", kEventHint,
     " Event Times Test Range ", kFrameHint},
    {TimingTestKind::TPDOEventRPDOs, 1, " Event Times ", "Event Times to Test (ms):", kEventHint,
     " Event Times Test Range ", "Description of RPDO configuration"},
    {TimingTestKind::PDOTurnaround, 2, " RPDO Times ", "RPDO Times to Test (ms):", kEventHint,
     " RPDO Times Test Range ", kFrameHint},
};

const PageTraits& traitsOf(TimingTestKind kind) {
    for (const PageTraits& t : kPages)
        if (t.kind == kind)
            return t;
    return kPages[0];
}

constexpr const char* kRowLabels[kTimingMaxPdos] = {
    "1st Enabled RPDO:", "2nd Enabled RPDO:", "3rd Enabled RPDO:", "4th Enabled RPDO:",
    "5th Enabled RPDO:", "6th Enabled RPDO:", "7th Enabled RPDO:", "8th Enabled RPDO:"};

constexpr const char* kQuickReferenceHint = "Click to view the quick reference help for expressions";
constexpr const char* kTrafficHint = "Click to generate background traffic according to CiA TR-308";

// A label drawn as a link that reports a click; a disabled label gets no mouse events.
class LinkLabel : public QLabel {
public:
    LinkLabel(const QString& text, std::function<void()> onClick, QWidget* parent)
        : QLabel(text, parent), onClick_(std::move(onClick)) {
        QFont f = font();
        f.setUnderline(true);
        setFont(f);
        setCursor(Qt::PointingHandCursor);
        QPalette p = palette();
        p.setColor(QPalette::Active, QPalette::WindowText, QColor(0, 0, 255));
        p.setColor(QPalette::Inactive, QPalette::WindowText, QColor(0, 0, 255));
        setPalette(p);
    }

protected:
    void mouseReleaseEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) && onClick_)
            onClick_();
        QLabel::mouseReleaseEvent(event);
    }

private:
    std::function<void()> onClick_;
};

template <typename W>
W* named(W* widget, const char* name) {
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

QLabel* label(const char* text, QWidget* parent, const char* name = nullptr) {
    auto* l = new QLabel(QString::fromUtf8(text), parent);
    if (name)
        l->setObjectName(QString::fromLatin1(name));
    return l;
}

QCheckBox* checkBox(const char* name, const char* text, const char* hint, QWidget* parent) {
    auto* box = named(new QCheckBox(QString::fromUtf8(text), parent), name);
    box->setToolTip(QString::fromUtf8(hint));
    return box;
}

QLineEdit* lineEdit(const char* name, const char* hint, int maxLength, QWidget* parent) {
    auto* edit = named(new QLineEdit(parent), name);
    edit->setToolTip(QString::fromUtf8(hint));
    if (maxLength > 0)
        edit->setMaxLength(maxLength);
    return edit;
}

} // namespace

TWin_ConfigTiming::TWin_ConfigTiming(TimingTestKind kind, TimingTestEngine& engine, UserPrompt& prompt,
                                     const TExpressions& expressions, const TDeviceSummary& summary,
                                     TWin_ConfigRPDO* rpdoDialog, QuickReferenceLink quickReference,
                                     QWidget* parent)
    : TConfigForm(parent), variant_(timingVariant(kind)), engine_(engine), prompt_(prompt), summary_(summary),
      rpdoDialog_(rpdoDialog), quickReference_(std::move(quickReference)), check_(kind, expressions),
      frameSets_(rpdoDialog ? traitsOf(kind).frameSets : 0) {
    setObjectName(QStringLiteral("Win_Config") + QString::fromLatin1(variant_.displayName).remove(' ').remove('+'));
    // Before the first fill the rows describe a full frame of 0xFF.
    for (FrameSet& set : frames_)
        for (RPDOFrame& f : set) {
            f.dlc = 8;
            std::fill(std::begin(f.data), std::end(f.data), uint8_t{0xFF});
        }

    tabs_ = named(new QTabWidget(this), "tabs");
    tabs_->addTab(buildGeneralTab(), QStringLiteral("General"));
    tabs_->addTab(buildManualTab(), QStringLiteral("Manual Test"));
    tabs_->addTab(buildLimitsTab(), QStringLiteral("Automatic Limits Test"));
    tabs_->setCurrentIndex(0);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(tabs_);

    connectEnables();
    UpdateManualControls();
    UpdateLimitControls();
}

QWidget* TWin_ConfigTiming::buildGeneralTab() {
    auto* tab = new QWidget(this);
    auto* layout = new QVBoxLayout(tab);

    if (variant_.hasSync) {
        auto* group = new QGroupBox(QStringLiteral(" Sync Message "), tab);
        auto* row = new QHBoxLayout(group);
        row->addWidget(label("Sync Message ID: 0x", group));
        syncid_ = lineEdit("syncid", "Enter the ID of the Sync message in hexadecimal", 8, group);
        row->addWidget(syncid_);
        row->addStretch(1);
        layout->addWidget(group);
    } else {
        auto* group = new QGroupBox(QStringLiteral(" TPDO Transmission Type "), tab);
        auto* row = new QHBoxLayout(group);
        transtype_ = named(new QComboBox(group), "transtype");
        transtype_->setToolTip(QStringLiteral("Choose the TPDO transmission type, which is set after writing a DCF"));
        transtype_->addItem(QStringLiteral("Don't change"), 0);
        transtype_->addItem(QStringLiteral("Use manufacturer specific (254)"), 254);
        transtype_->addItem(QStringLiteral("Use device profile (255)"), 255);
        transtype_->setCurrentIndex(-1);
        row->addWidget(transtype_);
        row->addStretch(1);
        layout->addWidget(group);
    }

    if (frameSets_ == 1) {
        auto* group = new QGroupBox(QStringLiteral(" RPDOs "), tab);
        auto* inner = new QVBoxLayout(group);
        inner->addWidget(buildFrameRows(0));
        layout->addWidget(group);
    } else if (frameSets_ == 2) {
        auto* group = new QGroupBox(QStringLiteral(" RPDOs "), tab);
        auto* inner = new QVBoxLayout(group);
        auto* phases = new QTabWidget(group);
        phases->addTab(buildFrameRows(0), QStringLiteral("Phase 1"));
        phases->addTab(buildFrameRows(1), QStringLiteral("Phase 2"));
        inner->addWidget(phases);
        layout->addWidget(group);
    }

    auto* traffic = new QGroupBox(QStringLiteral(" CiA TR-308 Performance Test "), tab);
    auto* boxes = new QVBoxLayout(traffic);
    generateerrorcontrol_ = checkBox("generateerrorcontrol", "Generate Error Control Traffic", kTrafficHint, traffic);
    generatesdo_ = checkBox("generatesdo", "Generate SDO Traffic", kTrafficHint, traffic);
    generatepdo_ = checkBox("generatepdo", "Generate PDO Traffic", kTrafficHint, traffic);
    generatesync_ = checkBox("generatesync", "Generate SYNC Traffic", kTrafficHint, traffic);
    for (QCheckBox* box : {generateerrorcontrol_, generatesdo_, generatepdo_, generatesync_})
        boxes->addWidget(box);
    auto* caution = label("Only enable if node conforms to limitations described in the manual", traffic);
    QFont bold = caution->font();
    bold.setBold(true);
    caution->setFont(bold);
    caution->setStyleSheet(QStringLiteral("color: #800000;"));
    caution->setWordWrap(true);
    boxes->addWidget(caution);
    layout->addWidget(traffic);
    layout->addStretch(1);
    return tab;
}

QWidget* TWin_ConfigTiming::buildFrameRows(int set) {
    const bool turnaround = frameSets_ == 2;
    auto* rows = new QWidget(this);
    auto* grid = new QGridLayout(rows);
    // On a phase tab the rows keep clear of the tab's frame.
    if (turnaround)
        grid->setContentsMargins(6, 6, 6, 6);
    else
        grid->setContentsMargins(0, 0, 0, 0);
    const QString editPrefix = turnaround ? (set == 0 ? QStringLiteral("phase1rpdo") : QStringLiteral("phase2rpdo"))
                                          : QStringLiteral("rpdo");
    const QString buttonPrefix = set == 1 ? QStringLiteral("phase2editrpdo") : QStringLiteral("editrpdo");
    const QString labelPrefix = set == 1 ? QStringLiteral("phase2labelrpdo") : QStringLiteral("labelrpdo");
    for (int i = 0; i < kTimingMaxPdos; ++i) {
        auto* rowLabel = label(kRowLabels[i], rows);
        if (turnaround)
            rowLabel->setObjectName(labelPrefix + QString::number(i));
        auto* edit = new QLineEdit(rows);
        edit->setObjectName(editPrefix + QString::number(i));
        edit->setReadOnly(true);
        edit->setToolTip(QString::fromUtf8(traitsOf(variant_.kind).frameHint));
        QPalette p = edit->palette();
        p.setColor(QPalette::Base, p.color(QPalette::Button));
        edit->setPalette(p);
        auto* button = new QPushButton(QStringLiteral("Edit..."), rows);
        button->setObjectName(buttonPrefix + QString::number(i));
        button->setToolTip(QStringLiteral("Click to edit the RPDO"));
        connect(button, &QPushButton::clicked, this, [this, set, i] { editFrame(set, i); });
        grid->addWidget(rowLabel, i, 0);
        grid->addWidget(edit, i, 1);
        grid->addWidget(button, i, 2);
        frameEdits_[static_cast<size_t>(set)][static_cast<size_t>(i)] = edit;
        ShowRPDOData(set, i);
    }
    grid->setColumnStretch(1, 1);
    return rows;
}

QLabel* TWin_ConfigTiming::makeQuickReferenceLink(const char* name) {
    auto* link = new LinkLabel(QStringLiteral("View the expression Quick Reference"),
                               [this] {
                                   if (quickReference_)
                                       quickReference_(window());
                               },
                               this);
    link->setObjectName(QString::fromLatin1(name));
    link->setToolTip(QString::fromUtf8(kQuickReferenceHint));
    return link;
}

QWidget* TWin_ConfigTiming::buildManualTab() {
    const PageTraits& traits = traitsOf(variant_.kind);
    auto* tab = new QWidget(this);
    auto* layout = new QVBoxLayout(tab);
    manual_enable_ = checkBox("manual_enable", "Enable Manual Test",
                              "Check to enable the manual test, uncheck to disable", tab);
    layout->addWidget(manual_enable_);

    cyclesbox_ = named(new QGroupBox(QString::fromUtf8(traits.cyclesBox), tab), "cyclesbox");
    auto* cyclesLayout = new QVBoxLayout(cyclesbox_);
    cycles_label_ = label(traits.cyclesLabel, cyclesbox_, "cycles_label");
    cycles_ = named(new QPlainTextEdit(cyclesbox_), "cycles");
    cycles_->setLineWrapMode(QPlainTextEdit::NoWrap);
    cycles_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    cycles_->setToolTip(QString::fromUtf8(traits.cyclesHint));
    cyclesLayout->addWidget(cycles_label_);
    cyclesLayout->addWidget(cycles_);
    layout->addWidget(cyclesbox_, 1);

    auto* alarm = new QGroupBox(QStringLiteral(" Alarm "), tab);
    auto* alarmLayout = new QGridLayout(alarm);
    alarm_enable_ = checkBox("alarm_enable", "Enable alarm", "Check to enable the alarm, uncheck to disable", alarm);
    alarm_operation_label_ = label("When the alarm expression is true, ", alarm, "alarm_operation_label");
    alarm_operation_ = named(new QComboBox(alarm), "alarm_operation");
    alarm_operation_->setToolTip(QStringLiteral("Select what will happen when the alarm is triggered"));
    alarm_operation_->addItem(QStringLiteral("generate a warning"), 0);
    alarm_operation_->addItem(QStringLiteral("generate an error (stops test)"), 1);
    alarm_operation_->addItem(QStringLiteral("cancel the test"), 2);
    alarm_operation_->setCurrentIndex(0);
    alarm_expression_label_ = label("Alarm Expression:", alarm, "alarm_expression_label");
    alarm_expression_ = lineEdit("alarm_expression",
                                 "Enter the expression to test at the end of every cycle. When true the alarm "
                                 "will be triggered.",
                                 0, alarm);
    expressionquickref_ = makeQuickReferenceLink("expressionquickref");
    alarmLayout->addWidget(alarm_enable_, 0, 0, 1, 2);
    alarmLayout->addWidget(alarm_operation_label_, 1, 0);
    alarmLayout->addWidget(alarm_operation_, 1, 1);
    alarmLayout->addWidget(alarm_expression_label_, 2, 0, 1, 2);
    alarmLayout->addWidget(alarm_expression_, 3, 0, 1, 2);
    alarmLayout->addWidget(expressionquickref_, 4, 0, 1, 2);
    layout->addWidget(alarm);
    return tab;
}

QWidget* TWin_ConfigTiming::buildLimitsTab() {
    const PageTraits& traits = traitsOf(variant_.kind);
    auto* tab = new QWidget(this);
    auto* layout = new QVBoxLayout(tab);
    limit_enable_ = checkBox("limit_enable", "Enable Automatic Limits Test",
                             "Check to enable the limits test, uncheck to disable", tab);
    layout->addWidget(limit_enable_);

    limit_rangebox_ = named(new QGroupBox(QString::fromUtf8(traits.rangeBox), tab), "limit_rangebox");
    auto* range = new QGridLayout(limit_rangebox_);
    limitLabels_ = {label("Upper Limit:", limit_rangebox_, "limit_upperlimit_label1"),
                    label("ms", limit_rangebox_, "limit_upperlimit_label2"),
                    label("Lower Limit:", limit_rangebox_, "limit_lowerlimit_label1"),
                    label("ms", limit_rangebox_, "limit_lowerlimit_label2")};
    limit_upperlimit_ = lineEdit("limit_upperlimit", "Enter the upper limit of the test range in milliseconds", 6,
                                 limit_rangebox_);
    limit_lowerlimit_ = lineEdit("limit_lowerlimit", "Enter the lower limit of the test range in milliseconds", 6,
                                 limit_rangebox_);
    range->addWidget(limitLabels_[0], 0, 0);
    range->addWidget(limit_upperlimit_, 0, 1);
    range->addWidget(limitLabels_[1], 0, 2);
    range->addWidget(limitLabels_[2], 1, 0);
    range->addWidget(limit_lowerlimit_, 1, 1);
    range->addWidget(limitLabels_[3], 1, 2);
    range->setColumnStretch(3, 1);
    layout->addWidget(limit_rangebox_);

    limit_expressionbox_ = named(new QGroupBox(QStringLiteral(" Test Expression "), tab), "limit_expressionbox");
    auto* expression = new QVBoxLayout(limit_expressionbox_);
    limit_expression_label_ = label("Expression:", limit_expressionbox_, "limit_expression_label");
    limit_expression_ = lineEdit("limit_expression", "Enter the expression to test for", 0, limit_expressionbox_);
    limit_expressionquickref_ = makeQuickReferenceLink("limit_expressionquickref");
    expression->addWidget(limit_expression_label_);
    expression->addWidget(limit_expression_);
    expression->addWidget(limit_expressionquickref_);
    layout->addWidget(limit_expressionbox_);
    layout->addStretch(1);
    return tab;
}

void TWin_ConfigTiming::connectEnables() {
    connect(manual_enable_, &QCheckBox::clicked, this, [this] { UpdateManualControls(); });
    connect(alarm_enable_, &QCheckBox::clicked, this, [this] { UpdateAlarmControls(); });
    connect(limit_enable_, &QCheckBox::clicked, this, [this] { UpdateLimitControls(); });
}

void TWin_ConfigTiming::UpdateManualControls() {
    const bool on = manual_enable_->isChecked();
    for (QWidget* w : {static_cast<QWidget*>(cyclesbox_), static_cast<QWidget*>(cycles_),
                       static_cast<QWidget*>(cycles_label_), static_cast<QWidget*>(alarm_enable_)})
        w->setEnabled(on);
    UpdateAlarmControls();
}

void TWin_ConfigTiming::UpdateAlarmControls() {
    const bool on = alarm_enable_->isChecked() && alarm_enable_->isEnabled();
    for (QWidget* w : {static_cast<QWidget*>(alarm_operation_), static_cast<QWidget*>(alarm_operation_label_),
                       static_cast<QWidget*>(alarm_expression_), static_cast<QWidget*>(alarm_expression_label_),
                       static_cast<QWidget*>(expressionquickref_)})
        w->setEnabled(on);
}

void TWin_ConfigTiming::UpdateLimitControls() {
    const bool on = limit_enable_->isChecked();
    for (QWidget* w : {static_cast<QWidget*>(limit_rangebox_), static_cast<QWidget*>(limit_upperlimit_),
                       static_cast<QWidget*>(limit_lowerlimit_), static_cast<QWidget*>(limit_expressionbox_),
                       static_cast<QWidget*>(limit_expression_label_), static_cast<QWidget*>(limit_expression_),
                       static_cast<QWidget*>(limit_expressionquickref_)})
        w->setEnabled(on);
    for (QLabel* l : limitLabels_)
        l->setEnabled(on);
}

void TWin_ConfigTiming::ShowRPDOData(int set, int row) {
    QLineEdit* edit = frameEdits_[static_cast<size_t>(set)][static_cast<size_t>(row)];
    if (edit)
        edit->setText(QString::fromStdString(describeRPDOFrame(frames_[static_cast<size_t>(set)][static_cast<size_t>(row)])));
}

void TWin_ConfigTiming::editFrame(int set, int row) {
    if (!rpdoDialog_)
        return;
    RPDOFrame& frame = frames_[static_cast<size_t>(set)][static_cast<size_t>(row)];
    (void)rpdoDialog_->Execute(frame.dlc, frame.data, window());
    ShowRPDOData(set, row);
}

void TWin_ConfigTiming::LoadFromRecord(const TimingTestConfig& r) {
    if (syncid_) {
        const uint32_t id = r.syncid;
        syncid_->setText(id <= 0x7FF ? QStringLiteral("%1").arg(id, 3, 16, QLatin1Char('0')).toUpper()
                                     : QStringLiteral("%1").arg(id, 8, 16, QLatin1Char('0')).toUpper());
    }

    QStringList lines;
    const int count = std::clamp(r.manualtestcycles, 0, kTimingMaxCycles);
    for (int i = 0; i < count; ++i)
        lines << QString::number(r.manualtime[static_cast<size_t>(i)]);
    cycles_->setPlainText(lines.join(QLatin1Char('\n')));
    manual_enable_->setChecked(r.manual_enable != 0);

    if (frameSets_ >= 1) {
        frames_[0] = frameSets_ == 2 ? r.phase1rpdo : r.rpdo;
        if (frameSets_ == 2)
            frames_[1] = r.phase2rpdo;
        for (int set = 0; set < frameSets_; ++set)
            for (int i = 0; i < kTimingMaxPdos; ++i)
                ShowRPDOData(set, i);
    }

    alarm_enable_->setChecked(r.alarm_enable != 0);
    // An operation the list does not carry falls back to the first item.
    alarm_operation_->setCurrentIndex(r.alarm_operation >= 0 && r.alarm_operation <= 2 ? r.alarm_operation : 0);
    alarm_expression_->setText(QString::fromUtf8(r.alarm_expression));

    if (transtype_) {
        transtype_->setCurrentIndex(0);
        const int found = transtype_->findData(static_cast<int>(r.tpdotransmissiontype));
        if (found >= 0)
            transtype_->setCurrentIndex(found);
    }

    generateerrorcontrol_->setChecked((r.ciatr308options & 0x01u) != 0);
    generatesdo_->setChecked((r.ciatr308options & 0x02u) != 0);
    generatepdo_->setChecked((r.ciatr308options & 0x04u) != 0);
    generatesync_->setChecked((r.ciatr308options & 0x08u) != 0);

    limit_enable_->setChecked(r.limit_enable != 0);
    limit_upperlimit_->setText(QString::number(r.limit_upperlimit));
    limit_lowerlimit_->setText(QString::number(r.limit_lowerlimit));
    limit_expression_->setText(QString::fromUtf8(r.limit_expression));

    UpdateManualControls();
    UpdateLimitControls();
}

void TWin_ConfigTiming::LoadSettings() {
    TimingTestConfig r;
    engine_.GetConfig(r);
    LoadFromRecord(r);
}

void TWin_ConfigTiming::SetDefaults() {
    TimingTestConfig r;
    engine_.GetDefaultConfig(r);
    LoadFromRecord(r);
}

TimingSettingsTexts TWin_ConfigTiming::readControls() const {
    TimingSettingsTexts t;
    if (syncid_)
        t.syncid = syncid_->text().toStdString();
    t.cycles = cycles_->toPlainText().toStdString();
    t.manualEnable = manual_enable_->isChecked();
    t.alarmEnable = alarm_enable_->isChecked();
    t.alarmOperation = alarm_operation_->currentIndex() >= 0 ? alarm_operation_->currentData().toInt() : 0;
    t.alarmExpression = alarm_expression_->text().toStdString();
    if (transtype_ && transtype_->currentIndex() >= 0)
        t.transmissionType = static_cast<uint8_t>(transtype_->currentData().toInt());
    t.ciatr308options = (generateerrorcontrol_->isChecked() ? 0x01u : 0u) | (generatesdo_->isChecked() ? 0x02u : 0u) |
                        (generatepdo_->isChecked() ? 0x04u : 0u) | (generatesync_->isChecked() ? 0x08u : 0u);
    t.limitEnable = limit_enable_->isChecked();
    t.upperLimit = limit_upperlimit_->text().toStdString();
    t.lowerLimit = limit_lowerlimit_->text().toStdString();
    t.limitExpression = limit_expression_->text().toStdString();
    if (frameSets_ == 1)
        t.rpdo = frames_[0];
    if (frameSets_ == 2) {
        t.phase1rpdo = frames_[0];
        t.phase2rpdo = frames_[1];
    }
    return t;
}

void TWin_ConfigTiming::warn(const std::string& text) {
    (void)prompt_.ask(PromptIcon::Warning, text, variant_.displayName, PromptButtons::Ok);
}

bool TWin_ConfigTiming::ApplySettings() {
    const TimingSettingsVerdict verdict = check_.Check(readControls(), summary_.GetBaudrate());
    if (!verdict.warning.empty())
        warn(verdict.warning);
    if (!verdict.accepted()) {
        warn(verdict.message);
        return false;
    }
    engine_.SetConfig(verdict.record);
    return true;
}

TWin_ConfigTPDOSync::TWin_ConfigTPDOSync(TimingTestEngine& engine, UserPrompt& prompt,
                                         const TExpressions& expressions, const TDeviceSummary& summary,
                                         QuickReferenceLink quickReference, QWidget* parent)
    : TWin_ConfigTiming(TimingTestKind::TPDOSync, engine, prompt, expressions, summary, nullptr,
                        std::move(quickReference), parent) {}

TWin_ConfigTPDOEvent::TWin_ConfigTPDOEvent(TimingTestEngine& engine, UserPrompt& prompt,
                                           const TExpressions& expressions, const TDeviceSummary& summary,
                                           QuickReferenceLink quickReference, QWidget* parent)
    : TWin_ConfigTiming(TimingTestKind::TPDOEvent, engine, prompt, expressions, summary, nullptr,
                        std::move(quickReference), parent) {}

TWin_ConfigTPDOSyncRPDOs::TWin_ConfigTPDOSyncRPDOs(TimingTestEngine& engine, UserPrompt& prompt,
                                                   const TExpressions& expressions, const TDeviceSummary& summary,
                                                   TWin_ConfigRPDO& rpdoDialog, QuickReferenceLink quickReference,
                                                   QWidget* parent)
    : TWin_ConfigTiming(TimingTestKind::TPDOSyncRPDOs, engine, prompt, expressions, summary, &rpdoDialog,
                        std::move(quickReference), parent) {}

TWin_ConfigTPDOEventRPDOs::TWin_ConfigTPDOEventRPDOs(TimingTestEngine& engine, UserPrompt& prompt,
                                                     const TExpressions& expressions, const TDeviceSummary& summary,
                                                     TWin_ConfigRPDO& rpdoDialog, QuickReferenceLink quickReference,
                                                     QWidget* parent)
    : TWin_ConfigTiming(TimingTestKind::TPDOEventRPDOs, engine, prompt, expressions, summary, &rpdoDialog,
                        std::move(quickReference), parent) {}

TWin_ConfigPDOTurnaround::TWin_ConfigPDOTurnaround(TimingTestEngine& engine, UserPrompt& prompt,
                                                   const TExpressions& expressions, const TDeviceSummary& summary,
                                                   TWin_ConfigRPDO& rpdoDialog, QuickReferenceLink quickReference,
                                                   QWidget* parent)
    : TWin_ConfigTiming(TimingTestKind::PDOTurnaround, engine, prompt, expressions, summary, &rpdoDialog,
                        std::move(quickReference), parent) {}

std::unique_ptr<TWin_ConfigTiming> MakeTimingPage(TimingTestKind kind, TimingTestEngine& engine, UserPrompt& prompt,
                                                  const TExpressions& expressions, const TDeviceSummary& summary,
                                                  TWin_ConfigRPDO& rpdoDialog, QuickReferenceLink link) {
    switch (kind) {
    case TimingTestKind::TPDOSync:
        return std::make_unique<TWin_ConfigTPDOSync>(engine, prompt, expressions, summary, std::move(link));
    case TimingTestKind::TPDOSyncRPDOs:
        return std::make_unique<TWin_ConfigTPDOSyncRPDOs>(engine, prompt, expressions, summary, rpdoDialog,
                                                          std::move(link));
    case TimingTestKind::TPDOEvent:
        return std::make_unique<TWin_ConfigTPDOEvent>(engine, prompt, expressions, summary, std::move(link));
    case TimingTestKind::TPDOEventRPDOs:
        return std::make_unique<TWin_ConfigTPDOEventRPDOs>(engine, prompt, expressions, summary, rpdoDialog,
                                                           std::move(link));
    case TimingTestKind::PDOTurnaround:
        return std::make_unique<TWin_ConfigPDOTurnaround>(engine, prompt, expressions, summary, rpdoDialog,
                                                          std::move(link));
    }
    return nullptr;
}

} // namespace ostrel::vessolt
