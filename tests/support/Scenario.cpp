#include "support/Scenario.h"

#include "sync/Naming.h"

#include <QDir>
#include <QFileInfo>
#include <QTest>

namespace testsupport {

using kitewell::SyncRecord;
using kitewell::SyncStateFile;
using kitewell::SyncStorage;

Scenario::Scenario(const QString& sandboxTemplate)
    : service(startService()), sandbox(sandboxTemplate), token(service->issueToken(kEmail)),
      baseUrl(service->baseUrl().toString()), settings(sandbox.settings(kEventId)) {
    service->addEvent({kEventId, u"婚礼/彩排"_s, u"retoucher"_s});
    addPhoto(u"p1"_s, u"IMG_1.JPG"_s);
    addPhoto(u"p2"_s, u"新娘:入场"_s, 200'000);
    addPhoto(u"p3"_s, std::nullopt);
    service->addPhoto(kEventId, {.id = u"p4"_s, .name = u"clip.mov"_s, .hasOriginal = false});
    QObject::connect(service.get(), &AlbumService::requestReceived, service.get(),
                     [this](const auto& request) {
                         if (m_hook && request.endpoint == m_hookEndpoint)
                             m_hook(request);
                     });
    m_savedTemporary = qgetenv("TMPDIR");
    QDir().mkpath(sandbox.root.filePath(u"tmp"_s));
    qputenv("TMPDIR", QFile::encodeName(sandbox.root.filePath(u"tmp"_s)));
    m_outside = outside();
}

Scenario::~Scenario() {
    qputenv("TMPDIR", m_savedTemporary);
}

QStringList Scenario::outside() const {
    const QStringList chosen{sandbox.originals, sandbox.effects, SyncStorage::supportDirectory()};
    QStringList rest = allEntries(sandbox.root.path());
    rest.removeIf([&](const QString& path) {
        return std::ranges::any_of(
            chosen, [&](const QString& folder) { return path == folder || path.startsWith(folder + u'/'); });
    });
    return rest;
}

Outcome<kitewell::SyncResult> Scenario::syncOnce(bool includeEffects) {
    kitewell::KitewellAPI api(baseUrl, token);
    kitewell::SyncEngine engine(api, folders);
    auto outcome = outcomeOf(engine.synchronize(settings, includeEffects));
    // A record's path is the photo's place for good, whatever the photo is called later.
    if (outcome.ok()) {
        for (const albumservice::Photo& photo : candidates())
            m_places.insert(photo.id, place(photo.id));
    }
    return outcome;
}

QString Scenario::place(const QString& photoId) const {
    const auto photos = candidates();
    const auto served = std::ranges::find(photos, photoId, &albumservice::Photo::id);
    if (m_places.contains(photoId) || served == photos.end())
        return m_places.value(photoId);
    kitewell::Photo photo;
    photo.id = served->id;
    photo.name = served->name;
    return albumFolder + u'/' + kitewell::naming::downloadFileName(photo);
}

QList<albumservice::Photo> Scenario::candidates() const {
    QList<albumservice::Photo> photos = service->photos(kEventId);
    photos.removeIf([](const albumservice::Photo& photo) { return !photo.hasOriginal; });
    return photos;
}

QHash<QString, QString> Scenario::retouchedFiles() const {
    QHash<QString, QString> files;
    const QDir folder(sandbox.effects + u'/' + kAlbumFolder);
    for (const QFileInfo& file : folder.entryInfoList({u"*__*.jpg"_s, u"*__*.jpeg"_s}, QDir::Files))
        files.insert(file.fileName().section(u"__"_s, 0, 0), file.filePath());
    return files;
}

SyncStateFile Scenario::expectedState(Stage stage) const {
    SyncStateFile expected = planted;
    if (stage == Stage::Nothing)
        return expected;
    for (const albumservice::Photo& photo : candidates()) {
        SyncRecord record = planted.records.value(SyncStateFile::recordKey(kEventId, photo.id));
        record.photoId = photo.id;
        record.eventId = kEventId;
        record.originalRelativePath = place(photo.id);
        expected.records.insert(SyncStateFile::recordKey(kEventId, photo.id), record);
    }
    if (stage == Stage::Originals)
        return expected;
    for (const auto& [photoId, file] : retouchedFiles().asKeyValueRange()) {
        SyncRecord& record = expected.records[SyncStateFile::recordKey(kEventId, photoId)];
        record.lastUploadedEffectFingerprint = fingerprintOf(file);
        if (stage == Stage::Published)
            record.lastPublishedEffectFingerprint = record.lastUploadedEffectFingerprint;
    }
    return expected;
}

void Scenario::verifyState(Stage stage) const {
    if (stage == Stage::Nothing && planted.records.isEmpty()) {
        QVERIFY2(!QFileInfo(SyncStorage::statePath()).isFile(), "a state file was saved");
        return;
    }
    QVERIFY2(state() == expectedState(stage), readFile(SyncStorage::statePath()).left(2000).constData());
}

void Scenario::verifyNoLeftovers() const {
    QCOMPARE(outside(), m_outside);
    QHash<QString, QByteArray> originals;
    for (const albumservice::Photo& photo : candidates())
        originals.insert(place(photo.id), photo.jpeg);
    for (const QString& file : tree(sandbox.originals)) {
        QVERIFY2(originals.contains(file), qPrintable(u"unexpected file "_s + file));
        QVERIFY2(readFile(sandbox.originals + u'/' + file) == originals.value(file),
                 qPrintable(u"partial file "_s + file));
    }
    for (const QString& file : tree(sandbox.root.path())) {
        const bool halfDone =
            file.endsWith(u".download"_s) || file.contains(u".tmp-"_s) || file.contains(u".corrupt-"_s);
        QVERIFY2(!halfDone, qPrintable(u"left behind: "_s + file));
    }
}

void Scenario::verifyConverged(bool includeEffects) {
    verifyNoLeftovers(); // every original on disk is a candidate's, whole: so all of them are there
    QCOMPARE(tree(sandbox.originals).size(), candidates().size());
    const bool publish = settings.autoPublishEffects;
    verifyState(!includeEffects ? Stage::Originals : publish ? Stage::Published : Stage::Uploaded);
    // The service holds each retouched file as its photo's latest version (unless it was sent before).
    const auto versions = service->versions();
    for (const auto& [photoId, file] :
         (includeEffects ? retouchedFiles() : QHash<QString, QString>()).asKeyValueRange()) {
        QByteArray latest;
        for (const albumservice::ReceivedVersion& version : versions)
            latest = version.photoId == photoId ? version.bytes : latest;
        const auto before = planted.records.value(SyncStateFile::recordKey(kEventId, photoId));
        const bool sentBefore = before.lastUploadedEffectFingerprint == fingerprintOf(file);
        QVERIFY2(sentBefore || latest == readFile(file), qPrintable(file));
    }

    const qsizetype requestsBefore = service->requests().size();
    const SyncStateFile before = state();
    const auto again = syncOnce(includeEffects);
    QVERIFY2(again.ok(), qPrintable(again.errorText()));
    QCOMPARE(*again.value, (kitewell::SyncResult{0, 0, 0, again.value->unmatchedEffects}));
    QCOMPARE(service->requests().size(), requestsBefore + 1); // the workspace, nothing else
    QVERIFY(state() == before);
}

} // namespace testsupport
