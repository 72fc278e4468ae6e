#include "file_dialog.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>

namespace ostrel::vessolt {

std::string FileNameBytes(const QString& name) { return QFile::encodeName(name).toStdString(); }

QString FileNameText(const std::string& bytes) { return QFile::decodeName(QByteArray::fromStdString(bytes)); }

bool FileNameSurvivesQt(const std::string& bytes) { return FileNameBytes(FileNameText(bytes)) == bytes; }

std::string UnusableFileName(const QString& name) {
    if (!name.contains(QChar::ReplacementCharacter) || QFileInfo::exists(name))
        return {};
    return "the file name is not UTF-8 text; please rename the file";
}

namespace {

QString run(QWidget* parent, const FileDialogRequest& request, QFileDialog::AcceptMode mode) {
    QFileDialog dialog(parent, request.title);
    dialog.setAcceptMode(mode);
    dialog.setFileMode(mode == QFileDialog::AcceptOpen ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    dialog.setNameFilter(request.filter);
    dialog.setDefaultSuffix(request.defaultSuffix);
    if (request.ownOverwriteQuestion)
        dialog.setOption(QFileDialog::DontConfirmOverwrite);
    if (!request.fileName.isEmpty()) {
        const QFileInfo info(request.fileName);
        if (info.isDir()) {
            dialog.setDirectory(request.fileName);
        } else {
            dialog.setDirectory(info.absolutePath());
            dialog.selectFile(info.fileName());
        }
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().constFirst();
}

} // namespace

QString QtFileDialogs::getOpenFileName(QWidget* parent, const FileDialogRequest& request) {
    return run(parent, request, QFileDialog::AcceptOpen);
}

QString QtFileDialogs::getSaveFileName(QWidget* parent, const FileDialogRequest& request) {
    return run(parent, request, QFileDialog::AcceptSave);
}

} // namespace ostrel::vessolt
