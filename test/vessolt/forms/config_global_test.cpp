// The global configuration page, offscreen, over the real settings store, a registry folder and a
// ratings script of its own.
#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <Qsci/qsciscintilla.h>
#include <cstdlib>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "services/device_summary.h"
#include "file_dialog.h"
#include "testing/global_test_config.h"
#include "kvnumspin.h"
#include "services/log.h"
#include "ratings_script.h"
#include "services/user_prompt.h"
#include "win_config_global.h"
#include "win_quick_reference.h"

#include "../core/temp_folder.h"

using namespace ostrel::vessolt;
using controls::TKvNumSpin;
namespace fs = std::filesystem;

namespace {

class AnsweringFiles : public FileDialogs {
public:
    QString answer;
    std::vector<FileDialogRequest> asked;
    QString getOpenFileName(QWidget*, const FileDialogRequest& r) override {
        asked.push_back(r);
        return answer;
    }
    QString getSaveFileName(QWidget*, const FileDialogRequest& r) override { return getOpenFileName(nullptr, r); }
};

class GlobalPageTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("OSTREL_REGISTRY_DIR", (folder.path() / "registry").c_str(), 1);
        folder.write("ratings.py", "x = 1\nprint(x)\n");
    }
    void TearDown() override { ::unsetenv("OSTREL_REGISTRY_DIR"); }

    // The page over a script folder; the store's script access can be held up to keep its lock.
    void makePage(const fs::path& scriptFolder) {
        script = std::make_unique<TRatingsScript>(scriptFolder.string(), log, summary, prompt);
        TGlobalTestConfig::ScriptFile file = TGlobalTestConfig::ScriptFileOf(*script);
        // A save runs under the store's lock (a read does not: a slow disk must not hold it).
        file.save = [this, save = file.save](const std::string& text, std::string& error) {
            if (holdLock) {
                held.set_value();
                release.get_future().wait();
            }
            return save(text, error);
        };
        config = std::make_unique<TGlobalTestConfig>(file, "Software\\Ostrel\\Test\\global");
        page = std::make_unique<TWin_ConfigGlobal>(*config, prompt, files, [this](const char* resource, QWidget* caller) {
            shown.emplace_back(resource, caller);
        });
        page->LoadSettings();
    }
    template <typename T>
    T* child(const char* name) {
        T* w = page->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    GLOBALCONFIG stored() {
        GLOBALCONFIG out;
        EXPECT_EQ(config->Get(out), TGlobalTestConfig::Access::Done);
        return out;
    }
    // The prompts since the last forget().
    std::vector<std::string> texts() {
        std::vector<std::string> out;
        const auto asked = prompt.asked();
        for (size_t i = seen; i < asked.size(); ++i) {
            EXPECT_EQ(asked[i].caption, kProductName);
            out.push_back(asked[i].text);
        }
        return out;
    }
    void forget() { seen = prompt.asked().size(); }
    [[nodiscard]] std::string file(const char* name) const {
        std::ifstream in(folder.path() / name, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    test::TempFolder folder;
    TLog log;
    TDeviceSummary summary;
    RecordingPrompt prompt;
    AnsweringFiles files;
    std::unique_ptr<TRatingsScript> script;
    std::unique_ptr<TGlobalTestConfig> config;
    std::unique_ptr<TWin_ConfigGlobal> page;
    std::vector<std::pair<std::string, QWidget*>> shown;
    size_t seen = 0;
    bool holdLock = false;
    std::promise<void> held;
    std::promise<void> release;
};

TEST_F(GlobalPageTest, NodeIdTextsAndTheSoftwareModuleNotice) {
    makePage(folder.path());
    auto* nodeId = child<QLineEdit>("softnsmnodeid");
    EXPECT_EQ(nodeId->text(), QStringLiteral("7F"));
    EXPECT_FALSE(nodeId->isEnabled());
    child<QCheckBox>("softnsm")->click();
    EXPECT_TRUE(nodeId->isEnabled());
    EXPECT_TRUE(child<QLabel>("nodeidlabel")->isEnabled());

    // Refused texts store nothing; the notice comes first each time, the setting being still off.
    for (const char* text : {"0", "80", "101", "", "-1", "zz"}) {
        nodeId->setText(QString::fromLatin1(text));
        EXPECT_FALSE(page->ApplySettings()) << text;
        EXPECT_EQ(texts(), (std::vector<std::string>{TWin_ConfigGlobal::kSoftNsmNotice, TWin_ConfigGlobal::kNodeIdRange}))
            << text;
        EXPECT_EQ(prompt.asked().back().icon, PromptIcon::Warning);
        EXPECT_EQ(stored(), GLOBALCONFIG{});
        forget();
    }
    for (const auto& [text, id, notices] : {std::tuple{"7F", 0x7F, 1u}, {"1", 1, 0u}, {"  0x7F", 0x7F, 0u}, {"2a;", 0x2A, 0u}}) {
        nodeId->setText(QString::fromLatin1(text));
        EXPECT_TRUE(page->ApplySettings()) << text;
        EXPECT_EQ(texts().size(), notices) << text;
        EXPECT_EQ(stored().softnsmnodeid, id) << text;
        EXPECT_TRUE(stored().softnsm);
        forget();
    }
    page->LoadSettings();
    EXPECT_EQ(nodeId->text(), QStringLiteral("2A"));

    child<QLabel>("Label2")->linkActivated(QStringLiteral("#"));
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].first, TWin_QuickReference::kPython);
    EXPECT_EQ(shown[0].second, page->window());
}

