#pragma once

// What the crash-safety child saves in each round, known to the test as well: the state
// and the settings of round n, and how to tell the round back from a decoded file. Sizes
// change from round to round, so a file mixed from two rounds cannot pass for either.

#include "storage/SyncSettings.h"
#include "storage/SyncStateFile.h"

#include <QString>

#include <array>
#include <optional>

namespace saverounds {

using namespace Qt::StringLiterals;

// Seven sizes of state, each made once when first needed; a round adds its own number.
inline const kitewell::SyncStateFile& baseState(int size) {
    static std::array<std::optional<kitewell::SyncStateFile>, 7> made;
    std::optional<kitewell::SyncStateFile>& base = made[size_t(size)];
    if (!base) {
        base.emplace();
        const int photos = 120 + size * 70;
        for (int i = 0; i < photos; ++i) {
            const QString photo = u"p"_s + QString::number(i);
            const QString uploaded = QString::number(1000 + i) + u'-' + QString::number(1700000000 + size);
            base->records.insert(
                kitewell::SyncStateFile::recordKey(u"evt-crash"_s, photo),
                {photo, u"evt-crash"_s,
                 u"婚礼/现场--evt-cras/"_s + photo + u"__IMG_"_s + QString::number(i) + u".JPG"_s, uploaded,
                 i % 3 == 0 ? std::optional(uploaded) : std::nullopt});
        }
    }
    return *base;
}

inline kitewell::SyncStateFile stateOfRound(int round) {
    kitewell::SyncStateFile state = baseState(round % 7);
    state.records.insert(u"round"_s,
                         {u"round"_s, u"round"_s, QString::number(round), std::nullopt, std::nullopt});
    return state;
}

inline std::optional<int> roundOfState(const kitewell::SyncStateFile& state) {
    bool ok = false;
    const int round = state.records.value(u"round"_s).originalRelativePath.toInt(&ok);
    return ok ? std::optional(round) : std::nullopt;
}

inline kitewell::SyncSettings settingsOfRound(int round) {
    kitewell::SyncSettings settings;
    settings.baseURL = u"https://kitewell.example"_s;
    settings.originalDirectoryBookmark = QByteArray(20 + round % 40, char('a' + round % 26));
    if (round % 2)
        settings.effectDirectoryBookmark = QByteArray(64, char(round % 256));
    settings.eventId = u"evt-crash"_s;
    settings.eventTitle = QString::number(round);
    settings.autoSyncEnabled = round % 3 != 0;
    settings.autoUploadEffects = round % 2 == 0;
    settings.autoPublishEffects = round % 5 == 0;
    return settings;
}

inline std::optional<int> roundOfSettings(const kitewell::SyncSettings& settings) {
    bool ok = false;
    const int round = settings.eventTitle.value_or(QString()).toInt(&ok);
    return ok ? std::optional(round) : std::nullopt;
}

} // namespace saverounds
