#pragma once

// One album, its service and its two folders, in the manner of a fake folder: a suite
// changes the service side or the local side, runs a pass with syncOnce(), and states in one
// line that everything has converged:
//
//   Scenario f;
//   f.writeRetouched(u"p1__edit.jpg"_s, "bytes");
//   QVERIFY(f.syncOnce().ok());
//   f.verifyConverged();

#include "support/Files.h"
#include "support/Fixture.h"

#include "client/SyncClientError.h"

#include "storage/SyncStorage.h"

#include <QTest>

#include <functional>

namespace testsupport {

// Expected failures, compared by kind, case and code (never by text).
inline Failure fileError(int code) {
    return {Failure::Kind::FileSystem, {}, std::nullopt, code};
}
inline Failure transportFailure(kitewell::TransportError::Kind kind) {
    return {Failure::Kind::Transport, {}, std::nullopt, int(kind)};
}
inline Failure clientFailure(kitewell::SyncClientError::Case errorCase) {
    return {Failure::Kind::Client, {}, errorCase, 0};
}
inline bool sameFailure(const std::optional<Failure>& a, const std::optional<Failure>& b) {
    return a.has_value() == b.has_value() &&
           (!a || (a->kind == b->kind && a->clientCase == b->clientCase && a->code == b->code));
}

// A data-driven test's rows as a table of structs, each named by its `name`; the test body
// takes its row with QFETCH(Row, row).
template <typename Row> void addRows(std::initializer_list<Row> rows) {
    QTest::addColumn<Row>("row");
    for (const Row& row : rows)
        QTest::newRow(row.name) << row;
}

// The album every scenario starts with, and the folder name its title and id give.
inline const QString kEventId = u"evt-2024-wedding"_s;
inline const QString kAlbumFolder = u"婚礼-彩排--evt-2024"_s;

class Scenario {
public:
    // How far a pass got, by what the state file holds for the album: nothing; the download
    // step's records; and every retouched file's upload; and its publication.
    enum class Stage { Nothing, Originals, Uploaded, Published };
    using RequestHook = std::function<void(const albumservice::RecordedRequest&)>;

    // The album "婚礼/彩排" with p1 "IMG_1.JPG", p2 "新娘:入场" (large enough to be cut mid-body),
    // p3 without a name and p4 without an original; both folders and the album chosen, a valid
    // token. The sandbox is made from the template when one is given; TMPDIR names a folder in
    // it while the scenario lives, so this process's temporary files land where the checks look.
    explicit Scenario(const QString& sandboxTemplate = {});
    ~Scenario();
    Scenario(const Scenario&) = delete;
    Scenario& operator=(const Scenario&) = delete;

    std::unique_ptr<AlbumService> service;
    Sandbox sandbox;
    QString token;
    QString baseUrl;
    kitewell::SyncSettings settings;
    std::shared_ptr<kitewell::FolderAccess> folders; // null: the real folder operations
    QString albumFolder = kAlbumFolder;              // where photos seen from now on go
    // Records the suite stored before the passes: every pass keeps those of other albums, and
    // this album's fingerprints until a file is sent.
    kitewell::SyncStateFile planted;

    // One pass to its end, with the settings and folders above.
    Outcome<kitewell::SyncResult> syncOnce(bool includeEffects = true);

    // The service side.
    void addPhoto(const QString& id, const std::optional<QString>& name, qsizetype size = 3000) {
        service->addPhoto(kEventId, photo(id, name), size);
    }
    void fault(Endpoint endpoint, const Fault& fault) { service->setFault(endpoint, fault); }
    // Called as each request to that endpoint arrives, before it is answered (one hook at a time;
    // an empty one removes it).
    void onRequestTo(Endpoint endpoint, RequestHook hook) {
        m_hookEndpoint = endpoint;
        m_hook = std::move(hook);
    }
    int requests(Endpoint endpoint) const { return int(service->requests(endpoint).size()); }

    // The local side.
    // Where the photo's original belongs.
    QString original(const QString& photoId) const { return sandbox.originals + u'/' + place(photoId); }
    // A file in the album's retouch folder.
    QString retouched(const QString& name) const {
        return sandbox.effects + u'/' + kAlbumFolder + u'/' + name;
    }
    // A retouched file, dated back past the seconds in which it counts as still being written.
    void writeRetouched(const QString& name, const QByteArray& bytes, int ageSeconds = 60) {
        writeAged(retouched(name), bytes, ageSeconds);
    }

    kitewell::SyncStateFile state() const { return kitewell::SyncStorage::loadState(); }
    kitewell::SyncStateFile expectedState(Stage stage) const;
    // The state file holds exactly what a pass that got that far saves.
    void verifyState(Stage stage) const;
    // Nothing written outside the chosen folders and the data folder (the sandbox's temporary
    // folder included), no staging, temporary or moved-aside file anywhere, and every original
    // on disk whole.
    void verifyNoLeftovers() const;
    // Every original on disk with the service's bytes, the records exactly as expected, every
    // retouched file sent and (when the switch says so) published, and a further pass with
    // nothing left to do: no counts, no request but the workspace, the same state.
    void verifyConverged(bool includeEffects = true);

private:
    QList<albumservice::Photo> candidates() const;
    // Each retouched file named after a candidate, by photo id.
    QHash<QString, QString> retouchedFiles() const;
    QString place(const QString& photoId) const; // relative to the originals folder
    QStringList outside() const;

    QHash<QString, QString> m_places; // of photos recorded by a pass
    RequestHook m_hook;
    Endpoint m_hookEndpoint = Endpoint::Unknown;
    QStringList m_outside; // as the scenario began
    QByteArray m_savedTemporary;
};

} // namespace testsupport
