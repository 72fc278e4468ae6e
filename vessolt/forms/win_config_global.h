#pragma once
// The "Global Configuration" page of the test configuration dialog: configuring the node from a DCF,
// the longest boot-up time, the software support module, and the ratings script in a code editor.
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "config_form.h"
#include "testing/global_test_config.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QsciScintilla;

namespace ostrel::vessolt {

namespace controls {
class TKvNumSpin;
}
class FileDialogs;
class UserPrompt;

class TWin_ConfigGlobal : public TConfigForm {
    Q_OBJECT
public:
    using ShowQuickReference = std::function<void(const char* resource, QWidget* caller)>;

    static constexpr const char* kSoftNsmNotice =
        "The software based NSM is provided for evaluation purposes only and reliable results may not be "
        "obtained. No bus load or burst length results will be displayed.";
    static constexpr const char* kNodeIdRange = "The software based NSM node ID must be in the range 0x01 to 0x7F.";
    static constexpr const char* kBootupNotNumber = "The maximum bootup time must be a number.";
    static constexpr const char* kSettingsBusy = "The global settings are in use. Please try again.";
    static constexpr const char* kScriptNotUtf8 =
        "The ratings script ratings.py is not UTF-8 text, which this editor cannot write back unchanged. It is "
        "shown read-only and left as it is; edit it with a text editor that keeps its encoding, or save it "
        "as UTF-8.";
    // The boxes about a script that cannot be read or saved, with the reason.
    [[nodiscard]] static std::string ScriptUnreadableText(const std::string& why);
    [[nodiscard]] static std::string ScriptUnsavedText(const std::string& why);

    TWin_ConfigGlobal(TGlobalTestConfig& config, UserPrompt& prompt, FileDialogs& files,
                      ShowQuickReference showQuickReference, QWidget* parent = nullptr);
    ~TWin_ConfigGlobal() override;

    bool ApplySettings() override;
    void LoadSettings() override;
    void SetDefaults() override;

    // The support module's node id as typed: hexadecimal, leading blanks skipped, an optional "0x",
    // read up to the first other character; an empty text gives 0. Saturates instead of wrapping.
    [[nodiscard]] static uint64_t ParseNodeId(const QString& text);
    // The boot-up time in whole milliseconds, cut toward zero and held within int32.
    [[nodiscard]] static int32_t BootupTimeOf(double value);

    // The editor's text as the script file would hold it: one line end after the last line, as the
    // file had it (else one of the file's kind).
    [[nodiscard]] std::string ScriptText() const;

private:
    void buildControls();
    void UpdateControls();
    void FillControls();
    // The spin control's typed text, committed; nullopt when it is no number.
    [[nodiscard]] std::optional<double> committedBootupTime();
    void browseClick();
    void Label2Click();
    void syneditmenuPopup();
    void tell(const std::string& text, bool warning);
    void showScript(bool read, std::string text, const std::string& why);
    // The DCF path as bytes: the stored ones while the text shown for them is untouched.
    [[nodiscard]] std::string dcfPath() const;

    TGlobalTestConfig& config_;
    UserPrompt& prompt_;
    FileDialogs& files_;
    ShowQuickReference showQuickReference_;
    enum class Script { Read, Unreadable, NotUtf8 };
    Script script_ = Script::Unreadable;
    std::string scriptEnd_;  // the line end the file had after its last line
    std::string dcfBytes_;   // the stored DCF path, and the text shown for it
    QString dcfShown_;

    QCheckBox* configurenode_ = nullptr;
    QLabel* dcflabel_ = nullptr;
    QLineEdit* dcf_ = nullptr;
    QPushButton* browse_ = nullptr;
    controls::TKvNumSpin* maxbootuptime_ = nullptr;
    QsciScintilla* synedit_ = nullptr;
    QMenu* syneditmenu_ = nullptr;
    QLabel* Label2_ = nullptr;
    QCheckBox* softnsm_ = nullptr;
    QLabel* nodeidlabel_ = nullptr;
    QLineEdit* softnsmnodeid_ = nullptr;
};

} // namespace ostrel::vessolt
