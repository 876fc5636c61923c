// What a hostile or careless party must never get: the session token stays in the
// credential store and in the requests to the service's own origin, never in a file and
// never on a redirect to another origin; and whatever ids, names and URLs the service
// sends, the program writes only inside the folders the user chose.

#include "AlbumService.h"
#include "app/SyncViewModel.h"
#include "client/KitewellAPI.h"
#include "credentials/KeychainStore.h"
#include "platform/FolderBookmark.h"
#include "storage/SyncStorage.h"
#include "support/Files.h"
#include "support/Outcome.h"
#include "sync/SyncEngine.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

using namespace kitewell;
using namespace testsupport;
using namespace Qt::StringLiterals;
using albumservice::AlbumService;
using albumservice::Endpoint;
using albumservice::Fault;

namespace {

const QString kEmail = u"photographer@kitewell.local"_s;
const QString kPassword = u"correct horse/battery"_s;
const QString kEvent = u"evt-security"_s;
const QString kInvalid = u"服务器返回的数据无法识别。"_s;

// A retouched file, older than the two seconds in which it counts as still being written.
void writeAgedFile(const QString& path, const QByteArray& bytes) {
    if (!writeFile(path, bytes) || !setModifiedSecondsAgo(path, 60))
        qFatal("cannot write %s", qPrintable(path));
}

// Every entry under root (folders too), relative, sorted.
QStringList everything(const QString& root) {
    QStringList found;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        found.append(QDir(root).relativeFilePath(it.next()));
    found.sort();
    return found;
}

albumservice::Photo servedPhoto(const QString& id, const QString& name) {
    albumservice::Photo photo;
    photo.id = id;
    photo.name = name;
    return photo;
}

// The places a session writes to, each a few levels down inside one sandbox, so that any
// "../" that escaped a chosen folder would still land inside the sandbox, where it is seen.
struct Sandbox {
    QTemporaryDir root;
    QString originals = root.filePath(u"home/user/Pictures/originals"_s);
    QString effects = root.filePath(u"home/user/Pictures/retouched"_s);
    QString data = root.filePath(u"home/user/.local/share"_s);
    QString temporary = root.filePath(u"tmp"_s);

    Sandbox() {
        for (const QString& folder : {originals, effects, data, temporary})
            QDir().mkpath(folder);
    }
    // Everything outside the chosen folders and the data folder.
    QStringList outside() const {
        QStringList rest = everything(root.path());
        rest.removeIf([this](const QString& entry) {
            const QString path = root.filePath(entry);
            for (const QString& mine : {originals, effects, SyncStorage::supportDirectory()})
                if (path == mine || path.startsWith(mine + u'/'))
                    return true;
            return false;
        });
        return rest;
    }
};

} // namespace

class SecurityTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void tokenLeavesNoTraceAfterASession();
    void authenticatedRedirectsStayHome_data();
    void authenticatedRedirectsStayHome();
    void downloadRedirectsCarryNothing();
    void hostileAnswersStayInside_data();
    void hostileAnswersStayInside();

private:
    std::unique_ptr<AlbumService> service;
    std::unique_ptr<Sandbox> sandbox;
    QByteArray savedTemporary;
};

