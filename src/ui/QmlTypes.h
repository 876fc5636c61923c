#pragma once

// The controller's types as the window's QML knows them, so that every property read and
// every call of the views is checked against the controller (qmllint) and FolderKind is
// usable by name. The core library itself knows nothing of QML.

#include "app/FolderKind.h"
#include "app/SyncViewModel.h"
#include "storage/SyncSettings.h"

#include <QtQml/qqml.h>

namespace kitewell::qml {

struct SyncViewModelType {
    Q_GADGET
    QML_FOREIGN(kitewell::SyncViewModel)
    QML_NAMED_ELEMENT(SyncViewModel)
    QML_UNCREATABLE("The program has one controller, made at start.")
};

struct SyncSettingsType {
    Q_GADGET
    QML_FOREIGN(kitewell::SyncSettings)
    QML_VALUE_TYPE(syncSettings)
    QML_UNCREATABLE("Settings are the controller's to change.")
};

namespace FolderKindType {
Q_NAMESPACE
QML_FOREIGN_NAMESPACE(kitewell::FolderKindNamespace)
QML_NAMED_ELEMENT(FolderKind)
} // namespace FolderKindType

} // namespace kitewell::qml
