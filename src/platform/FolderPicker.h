#pragma once

#include <QString>

#include <functional>
#include <optional>

namespace kitewell {

// Asks the user for a folder; nothing when they cancel. Replaceable so that tests
// choose folders without a dialog.
using FolderPicker = std::function<std::optional<QString>(const QString& title, const QString& message)>;

// The desktop's folder panel (QFileDialog, through the desktop portal where one runs).
// Needs a QApplication.
std::optional<QString> pickFolderWithDialog(const QString& title, const QString& message);

} // namespace kitewell