TEST_F(GlobalPageTest, NodeControlsAndTheBootupTime) {
    makePage(folder.path());
    auto* configure = child<QCheckBox>("configurenode");
    auto* dcf = child<QLineEdit>("dcf");
    auto* browse = child<QPushButton>("browse");
    EXPECT_FALSE(dcf->isEnabled() || browse->isEnabled() || child<QLabel>("dcflabel")->isEnabled());
    configure->click();
    EXPECT_TRUE(dcf->isEnabled() && browse->isEnabled() && child<QLabel>("dcflabel")->isEnabled());
    files.answer = QStringLiteral("/nodes/node5.dcf");
    browse->click();
    ASSERT_EQ(files.asked.size(), 1u);
    EXPECT_EQ(files.asked[0].title, QStringLiteral("Select DCF File"));
    EXPECT_EQ(files.asked[0].defaultSuffix, QStringLiteral("dcf"));
    EXPECT_EQ(dcf->text(), files.answer);
    // Unticked: the path stays and is stored as it stands.
    configure->click();
    EXPECT_FALSE(dcf->isEnabled() || browse->isEnabled() || child<QLabel>("dcflabel")->isEnabled());

    auto* bootup = child<TKvNumSpin>("maxbootuptime");
    EXPECT_EQ(bootup->text(), QStringLiteral("3000"));
    EXPECT_EQ(bootup->Increment(), 10.0f);
    EXPECT_EQ(bootup->MinValue(), 10.0);
    EXPECT_TRUE(bootup->Options().contains(controls::eoLimitMin) && !bootup->Options().contains(controls::eoLimitMax));
    EXPECT_EQ(bootup->StartDelay(), 500u);
    EXPECT_EQ(bootup->Interval(), 100);
    EXPECT_EQ(bootup->FormatStr(), QStringLiteral("#0.#"));

    // Typed text is committed before it is read; a number cut to whole ms, held in range.
    for (const auto& [text, ms] : {std::pair{"10.5", 10}, {"5", 10}, {"5G", 2147483647}, {"", 10}, {"250", 250}}) {
        bootup->setText(QString::fromLatin1(text));
        EXPECT_TRUE(page->ApplySettings()) << text;
        EXPECT_EQ(stored().maxbootuptime, ms) << text;
    }
    EXPECT_EQ(stored().dcfpath, "/nodes/node5.dcf");
    EXPECT_FALSE(stored().configurenode);
    EXPECT_TRUE(texts().empty());
    // Typed text keeps the white of an edit.
    bootup->setText(QStringLiteral("42"));
    EXPECT_EQ(bootup->State(), controls::esEditing);
    EXPECT_EQ(bootup->palette().color(QPalette::Base), QColor(Qt::white));
    bootup->setText(QStringLiteral("12x"));
    EXPECT_FALSE(page->ApplySettings());
    EXPECT_EQ(texts(), std::vector<std::string>{TWin_ConfigGlobal::kBootupNotNumber});
    EXPECT_EQ(stored().maxbootuptime, 250);
    // Reopening shows the stored value, not the refused text.
    page->LoadSettings();
    EXPECT_EQ(bootup->text(), QStringLiteral("250"));

    // Defaults are stored at once and the script is read again from its file.
    folder.write("ratings.py", "rating = 2\n");
    page->SetDefaults();
    EXPECT_EQ(stored(), GLOBALCONFIG{});
    EXPECT_EQ(bootup->text(), QStringLiteral("3000"));
    EXPECT_TRUE(dcf->text().isEmpty());
    EXPECT_EQ(child<QsciScintilla>("synedit")->text(), QStringLiteral("rating = 2"));
}

