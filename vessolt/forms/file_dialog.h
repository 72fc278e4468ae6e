#pragma once
// The file dialogs of the forms, behind a seam: the program shows Qt's dialogs, tests answer.
#include <QString>

class QWidget;

namespace ostrel::vessolt {

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
