#pragma once

#include <QString>

#include <optional>

namespace kitewell {

// The desktop's folder panel (QFileDialog, through the desktop portal where one runs), as the
// controller's folder picker: the chosen folder, or nothing when the user cancels. Needs a
// QApplication.
std::optional<QString> pickFolderWithDialog(const QString& title, const QString& message);

} // namespace kitewell