TEST_F(GlobalPageTest, ScriptIsEditedSavedAndNeverLostToAMissingFile) {
    makePage(folder.path());
    auto* editor = child<QsciScintilla>("synedit");
    EXPECT_EQ(editor->text(), QStringLiteral("x = 1\nprint(x)"));
    editor->setText(QStringLiteral("a = 1\nif a:\n  print(a)\n"));
    ASSERT_TRUE(page->ApplySettings());
    EXPECT_EQ(file("ratings.py"), "a = 1\nif a:\n  print(a)\n");

    // The editor's menu follows what the editor can do.
    auto* menu = child<QMenu>("syneditmenu");
    QStringList items;
    for (QAction* a : menu->actions())
        items << (a->isSeparator() ? QStringLiteral("-") : a->text());
    EXPECT_EQ(items.join(u','), QStringLiteral("Undo,Redo,-,Cut,Copy,Paste,-,Select All"));
    const auto enabled = [menu](const char* name) { return menu->findChild<QAction*>(QString::fromLatin1(name))->isEnabled(); };
    editor->selectAll(false);
    menu->aboutToShow();
    EXPECT_FALSE(enabled("undo"));
    editor->insert(QStringLiteral("# typed\n"));
    menu->aboutToShow();
    EXPECT_TRUE(enabled("undo"));
    EXPECT_FALSE(enabled("redo") || enabled("cut") || enabled("copy"));
    editor->undo();
    editor->selectAll();
    menu->aboutToShow();
    EXPECT_TRUE(enabled("redo") && enabled("cut") && enabled("copy"));

    // No script file: a warning, an empty editor, and OK leaves the file alone until edited.
    fs::remove(folder.path() / "ratings.py");
    forget();
    page->LoadSettings();
    EXPECT_EQ(texts(), std::vector<std::string>{TWin_ConfigGlobal::ScriptUnreadableText("No such file or directory")});
    EXPECT_TRUE(editor->text().isEmpty());
    EXPECT_TRUE(page->ApplySettings());
    EXPECT_FALSE(fs::exists(folder.path() / "ratings.py"));
    editor->setText(QStringLiteral("rating = 3"));
    EXPECT_TRUE(page->ApplySettings());
    EXPECT_EQ(file("ratings.py"), "rating = 3\n");
}

