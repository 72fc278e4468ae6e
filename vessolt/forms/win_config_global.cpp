#include "win_config_global.h"

#include <Qsci/qscilexerpython.h>
#include <Qsci/qsciscintilla.h>

#include <QAction>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QVBoxLayout>
#include <cmath>
#include <functional>
#include <limits>

#include "file_dialog.h"
#include "kvnumspin.h"
#include "services/numeric_text.h"
#include "script/ratings_script.h"
#include "services/user_prompt.h"
#include "win_quick_reference.h"

namespace ostrel::vessolt {

namespace {

QLabel* namedLabel(const char* name, const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    return label;
}

} // namespace

TWin_ConfigGlobal::TWin_ConfigGlobal(TGlobalTestConfig& config, UserPrompt& prompt, FileDialogs& files,
                                     ShowQuickReference showQuickReference, QWidget* parent)
    : TConfigForm(parent), config_(config), prompt_(prompt), files_(files),
      showQuickReference_(std::move(showQuickReference)) {
    setObjectName(QStringLiteral("Win_ConfigGlobal"));
    setWindowTitle(QStringLiteral("Global Configuration"));
    buildControls();
    UpdateControls();
}

TWin_ConfigGlobal::~TWin_ConfigGlobal() = default;

void TWin_ConfigGlobal::buildControls() {
    auto* layout = new QVBoxLayout(this);

    auto* node = new QGroupBox(QStringLiteral(" Node "), this);
    auto* nodeGrid = new QGridLayout(node);
    configurenode_ = new QCheckBox(QStringLiteral("Configure node after each reset"), node);
    configurenode_->setObjectName(QStringLiteral("configurenode"));
    configurenode_->setToolTip(QStringLiteral("Check to configure the node"));
    dcflabel_ = namedLabel("dcflabel", QStringLiteral("Device Configuration File:"), node);
    dcf_ = new QLineEdit(node);
    dcf_->setObjectName(QStringLiteral("dcf"));
    dcf_->setToolTip(QStringLiteral("Enter the path to a DCF file or select one by clicking on Browse..."));
    browse_ = new QPushButton(QStringLiteral("Browse..."), node);
    browse_->setObjectName(QStringLiteral("browse"));
    browse_->setToolTip(QStringLiteral("Click to select a DCF file to use"));
    maxbootuptime_ = new controls::TKvNumSpin(node);
    maxbootuptime_->setObjectName(QStringLiteral("maxbootuptime"));
    maxbootuptime_->setToolTip(QStringLiteral("Enter the maximum bootup time for the node"));
    maxbootuptime_->SetFormatStr(QStringLiteral("#0.#"));
    maxbootuptime_->SetIncrement(10.0f);
    maxbootuptime_->SetMinValue(kMinBootupTimeMs);
    maxbootuptime_->SetOptions({controls::eoLimitMin});
    maxbootuptime_->SetStartDelay(500);
    maxbootuptime_->SetInterval(100);
    // Typing keeps the white of an edit; only a refused text changes the colour.
    maxbootuptime_->SetColorDefault(controls::clWindow);
    maxbootuptime_->SetColorEditing(controls::clWhite);
    maxbootuptime_->setMinimumWidth(90);
    nodeGrid->addWidget(configurenode_, 0, 0, 1, 3);
    nodeGrid->addWidget(dcflabel_, 1, 0, 1, 3);
    nodeGrid->addWidget(dcf_, 2, 0, 1, 2);
    nodeGrid->addWidget(browse_, 2, 2);
    auto* bootup = new QHBoxLayout();
    bootup->addWidget(namedLabel("maxbootuplabel", QStringLiteral("Max Bootup Time:"), node));
    bootup->addWidget(maxbootuptime_);
    bootup->addWidget(namedLabel("maxbootupunit", QStringLiteral("ms"), node));
    bootup->addStretch(1);
    nodeGrid->addLayout(bootup, 3, 0, 1, 3);
    nodeGrid->setColumnStretch(0, 1);
    layout->addWidget(node);

    auto* ratings = new QGroupBox(QStringLiteral(" Ratings "), this);
    auto* ratingsBox = new QVBoxLayout(ratings);
    auto* scriptHead = new QHBoxLayout();
    scriptHead->addWidget(namedLabel("scriptlabel", QStringLiteral("Edit Python Script:"), ratings));
    scriptHead->addStretch(1);
    Label2_ = namedLabel("Label2", QStringLiteral("<a href=\"#\">View the Python Quick Reference</a>"), ratings);
    Label2_->setToolTip(QStringLiteral("Click to show the quick reference for Python"));
    Label2_->setTextFormat(Qt::RichText);
    Label2_->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    scriptHead->addWidget(Label2_);
    ratingsBox->addLayout(scriptHead);
    synedit_ = new QsciScintilla(ratings);
    synedit_->setObjectName(QStringLiteral("synedit"));
    synedit_->setUtf8(true);
    synedit_->setEolMode(QsciScintilla::EolUnix);
    auto* lexer = new QsciLexerPython(synedit_);  // owned by the editor
    synedit_->setLexer(lexer);
    synedit_->setAutoIndent(true);
    synedit_->setIndentationsUseTabs(false);
    synedit_->setIndentationWidth(2);
    synedit_->setTabWidth(2);
    synedit_->setMarginType(0, QsciScintilla::NumberMargin);
    synedit_->setMarginLineNumbers(0, true);
    synedit_->setMarginWidth(0, QStringLiteral("00000"));
    synedit_->setMinimumHeight(160);
    ratingsBox->addWidget(synedit_, 1);
    layout->addWidget(ratings, 1);

    syneditmenu_ = new QMenu(synedit_);
    syneditmenu_->setObjectName(QStringLiteral("syneditmenu"));
    const auto item = [this](const char* name, const char* text, QKeySequence keys, std::function<void()> op) {
        QAction* action = syneditmenu_->addAction(QString::fromLatin1(text));
        action->setObjectName(QString::fromLatin1(name));
        action->setShortcut(keys);
        action->setShortcutContext(Qt::WidgetShortcut);  // the editor's own keys do the work
        connect(action, &QAction::triggered, synedit_, std::move(op));
        return action;
    };
    item("undo", "Undo", QKeySequence(Qt::CTRL | Qt::Key_Z), [this] { synedit_->undo(); });
    item("redo", "Redo", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z), [this] { synedit_->redo(); });
    syneditmenu_->addSeparator();
    item("cut", "Cut", QKeySequence(Qt::CTRL | Qt::Key_X), [this] { synedit_->cut(); });
    item("copy", "Copy", QKeySequence(Qt::CTRL | Qt::Key_C), [this] { synedit_->copy(); });
    item("paste", "Paste", QKeySequence(Qt::CTRL | Qt::Key_V), [this] { synedit_->paste(); });
    syneditmenu_->addSeparator();
    item("selectall", "Select All", QKeySequence(Qt::CTRL | Qt::Key_A), [this] { synedit_->selectAll(); });
    synedit_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(synedit_, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { syneditmenu_->popup(synedit_->mapToGlobal(at)); });
    connect(syneditmenu_, &QMenu::aboutToShow, this, &TWin_ConfigGlobal::syneditmenuPopup);

