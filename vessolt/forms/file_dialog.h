#pragma once
// The file dialogs of the forms, behind a seam: the program shows Qt's dialogs, tests answer.
#include <QString>
#include <string>

class QWidget;

namespace ostrel::vessolt {

// File names are bytes on Linux; Qt holds them as text. A name whose bytes are not UTF-8 does not
// survive the way through a QString (Qt puts U+FFFD in their place and lists no such file in its
// dialogs), so names that come from the program's own files and arguments stay bytes, and reach Qt
// and come back only through these two.
[[nodiscard]] std::string FileNameBytes(const QString& name);
[[nodiscard]] QString FileNameText(const std::string& bytes);
// Whether `bytes` comes back unchanged from Qt's text.
[[nodiscard]] bool FileNameSurvivesQt(const std::string& bytes);
// Why a name typed or chosen in Qt cannot name a file: empty when it can. A name in which Qt holds
// U+FFFD and that names nothing stood for bytes that are not UTF-8.
[[nodiscard]] std::string UnusableFileName(const QString& name);

struct FileDialogRequest {
    QString title;
    QString filter;         // Qt form: "Name (*.ext);;All Files (*)"
    QString defaultSuffix;  // without the dot; added to a name typed without an extension
    QString fileName;       // proposed name or starting folder; may be empty
    bool ownOverwriteQuestion = false;  // the caller asks before replacing a file
};

class FileDialogs {
public:
    virtual ~FileDialogs() = default;
    // An existing file chosen by the user, or an empty string when cancelled.
    virtual QString getOpenFileName(QWidget* parent, const FileDialogRequest& request) = 0;
    // A file name to write (its folder exists), or an empty string when cancelled.
    virtual QString getSaveFileName(QWidget* parent, const FileDialogRequest& request) = 0;
};

class QtFileDialogs : public FileDialogs {
public:
    QString getOpenFileName(QWidget* parent, const FileDialogRequest& request) override;
    QString getSaveFileName(QWidget* parent, const FileDialogRequest& request) override;
};

} // namespace ostrel::vessolt
