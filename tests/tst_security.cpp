// What a hostile or careless party must never get: the session token stays in the
// credential store and in the requests to the service's own origin, never in a file and
// never on a redirect to another origin; and whatever ids, names and URLs the service
// sends, the program writes only inside the folders the user chose.

#include "app/SyncViewModel.h"
#include "credentials/KeychainStore.h"
#include "storage/SyncStorage.h"
#include "support/Files.h"
#include "support/Fixture.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace kitewell;
using namespace testsupport;

namespace {

const QString kEvent = u"evt-security"_s;

} // namespace

class SecurityTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void tokenLeavesNoTraceAfterASession();
    void authenticatedRedirectsStayHome_data();
    void authenticatedRedirectsStayHome();
    void downloadRedirects_data();
    void downloadRedirects();
    void hostileAnswersStayInside_data();
    void hostileAnswersStayInside();

private:
    // Everything in the sandbox outside the chosen folders and the data folder.
    QStringList outside() const;

    std::unique_ptr<AlbumService> service;
    std::unique_ptr<Sandbox> sandbox;
    QByteArray savedTemporary;
};

void SecurityTest::init() {
    service = startService();
    service->addEvent({kEvent, u"发布会"_s, u"photographer"_s});
    service->addPhoto(kEvent, photo(u"p1"_s, u"IMG_1.JPG"_s), 20'000);
    service->addPhoto(kEvent, photo(u"p2"_s, u"IMG_2.JPG"_s), 20'000);
    sandbox = std::make_unique<Sandbox>();
    // Temporary files of this process, Qt's included, land where the scans look.
    savedTemporary = qgetenv("TMPDIR");
    QVERIFY(QDir().mkpath(sandbox->root.filePath(u"tmp"_s)));
    qputenv("TMPDIR", QFile::encodeName(sandbox->root.filePath(u"tmp"_s)));
}

void SecurityTest::cleanup() {
    qputenv("TMPDIR", savedTemporary);
    sandbox.reset();
    service.reset();
}

QStringList SecurityTest::outside() const {
    QStringList rest;
    QDirIterator it(sandbox->root.path(),
                    QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const bool mine = std::ranges::any_of(
            QStringList{sandbox->originals, sandbox->effects, SyncStorage::supportDirectory()},
            [&](const QString& folder) { return path == folder || path.startsWith(folder + u'/'); });
        if (!mine)
            rest.append(path);
    }
    rest.sort();
    return rest;
}

void SecurityTest::tokenLeavesNoTraceAfterASession() {
    KeychainStore::deleteToken();
    SyncViewModel::Options options;
    options.folderPicker = [this](const QString& title, const QString&) -> std::optional<QString> {
        return title.contains(u"原图"_s) ? sandbox->originals : sandbox->effects;
    };
    options.restoreAtStart = false;
    options.serviceOrigin = service->baseUrl().toString();
    SyncViewModel model(options);
    model.setAutoSyncEnabled(false); // passes are started here, one at a time
    model.setAutoPublishEffects(true);

    model.setEmail(kEmail);
    model.setPassword(kPassword);
    QVERIFY(outcomeOf(model.signIn()).ok());
    const std::optional<QString> token = KeychainStore::readToken();
    QVERIFY2(token && token->size() >= 16, qPrintable(model.message()));
    model.chooseFolder(FolderKind::original);
    model.chooseFolder(FolderKind::effect);
    QVERIFY(outcomeOf(model.synchronize(false, false)).ok());
    writeAged(sandbox->effects + u"/发布会--evt-secu/p1__IMG_1-精修.jpg"_s, "retouched");
    QVERIFY(outcomeOf(model.synchronize(true, false)).ok());
    QCOMPARE(model.message(), u"同步完成：回传精修图 1 张，发布 1 张。"_s);
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
    QCOMPARE(carried, 5); // bootstrap, two workspaces, upload, publish

    // ...and no file anywhere in the sandbox (data folder, album folders, temporary folder)
    // holds it in any form.
    const QList<QByteArray> forms{
        token->toUtf8(), token->toUtf8().toBase64(),
        QByteArray(reinterpret_cast<const char*>(token->utf16()), token->size() * 2)};
    const QStringList written = tree(sandbox->root.path());
    QVERIFY(written.contains(u"home/user/.local/share/鸢井同步助手/sync-state.json"_s));
    QVERIFY(written.contains(u"home/user/.local/share/鸢井同步助手/settings.json"_s));
    for (const QString& file : written) {
        const QByteArray bytes = readFile(sandbox->root.filePath(file));
        for (const QByteArray& form : forms)
            QVERIFY2(!bytes.contains(form), qPrintable(u"the token is in "_s + file));
    }
}

void SecurityTest::authenticatedRedirectsStayHome_data() {
    QTest::addColumn<Endpoint>("endpoint");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("target"); // "port": another service; "host": this one by another name
    for (const auto& [name, endpoint] :
         {std::pair{"sign-in", Endpoint::SignIn}, std::pair{"bootstrap", Endpoint::Bootstrap},
          std::pair{"workspace", Endpoint::Workspace}, std::pair{"upload", Endpoint::UploadVersion},
          std::pair{"publish", Endpoint::Publish}})
        QTest::addRow("%s to another port", name) << endpoint << 307 << u"port"_s;
    for (int status : {301, 302, 303, 308})
        QTest::addRow("sign-in %d to another port", status) << Endpoint::SignIn << status << u"port"_s;
    QTest::newRow("bootstrap to another host name") << Endpoint::Bootstrap << 307 << u"host"_s;
    QTest::newRow("bootstrap to https") << Endpoint::Bootstrap << 307 << u"https"_s;
}

void SecurityTest::authenticatedRedirectsStayHome() {
    QFETCH(Endpoint, endpoint);
    QFETCH(int, status);
    QFETCH(QString, target);
    const auto elsewhere = startService();
    QString origin = elsewhere->baseUrl().toString();
    if (target == u"host"_s)
        origin = u"http://localhost:"_s + QString::number(service->port());
    if (target == u"https"_s)
        origin = u"https://127.0.0.1:"_s + QString::number(elsewhere->port());
    service->setFault(endpoint, redirectFault(QUrl(origin + u"/api/publisher/bootstrap"_s), status));
    const QString retouched = sandbox->effects + u"/p1__x.jpg"_s;
    writeAged(retouched, "retouched bytes");

    KitewellAPI api(service->baseUrl().toString(), service->issueToken(kEmail));
    const auto failure = callEndpoint(api, endpoint, kEvent, u"p1"_s, retouched);
    QVERIFY2(failure.has_value(), "the redirected call succeeded");
    QCOMPARE(failure->kind, Failure::Kind::Transport);
    QCOMPARE(failure->text, u"Insecure redirect"_s);
    // Not followed at all: the other origin saw nothing, this one only the first request.
    QCOMPARE(elsewhere->requests().size(), 0);
    QCOMPARE(service->requests().size(), 1);
}

void SecurityTest::downloadRedirects_data() {
    // The original's URL is the service's to choose: a download may go anywhere on the web,
    // but it never carries the token (nor any other header of ours), nor reads a local file.
    QTest::addColumn<QString>("location"); // "{other}" stands for another service's origin
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("expected"); // empty: the original arrives; "*": any error
    QTest::newRow("same origin") << u"/originals/evt-security/p2"_s << 1 << QString();
    QTest::newRow("other origin") << u"{other}/originals/evt-security/p1"_s << 1 << QString();
    QTest::newRow("local file") << u"file:///etc/passwd"_s << 1 << kInvalid;
    QTest::newRow("relative local file") << u"file:escape.jpg"_s << 1 << kInvalid;
    QTest::newRow("endless") << u"/originals/evt-security/p1"_s << -1 << u"*"_s;
}

void SecurityTest::downloadRedirects() {
    QFETCH(QString, location);
    QFETCH(int, count);
    QFETCH(QString, expected);
    const auto other = startService();
    other->addEvent({kEvent, u"x"_s, std::nullopt});
    other->addPhoto(kEvent, photo(u"p1"_s, u"IMG_1.JPG"_s), 5'000);
    Fault away = redirectFault(QUrl(location.replace(u"{other}"_s, other->baseUrl().toString())));
    away.count = count;
    service->setFault(Endpoint::Original, away);

    KitewellAPI api(service->baseUrl().toString(), service->issueToken(kEmail));
    const QString destination = sandbox->originals + u"/p1__IMG_1.JPG"_s;
    const auto outcome = outcomeOf(api.downloadOriginal(service->originalUrl(kEvent, u"p1"_s), destination));
    if (expected != u"*"_s)
        QCOMPARE(outcome.errorText(), expected);
    if (expected.isEmpty()) {
        const bool away = location.startsWith(u"http"_s);
        QCOMPARE(readFile(destination), (away ? *other : *service).photos(kEvent).at(away ? 0 : 1).jpeg);
        QCOMPARE(other->requests().size(), away ? 1 : 0);
        for (const auto& request : other->requests())
            QVERIFY(!request.header("Authorization"));
    } else {
        QVERIFY(!outcome.ok());
        QCOMPARE(tree(sandbox->originals), QStringList());
    }
}

void SecurityTest::hostileAnswersStayInside_data() {
    QTest::addColumn<QString>("eventId"); // the album's id in the answer
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("photoId");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("url");      // "" : the service's own URL of p1's original
    QTest::addColumn<QString>("expected"); // the error; empty: the pass succeeds
    QTest::addColumn<QString>("landsAt");  // on success, where the original lands

    const QString ok = u"p1"_s, title = u"发布会"_s, name = u"x.jpg"_s;
    const QString megabytes(10 * 1024 * 1024, u'a');
    const QString tooLong = u"File name too long"_s;
    auto row = [&](const char* label, const QString& eventId, const QString& albumTitle,
                   const QString& photoId, const QString& photoName, const QString& url,
                   const QString& expected, const QString& landsAt) {
        QTest::newRow(label) << eventId << albumTitle << photoId << photoName << url << expected << landsAt;
    };
    row("photo id climbing out", kEvent, title, u"../../../../escape"_s, name, {}, kInvalid, {});
    row("photo id dot-dot", kEvent, title, u".."_s, name, {}, kInvalid, {});
    row("photo id absolute", kEvent, title, u"/tmp/escape"_s, name, {}, kInvalid, {});
    row("photo id with NUL", kEvent, title, u"p1\0x"_s, name, {}, kInvalid, {});
    row("photo name with NUL", kEvent, title, ok, u"x\0.jpg"_s, {}, kInvalid, {});
    row("photo name climbing out", kEvent, title, ok, u"../../../../escape.jpg"_s, {}, {},
        u"发布会--evt-secu/p1__..-..-..-..-escape.jpg"_s);
    row("title climbing out", kEvent, u"../../../escape"_s, ok, name, {}, {},
        u"..-..-..-escape--evt-secu/p1__x.jpg"_s);
    row("album id climbing out", u"../../../../x"_s, title, ok, name, {}, kInvalid, {});
    row("album id with NUL", u"e\0vil"_s, title, ok, name, {}, kInvalid, {});
    row("file URL", kEvent, title, ok, name, u"file:///etc/passwd"_s, kInvalid, {});
    row("ftp URL", kEvent, title, ok, name, u"ftp://127.0.0.1/x.jpg"_s, kInvalid, {});
    row("URL without host", kEvent, title, ok, name, u"http:///etc/passwd"_s, kInvalid, {});
    row("URL with NUL", kEvent, title, ok, name, u"http://127.0.0.1/\0x"_s, kInvalid, {});
    row("10 MB title", kEvent, megabytes, ok, name, {}, {}, QString(160, u'a') + u"--evt-secu/p1__x.jpg"_s);
    row("10 MB title in Chinese", kEvent, QString(10 * 1024 * 1024, u'鸢'), ok, name, {}, tooLong, {});
    row("10 MB photo name", kEvent, title, ok, megabytes, {}, {},
        u"发布会--evt-secu/p1__"_s + QString(160, u'a') + u".jpg"_s);
    row("10 MB photo id", kEvent, title, megabytes, name, {}, tooLong, {});
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
    service->setFault(Endpoint::Workspace,
                      statusFault(200, QJsonDocument(workspace).toJson(QJsonDocument::Compact)));
    const QStringList outsideBefore = outside();

    const auto outcome =
        runPass(service->baseUrl().toString(), service->issueToken(kEmail), sandbox->settings(kEvent), true);
    QCOMPARE(outside(), outsideBefore);
    QCOMPARE(outcome.errorText(), expected);
    if (expected.isEmpty()) {
        QCOMPARE(tree(sandbox->originals), QStringList{landsAt});
        QCOMPARE(readFile(sandbox->originals + u'/' + landsAt), service->photos(kEvent).first().jpeg);
    } else {
        QCOMPARE(tree(sandbox->originals), QStringList());
        QCOMPARE(tree(sandbox->effects), QStringList());
        QVERIFY(!QFile::exists(SyncStorage::statePath()));
    }
}

QTEST_GUILESS_MAIN(SecurityTest)
#include "tst_security.moc"