    auto* module = new QGroupBox(QStringLiteral(" Norbix Support Module "), this);
    auto* moduleRow = new QHBoxLayout(module);
    softnsm_ = new QCheckBox(QStringLiteral("Use software based NSM"), module);
    softnsm_->setObjectName(QStringLiteral("softnsm"));
    softnsm_->setToolTip(QStringLiteral("Check to use the software based Norbix Support Module"));
    nodeidlabel_ = namedLabel("nodeidlabel", QStringLiteral("Node ID: 0x"), module);
    softnsmnodeid_ = new QLineEdit(module);
    softnsmnodeid_->setObjectName(QStringLiteral("softnsmnodeid"));
    softnsmnodeid_->setToolTip(QStringLiteral("Enter the node id for the software based NSM"));
    softnsmnodeid_->setMaximumWidth(60);
    moduleRow->addWidget(softnsm_);
    moduleRow->addStretch(1);
    moduleRow->addWidget(nodeidlabel_);
    moduleRow->addWidget(softnsmnodeid_);
    layout->addWidget(module);

    connect(configurenode_, &QCheckBox::clicked, this, &TWin_ConfigGlobal::UpdateControls);
    connect(softnsm_, &QCheckBox::clicked, this, &TWin_ConfigGlobal::UpdateControls);
    connect(browse_, &QPushButton::clicked, this, &TWin_ConfigGlobal::browseClick);
    connect(Label2_, &QLabel::linkActivated, this, &TWin_ConfigGlobal::Label2Click);
}

