#pragma once

#include "storage/SyncStateFile.h"

#include <QByteArray>

namespace testsupport {

// The state as QJsonDocument writes it (plus "\/"): the byte form the fast writer must keep.
QByteArray referenceEncoding(const kitewell::SyncStateFile& state);

} // namespace testsupport
