#pragma once

#include <QObject>

namespace kitewell {

namespace FolderKindNamespace {
Q_NAMESPACE
// Which folder a choice sets.
enum class FolderKind { original, effect };
Q_ENUM_NS(FolderKind)
} // namespace FolderKindNamespace

using FolderKind = FolderKindNamespace::FolderKind;

} // namespace kitewell