void TWin_ConfigGlobal::UpdateControls() {
    const bool configure = configurenode_->isChecked();
    dcflabel_->setEnabled(configure);
    dcf_->setEnabled(configure);
    browse_->setEnabled(configure);
    const bool soft = softnsm_->isChecked();
    nodeidlabel_->setEnabled(soft);
    softnsmnodeid_->setEnabled(soft);
}

void TWin_ConfigGlobal::tell(const std::string& text, bool warning) {
    (void)prompt_.ask(warning ? PromptIcon::Warning : PromptIcon::Information, text, kProductName,
                      PromptButtons::Ok);
}

void TWin_ConfigGlobal::FillControls() {
    GLOBALCONFIG config;
    std::string script, why;
    const auto access = config_.Get(config, &script, &why);
    if (access == TGlobalTestConfig::Access::Busy) {
        tell(kSettingsBusy, true);
        return;
    }
    configurenode_->setChecked(config.configurenode);
    softnsm_->setChecked(config.softnsm);
    dcfBytes_ = config.dcfpath;
    dcfShown_ = FileNameText(dcfBytes_);
    dcf_->setText(dcfShown_);
    // Text typed but never committed would hide the stored value when it equals the committed one.
    if (maxbootuptime_->State() != controls::esNormal) {
        maxbootuptime_->setText(maxbootuptime_->LastText());
        (void)maxbootuptime_->CheckEdit(true);
    }
    maxbootuptime_->SetValue(config.maxbootuptime);
    softnsmnodeid_->setText(QStringLiteral("%1").arg(static_cast<uint>(config.softnsmnodeid), 2, 16, QLatin1Char('0')).toUpper());
    UpdateControls();
    showScript(access == TGlobalTestConfig::Access::Done, std::move(script), why);
}

void TWin_ConfigGlobal::showScript(bool read, std::string text, const std::string& why) {
    script_ = !read ? Script::Unreadable : TRatingsScript::IsUtf8Text(text) ? Script::Read : Script::NotUtf8;
    // The last line's end belongs to the file, not to the editor; lines typed get the file's kind.
    const size_t firstEnd = text.find('\n');
    const bool crlf = firstEnd != std::string::npos && firstEnd > 0 && text[firstEnd - 1] == '\r';
    scriptEnd_.clear();
    if (text.ends_with('\n')) {
        scriptEnd_ = text.ends_with("\r\n") ? "\r\n" : "\n";
        text.resize(text.size() - scriptEnd_.size());
    }
    synedit_->setEolMode(crlf ? QsciScintilla::EolWindows : QsciScintilla::EolUnix);
    synedit_->setText(QString::fromUtf8(text));
    synedit_->setModified(false);
    synedit_->setReadOnly(script_ == Script::NotUtf8);
    if (script_ == Script::Unreadable)
        tell(ScriptUnreadableText(why), true);
    else if (script_ == Script::NotUtf8)
        tell(kScriptNotUtf8, true);
}

std::string TWin_ConfigGlobal::ScriptUnreadableText(const std::string& why) {
    return "The ratings script ratings.py could not be read (" + why +
           "). The editor starts empty; the script is only written when you edit it.";
}

std::string TWin_ConfigGlobal::ScriptUnsavedText(const std::string& why) {
    return "The ratings script ratings.py could not be saved (" + why +
           "). Please check that the program's folder can be written.";
}

std::string TWin_ConfigGlobal::dcfPath() const {
    const QString text = dcf_->text();
    return text == dcfShown_ ? dcfBytes_ : FileNameBytes(text);
}

void TWin_ConfigGlobal::LoadSettings() { FillControls(); }

void TWin_ConfigGlobal::SetDefaults() {
    if (!config_.SetDefaults()) {
        tell(kSettingsBusy, true);
        return;
    }
    FillControls();
}

std::optional<double> TWin_ConfigGlobal::committedBootupTime() {
    if (maxbootuptime_->text().trimmed().isEmpty())
        maxbootuptime_->setText(QStringLiteral("0"));  // as leaving the control would
    if (!maxbootuptime_->CheckEdit(true) || std::isnan(maxbootuptime_->Value()))
        return std::nullopt;
    return maxbootuptime_->Value();
}

