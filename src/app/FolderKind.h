#pragma once

#include <QObject>

namespace kitewell {

namespace FolderKindNamespace {
Q_NAMESPACE
// Which folder a choice sets.
enum class FolderKind {
    original,
    effect,
    // The same two as QML names them: it reaches enum values only by capitalised names.
    Original = original,
    Effect = effect,
};
Q_ENUM_NS(FolderKind)
} // namespace FolderKindNamespace

using FolderKind = FolderKindNamespace::FolderKind;

} // namespace kitewell