// OK writes the script only when the editor changed it; one that is not UTF-8 is shown read-only with
// a note. An edited script keeps its kind of line end. A stored DCF path keeps its bytes.
TEST_F(GlobalPageTest, ScriptAndDcfPathAreRewrittenOnlyWhenEditedAndKeepTheirBytes) {
    const struct {
        const char* bytes;
        const char* edited;  // after "# x" is typed at its start; null: read-only
    } cases[] = {
        {"# coding: latin-1\nname = 'r\xe9glage'\n", nullptr},
        {"# coding: latin-1\r\nname = 'r\xe9glage'\r\n", nullptr},
        {"a = 1\r\nb = 2\r\n", "# xa = 1\r\nb = 2\r\n"},
        {"a = 1\r\nb = 2", "# xa = 1\r\nb = 2\r\n"},
        {"name = 'réglage'\n", "# xname = 'réglage'\n"},
        {"a = 1\nb = 2\r\n", "# xa = 1\nb = 2\r\n"},
    };
    const std::string dcf = folder.write("r\xe9glage.dcf", "[FileInfo]\n");
    makePage(folder.path());
    ASSERT_EQ(config->Set(GLOBALCONFIG{true, dcf, 3000, false, 0x7F}, nullptr), TGlobalTestConfig::Access::Done);
    auto* editor = child<QsciScintilla>("synedit");
    const auto typeAtStart = [editor] {
        editor->setCursorPosition(0, 0);
        QTest::keyClicks(editor, QStringLiteral("# x"));
    };
    for (const auto& c : cases) {
        folder.write("ratings.py", c.bytes);
        forget();
        page->LoadSettings();
        const std::vector<std::string> note{TWin_ConfigGlobal::kScriptNotUtf8};
        EXPECT_EQ(texts(), c.edited ? std::vector<std::string>{} : note);
        // Untouched (typing into a read-only editor changes nothing): the file keeps its bytes and time.
        const auto mtime = fs::last_write_time(folder.path() / "ratings.py");
        typeAtStart();
        if (c.edited)
            editor->undo();
        ASSERT_TRUE(page->ApplySettings());
        EXPECT_EQ(file("ratings.py"), c.bytes);
        EXPECT_EQ(fs::last_write_time(folder.path() / "ratings.py"), mtime) << c.bytes;
        EXPECT_EQ(stored().dcfpath, dcf);
        if (c.edited) {
            typeAtStart();
            ASSERT_TRUE(page->ApplySettings());
            EXPECT_EQ(file("ratings.py"), c.edited);
        }
    }
    // Browse with a name Qt could not read: the path stays, and the user is told why.
    files.answer = FileNameText(dcf);
    forget();
    child<QPushButton>("browse")->click();
    EXPECT_EQ(texts(), std::vector<std::string>{"The file " + FileNameBytes(files.answer) + " cannot be used: the file "
                                                "name is not UTF-8 text; please rename the file."});
    EXPECT_EQ(child<QLineEdit>("dcf")->text(), FileNameText(dcf));
}

TEST_F(GlobalPageTest, FailedSaveAndBusySettingsKeepTheDialogOpen) {
    makePage(folder.path() / "missing-folder");
    auto* editor = child<QsciScintilla>("synedit");
    editor->setText(QStringLiteral("rating = 1"));
    child<QLineEdit>("dcf")->setText(QStringLiteral("/a.dcf"));
    forget();
    EXPECT_FALSE(page->ApplySettings());
    EXPECT_EQ(texts(), std::vector<std::string>{TWin_ConfigGlobal::ScriptUnsavedText("No such file or directory")});
    EXPECT_EQ(stored(), GLOBALCONFIG{});

    // Another thread holds the settings' lock past the wait: nothing is read or stored.
    holdLock = true;
    std::thread holder([this] {
        const std::string text = "x\n";
        (void)config->Set(GLOBALCONFIG{}, &text);
    });
    held.get_future().wait();
    forget();
    EXPECT_FALSE(page->ApplySettings());
    page->LoadSettings();
    EXPECT_EQ(texts(), (std::vector<std::string>{TWin_ConfigGlobal::kSettingsBusy, TWin_ConfigGlobal::kSettingsBusy}));
    EXPECT_EQ(child<QLineEdit>("dcf")->text(), QStringLiteral("/a.dcf"));
    release.set_value();
    holder.join();
    EXPECT_EQ(stored(), GLOBALCONFIG{});
}

} // namespace