bool TWin_ConfigGlobal::ApplySettings() {
    GLOBALCONFIG stored;
    if (config_.Get(stored) == TGlobalTestConfig::Access::Busy) {
        tell(kSettingsBusy, true);
        return false;
    }
    if (softnsm_->isChecked() && !stored.softnsm)
        tell(kSoftNsmNotice, false);

    const std::optional<double> bootup = committedBootupTime();
    if (!bootup) {
        tell(kBootupNotNumber, true);
        return false;
    }
    const uint64_t nodeId = ParseNodeId(softnsmnodeid_->text());
    if (!validSupportModuleNodeId(nodeId > 0xFF ? 0 : static_cast<int64_t>(nodeId))) {
        tell(kNodeIdRange, true);
        return false;
    }
    GLOBALCONFIG config;
    config.configurenode = configurenode_->isChecked();
    config.dcfpath = dcfPath();
    config.maxbootuptime = BootupTimeOf(*bootup);
    config.softnsm = softnsm_->isChecked();
    config.softnsmnodeid = static_cast<uint8_t>(nodeId);

    // Only a script the user changed is written: an untouched one keeps its bytes, its encoding and
    // its line ends, and an empty editor never replaces a script that could not be read.
    const bool writeScript = script_ != Script::NotUtf8 && synedit_->isModified();
    const std::string text = writeScript ? ScriptText() : std::string();
    std::string why;
    switch (config_.Set(config, writeScript ? &text : nullptr, &why)) {
    case TGlobalTestConfig::Access::Busy: tell(kSettingsBusy, true); return false;
    case TGlobalTestConfig::Access::ScriptFailed: tell(ScriptUnsavedText(why), true); return false;
    case TGlobalTestConfig::Access::Done: break;
    }
    if (writeScript) {
        script_ = Script::Read;
        synedit_->setModified(false);
    }
    return true;
}

uint64_t TWin_ConfigGlobal::ParseNodeId(const QString& text) {
    // strtoul rules: a minus turns any number but 0 into one far above every node id.
    return parseUnsignedText(text.toStdString(), 16);
}

int32_t TWin_ConfigGlobal::BootupTimeOf(double value) {
    if (std::isnan(value))
        return 0;
    const double whole = std::trunc(value);
    if (whole >= static_cast<double>(std::numeric_limits<int32_t>::max()))
        return std::numeric_limits<int32_t>::max();
    if (whole <= static_cast<double>(std::numeric_limits<int32_t>::min()))
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(whole);
}

std::string TWin_ConfigGlobal::ScriptText() const {
    std::string text = synedit_->text().toStdString();
    if (!text.empty() && !text.ends_with('\n'))
        text += !scriptEnd_.empty() ? scriptEnd_
                : synedit_->eolMode() == QsciScintilla::EolWindows ? "\r\n"
                                                                   : "\n";
    return text;
}

void TWin_ConfigGlobal::browseClick() {
    FileDialogRequest request;
    request.title = QStringLiteral("Select DCF File");
    request.filter = QStringLiteral("Device Configuration Files (*.dcf);;All Files (*)");
    request.defaultSuffix = QStringLiteral("dcf");
    request.fileName = dcf_->text();
    const QString chosen = files_.getOpenFileName(this, request);
    if (chosen.isEmpty())
        return;
    if (const std::string why = UnusableFileName(chosen); !why.empty()) {
        tell("The file " + FileNameBytes(chosen) + " cannot be used: " + why + ".", true);
        return;
    }
    dcf_->setText(chosen);
}

void TWin_ConfigGlobal::Label2Click() {
    if (showQuickReference_)
        showQuickReference_(TWin_QuickReference::kPython, window());
}

void TWin_ConfigGlobal::syneditmenuPopup() {
    const bool selection = synedit_->hasSelectedText();
    for (QAction* a : syneditmenu_->actions()) {
        const QString name = a->objectName();
        if (name == u"paste")
            a->setEnabled(synedit_->SendScintilla(QsciScintilla::SCI_CANPASTE) != 0);
        else if (name == u"cut" || name == u"copy")
            a->setEnabled(selection);
        else if (name == u"undo")
            a->setEnabled(synedit_->isUndoAvailable());
        else if (name == u"redo")
            a->setEnabled(synedit_->isRedoAvailable());
    }
}

} // namespace ostrel::vessolt