void SecurityTest::init() {
    service = std::make_unique<AlbumService>();
    QVERIFY(service->listen());
    service->addAccount({u"acc-9"_s, kEmail, u"摄影师"_s, kPassword});
    service->addEvent({kEvent, u"发布会"_s, u"photographer"_s});
    service->addPhoto(kEvent, servedPhoto(u"p1"_s, u"IMG_1.JPG"_s), 20'000);
    service->addPhoto(kEvent, servedPhoto(u"p2"_s, u"IMG_2.JPG"_s), 20'000);

    sandbox = std::make_unique<Sandbox>();
    QVERIFY(sandbox->root.isValid());
    savedTemporary = qgetenv("TMPDIR");
    // Temporary files of this process, Qt's included, land where the scan below looks.
    qputenv("TMPDIR", QFile::encodeName(sandbox->temporary));
    qputenv("XDG_DATA_HOME", QFile::encodeName(sandbox->data));
    QVERIFY(SyncStorage::supportDirectory().startsWith(sandbox->data));
}

void SecurityTest::cleanup() {
    if (savedTemporary.isNull())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", savedTemporary);
    qunsetenv("XDG_DATA_HOME");
    sandbox.reset();
    service.reset();
}

void SecurityTest::tokenLeavesNoTraceAfterASession() {
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        QSKIP("needs the private Secret Service that scripts/test starts");
    KeychainStore::deleteToken();

    SyncViewModel::Options options;
    options.folderPicker = [this](const QString& title, const QString&) -> std::optional<QString> {
        return title.contains(u"原图"_s) ? sandbox->originals : sandbox->effects;
    };
    options.restoreAtStart = false;
    options.serviceOrigin = service->baseUrl().toString();
    SyncViewModel model(options);
    SyncSettings chosen = model.settings();
    chosen.autoSyncEnabled = false; // passes are started here, one at a time
    chosen.autoPublishEffects = true;
    model.setSettings(chosen);

    model.setEmail(kEmail);
    model.setPassword(kPassword);
    QVERIFY(outcomeOf(model.signIn()).ok());
    QVERIFY2(model.account().has_value(), qPrintable(model.message()));
    const std::optional<QString> token = KeychainStore::readToken();
    QVERIFY(token && token->size() >= 16);
    model.chooseFolder(FolderKind::original);
    model.chooseFolder(FolderKind::effect);
    QCOMPARE(model.settings().eventId, std::optional(kEvent));

    QVERIFY(outcomeOf(model.synchronize(false, false)).ok());
    QCOMPARE(tree(sandbox->originals).size(), 2);
    writeAgedFile(sandbox->effects + u"/发布会--evt-secu/p1__IMG_1-精修.jpg"_s, "retouched");
    QVERIFY(outcomeOf(model.synchronize(true, false)).ok());
    QCOMPARE(model.message(), u"同步完成：回传精修图 1 张，发布 1 张。"_s);
    QCOMPARE(service->versions().size(), 1);
    model.logout();
    QVERIFY(!KeychainStore::readToken());

    // The token did travel, to the service's own origin only...
    const QByteArray bearer = "Bearer " + token->toUtf8();
    int carried = 0;
    for (const auto& request : service->requests()) {
        if (request.endpoint == Endpoint::Original || request.endpoint == Endpoint::SignIn)
            QVERIFY(!request.header("Authorization"));
        else
            carried += request.header("Authorization") == bearer;
    }
    QVERIFY(carried >= 4); // bootstrap, two workspaces, upload, publish

    // ...and no file anywhere in the sandbox (data folder, album folders, temporary folder)
    // holds it in any form.
    const QList<QByteArray> forms{
        token->toUtf8(), token->toUtf8().toBase64(),
        QByteArray(reinterpret_cast<const char*>(token->utf16()), token->size() * 2)};
    const QStringList written = tree(sandbox->root.path());
    QVERIFY(written.contains(u"home/user/.local/share/鸢井同步助手/settings.json"_s));
    QVERIFY(written.contains(u"home/user/.local/share/鸢井同步助手/sync-state.json"_s));
    for (const QString& file : written) {
        const QByteArray bytes = readFile(sandbox->root.filePath(file));
        for (const QByteArray& form : forms)
            QVERIFY2(!bytes.contains(form), qPrintable(u"the token is in "_s + file));
    }
}

void SecurityTest::authenticatedRedirectsStayHome_data() {
    QTest::addColumn<int>("endpoint");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>(
        "target"); // "port": another service; "host": this one by another name; "scheme": https

    const QList<QPair<const char*, Endpoint>> calls{{"sign-in", Endpoint::SignIn},
                                                    {"bootstrap", Endpoint::Bootstrap},
                                                    {"workspace", Endpoint::Workspace},
                                                    {"upload", Endpoint::UploadVersion},
                                                    {"publish", Endpoint::Publish}};
    for (const auto& [name, endpoint] : calls) {
        for (int status : {301, 302, 303, 307, 308})
            QTest::addRow("%s %d to another port", name, status) << int(endpoint) << status << u"port"_s;
        QTest::addRow("%s to another host name", name) << int(endpoint) << 307 << u"host"_s;
        QTest::addRow("%s to https", name) << int(endpoint) << 307 << u"scheme"_s;
    }
}

void SecurityTest::authenticatedRedirectsStayHome() {
    QFETCH(int, endpoint);
    QFETCH(int, status);
    QFETCH(QString, target);

    AlbumService elsewhere;
    QVERIFY(elsewhere.listen());
    elsewhere.addAccount({u"acc-9"_s, kEmail, u"x"_s, kPassword});
    const QString token = service->issueToken(kEmail);
    QString origin = elsewhere.baseUrl().toString();
    if (target == u"host"_s)
        origin = u"http://localhost:"_s + QString::number(service->port());
    if (target == u"scheme"_s)
        origin = u"https://127.0.0.1:"_s + QString::number(elsewhere.port());
    Fault away;
    away.redirectTo = QUrl(origin + u"/api/publisher/bootstrap"_s);
    away.redirectStatus = status;
    service->setFault(Endpoint(endpoint), away);

    const QString retouched = sandbox->effects + u"/p1__x.jpg"_s;
    writeAgedFile(retouched, "retouched bytes");
    KitewellAPI api(service->baseUrl().toString(), token);
    std::optional<Failure> failure;
    switch (Endpoint(endpoint)) {
    case Endpoint::SignIn:
        failure = outcomeOf(api.signIn(kEmail, kPassword)).failure;
        break;
    case Endpoint::Bootstrap:
        failure = outcomeOf(api.bootstrap()).failure;
        break;
    case Endpoint::Workspace:
        failure = outcomeOf(api.eventWorkspace(kEvent)).failure;
        break;
    case Endpoint::UploadVersion:
        failure = outcomeOf(api.uploadEffect(kEvent, u"p1"_s, retouched)).failure;
        break;
    default:
        failure = outcomeOf(api.publishEffect(kEvent, u"p1"_s)).failure;
        break;
    }
    QVERIFY2(failure.has_value(), "the redirected call succeeded");
    QCOMPARE(failure->kind, Failure::Kind::Transport);
    QCOMPARE(failure->text, u"Insecure redirect"_s);
    // Not followed at all: the other origin saw nothing, this one only the first request.
    QCOMPARE(elsewhere.requests().size(), 0);
    QCOMPARE(service->requests().size(), 1);
}

void SecurityTest::downloadRedirectsCarryNothing() {
    // The original's URL is the service's to choose: a download may go anywhere on the web,
    // but it never carries the token (nor any other header of ours).
    AlbumService elsewhere;
    QVERIFY(elsewhere.listen());
    elsewhere.addEvent({kEvent, u"x"_s, std::nullopt});
    elsewhere.addPhoto(kEvent, servedPhoto(u"p1"_s, u"IMG_1.JPG"_s), 5'000);
    Fault away;
    away.redirectTo = elsewhere.originalUrl(kEvent, u"p1"_s);
    service->setFault(Endpoint::Original, away);

    KitewellAPI api(service->baseUrl().toString(), service->issueToken(kEmail));
    const QString destination = sandbox->originals + u"/p1__IMG_1.JPG"_s;
    const auto followed = outcomeOf(api.downloadOriginal(service->originalUrl(kEvent, u"p1"_s), destination));
    QVERIFY2(followed.ok(), qPrintable(followed.errorText()));
    QCOMPARE(readFile(destination), elsewhere.photos(kEvent).first().jpeg);
    QCOMPARE(elsewhere.requests().size(), 1);
    QVERIFY(!elsewhere.requests().first().header("Authorization"));

    // A redirect to a local file is refused, and nothing is written.
    for (const QString& local : {u"file:///etc/passwd"_s, u"file:escape.jpg"_s}) {
        away.redirectTo = QUrl(local);
        service->setFault(Endpoint::Original, away);
        const QString other = sandbox->originals + u"/p2__IMG_2.JPG"_s;
        QCOMPARE(outcomeOf(api.downloadOriginal(service->originalUrl(kEvent, u"p2"_s), other)).errorText(),
                 kInvalid);
        QCOMPARE(tree(sandbox->originals), QStringList{u"p1__IMG_1.JPG"_s});
    }
}

void SecurityTest::hostileAnswersStayInside_data() {
    QTest::addColumn<QString>("eventId"); // the album's id in the answer
    QTest::addColumn<QString>("title");   // the album's title in the answer
    QTest::addColumn<QString>("photoId");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("url");      // "" : the service's own URL of p1's original
    QTest::addColumn<QString>("expected"); // the error; empty: the pass succeeds
    QTest::addColumn<QString>("landsAt");  // on success, where the original lands

    const QString ok = u"p1"_s;
    const QString megabytes(10 * 1024 * 1024, u'a');
    const QString cjkMegabytes(10 * 1024 * 1024, u'鸢');
    const QString tooLong = u"File name too long"_s;

    QTest::newRow("photo id climbing out") << kEvent << u"发布会"_s << u"../../../../escape"_s << u"x.jpg"_s
                                           << QString() << kInvalid << QString();
    QTest::newRow("photo id dot-dot")
        << kEvent << u"发布会"_s << u".."_s << u"x.jpg"_s << QString() << kInvalid << QString();
    QTest::newRow("photo id absolute")
        << kEvent << u"发布会"_s << u"/tmp/escape"_s << u"x.jpg"_s << QString() << kInvalid << QString();
    QTest::newRow("photo id with NUL")
        << kEvent << u"发布会"_s << u"p1\0x"_s << u"x.jpg"_s << QString() << kInvalid << QString();
    QTest::newRow("photo name with NUL")
        << kEvent << u"发布会"_s << ok << u"x\0.jpg"_s << QString() << kInvalid << QString();
    QTest::newRow("photo name climbing out")
        << kEvent << u"发布会"_s << ok << u"../../../../escape.jpg"_s << QString() << QString()
        << u"发布会--evt-secu/p1__..-..-..-..-escape.jpg"_s;
    QTest::newRow("title climbing out") << kEvent << u"../../../escape"_s << ok << u"x.jpg"_s << QString()
                                        << QString() << u"..-..-..-escape--evt-secu/p1__x.jpg"_s;
    QTest::newRow("album id climbing out")
        << u"../../../../x"_s << u"发布会"_s << ok << u"x.jpg"_s << QString() << kInvalid << QString();
    QTest::newRow("album id with NUL")
        << u"e\0vil"_s << u"发布会"_s << ok << u"x.jpg"_s << QString() << kInvalid << QString();
    QTest::newRow("file URL") << kEvent << u"发布会"_s << ok << u"x.jpg"_s << u"file:///etc/passwd"_s
                              << kInvalid << QString();
    QTest::newRow("relative file URL")
        << kEvent << u"发布会"_s << ok << u"x.jpg"_s << u"file:escape.jpg"_s << kInvalid << QString();
    QTest::newRow("ftp URL") << kEvent << u"发布会"_s << ok << u"x.jpg"_s << u"ftp://127.0.0.1/x.jpg"_s
                             << kInvalid << QString();
    QTest::newRow("data URL") << kEvent << u"发布会"_s << ok << u"x.jpg"_s << u"data:image/jpeg;base64,AAAA"_s
                              << kInvalid << QString();
    QTest::newRow("URL without scheme")
        << kEvent << u"发布会"_s << ok << u"x.jpg"_s << u"/originals/evt/p1"_s << kInvalid << QString();
    QTest::newRow("URL without host")
        << kEvent << u"发布会"_s << ok << u"x.jpg"_s << u"http:///etc/passwd"_s << kInvalid << QString();
    QTest::newRow("URL with NUL") << kEvent << u"发布会"_s << ok << u"x.jpg"_s << u"http://127.0.0.1/\0x"_s
                                  << kInvalid << QString();
    QTest::newRow("10 MB title") << kEvent << megabytes << ok << u"x.jpg"_s << QString() << QString()
                                 << QString(160, u'a') + u"--evt-secu/p1__x.jpg"_s;
    QTest::newRow("10 MB title in Chinese")
        << kEvent << cjkMegabytes << ok << u"x.jpg"_s << QString() << tooLong << QString();
    QTest::newRow("10 MB photo name") << kEvent << u"发布会"_s << ok << megabytes << QString() << QString()
                                      << u"发布会--evt-secu/p1__"_s + QString(160, u'a') + u".jpg"_s;
    QTest::newRow("10 MB photo id") << kEvent << u"发布会"_s << megabytes << u"x.jpg"_s << QString()
                                    << tooLong << QString();
}

void SecurityTest::hostileAnswersStayInside() {
    QFETCH(QString, eventId);
    QFETCH(QString, title);
    QFETCH(QString, photoId);
    QFETCH(QString, name);
    QFETCH(QString, url);
    QFETCH(QString, expected);
    QFETCH(QString, landsAt);

    const QJsonObject photo{
        {u"id"_s, photoId},
        {u"name"_s, name},
        {u"originalUrl"_s, url.isEmpty() ? service->originalUrl(kEvent, u"p1"_s).toString() : url}};
    const QJsonObject workspace{
        {u"event"_s, QJsonObject{{u"id"_s, eventId}, {u"title"_s, title}}},
        {u"photos"_s, QJsonArray{photo}},
        {u"permissions"_s, QJsonObject{{u"canManageAllPhotos"_s, true}, {u"canUpload"_s, true}}}};
    Fault hostile;
    hostile.status = 200;
    hostile.body = QJsonDocument(workspace).toJson(QJsonDocument::Compact);
    service->setFault(Endpoint::Workspace, hostile);

    SyncSettings settings;
    settings.eventId = kEvent;
    settings.originalDirectoryBookmark = FolderBookmark::create(sandbox->originals);
    settings.effectDirectoryBookmark = FolderBookmark::create(sandbox->effects);
    const QStringList outsideBefore = sandbox->outside();

    KitewellAPI api(service->baseUrl().toString(), service->issueToken(kEmail));
    SyncEngine engine(api);
    const auto outcome = outcomeOf(engine.synchronize(settings, true));

    QCOMPARE(sandbox->outside(), outsideBefore);
    if (expected.isEmpty()) {
        QVERIFY2(outcome.ok(), qPrintable(outcome.errorText()));
        QCOMPARE(tree(sandbox->originals), QStringList{landsAt});
        QCOMPARE(readFile(sandbox->originals + u'/' + landsAt), service->photos(kEvent).first().jpeg);
    } else {
        QCOMPARE(outcome.errorText(), expected);
        QCOMPARE(tree(sandbox->originals), QStringList());
        QCOMPARE(tree(sandbox->effects), QStringList());
        QVERIFY(!QFile::exists(SyncStorage::statePath()));
    }
}

QTEST_GUILESS_MAIN(SecurityTest)
#include "tst_security.moc"
