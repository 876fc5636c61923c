#include "support/StateReference.h"

#include "model/Json.h"

#include <QJsonObject>

namespace testsupport {

QByteArray referenceEncoding(const kitewell::SyncStateFile& state) {
    QJsonObject records;
    for (auto it = state.records.cbegin(); it != state.records.cend(); ++it) {
        QJsonObject object{{"photoId", it->photoId},
                           {"eventId", it->eventId},
                           {"originalRelativePath", it->originalRelativePath}};
        if (it->lastUploadedEffectFingerprint)
            object.insert("lastUploadedEffectFingerprint", *it->lastUploadedEffectFingerprint);
        if (it->lastPublishedEffectFingerprint)
            object.insert("lastPublishedEffectFingerprint", *it->lastPublishedEffectFingerprint);
        records.insert(it.key(), object);
    }
    return kitewell::json::encodeCompact(QJsonObject{{"records", records}});
}

} // namespace testsupport
