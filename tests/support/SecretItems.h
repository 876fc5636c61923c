#pragma once

// Secret Service items written and read through libsecret directly, the way any other
// client of the service would see them.

#include <QByteArray>
#include <QList>
#include <QMap>

namespace testsupport {

struct StoredSecret {
    QByteArray value;
    QMap<QByteArray, QByteArray> attributes;
    bool inDefaultCollection = false;
};

// Whether the session has a Secret Service with a default collection.
bool secretServiceReady();
// Every item in any collection carrying these two attribute values (and maybe others).
QList<StoredSecret> secretItems(const QByteArray& service, const QByteArray& account);
// Adds a new item to the default collection even when a matching one exists, as another writer could.
bool createSecretItem(const QByteArray& service, const QByteArray& account, const QByteArray& value);
void removeSecretItems(const QByteArray& service, const QByteArray& account);

} // namespace testsupport
