#include "ui/FolderPicker.h"

#include <QFileDialog>

namespace kitewell {

std::optional<QString> pickFolderWithDialog(const QString& title, const QString& message) {
    Q_UNUSED(message);
    const QString folder =
        QFileDialog::getExistingDirectory(nullptr, title, QString(), QFileDialog::ShowDirsOnly);
    if (folder.isEmpty())
        return std::nullopt;
    return folder;
}

} // namespace kitewell
