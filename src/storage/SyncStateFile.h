#pragma once

#include "storage/SyncRecord.h"

#include <QByteArray>
#include <QMap>
#include <QString>

#include <functional>

namespace kitewell {

// The per-photo sync memory of every album, stored as "sync-state.json".
struct SyncStateFile {
    // Keyed by recordKey(eventId, photoId), in the order of the keys' UTF-16 code units: the
    // order in which QJsonObject keeps them, and so the order of the file.
    QMap<QString, SyncRecord> records;

    // The key of a photo's record: album id, ":", photo id.
    static QString recordKey(const QString& eventId, const QString& photoId) {
        return eventId + u':' + photoId;
    }

    // Compact JSON, members in a fixed order (that of QJsonObject, so the bytes are
    // reproducible), absent fingerprints left out, "/" written as "\/". Written directly
    // rather than through QJsonObject: the file is rewritten after every upload.
    QByteArray encode() const;
    // The same bytes as encode(), handed to `sink` piece by piece as they are made, so a
    // large state is written out without being held in memory whole.
    using ByteSink = std::function<void(const char* data, qsizetype size)>;
    void encodeTo(const ByteSink& sink) const;
    // Throws json::DecodingError when the document, "records" or any record does not
    // decode; there is no partial result. Unknown keys are ignored.
    static SyncStateFile decode(const QByteArray& bytes);

    bool operator==(const SyncStateFile&) const = default;
};

} // namespace kitewell
