#include "file_dialog.h"

#include <QFileDialog>
#include <QFileInfo>

namespace ostrel::vessolt {

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
