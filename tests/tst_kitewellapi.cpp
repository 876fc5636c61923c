// The service client against the local album service: the bytes on the wire, every
// validation outcome, token handling, transfers and their failures.

#include "client/SyncClientError.h"
#include "platform/Translations.h"
#include "support/Files.h"
#include "support/Fixture.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace kitewell;
using namespace testsupport;

namespace {

const QByteArray kAgent = "user-agent: KitewellDesktopSync/1.0";
const QByteArray kAcceptJson = "accept: application/json";

// The given headers as "name: value", in the order they arrived; absent ones are left out.
QList<QByteArray> framed(const albumservice::RecordedRequest& request,
                         const QList<QByteArray>& names = {"user-agent", "accept", "content-type", "origin",
                                                           "authorization"}) {
    QList<QByteArray> found;
    for (const auto& [name, value] : request.headers) {
        if (names.contains(name.toLower()))
            found.append(name.toLower() + ": " + value);
    }
    return found;
}

qsizetype openDescriptors() {
    return QDir(u"/proc/self/fd"_s).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).size();
}

} // namespace

class KitewellAPITest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();

    void baseUrlAndPaths_data();
    void baseUrlAndPaths();
    void validation_data();
    void validation();

    void requestFrames();
    void signInTokenChoice_data();
    void signInTokenChoice();
    void signInFailures();
    void bodyTokenIsSentLater();

    void identifiersEscapedInPath_data();
    void identifiersEscapedInPath();
    void missingTokenSendsNothing();

    void uploadBodyByteForByte();
    void uploadFailsOnUnreadableFileBeforeToken();
    void publishAnswers_data();
    void publishAnswers();

    void downloadReplacesDestinationOnlyWhenWhole();
    void timeLimits_data();
    void timeLimits();
    void cancellationStopsTransfer_data();
    void cancellationStopsTransfer();
    void transportErrorTexts_data();
    void transportErrorTexts();

private:
    std::unique_ptr<KitewellAPI> signedInClient() {
        return std::make_unique<KitewellAPI>(service->baseUrl().toString(), token);
    }
    // The endpoint's call for photo p-1; file: where a download lands, or what an upload sends.
    std::optional<Failure> call(KitewellAPI& api, Endpoint endpoint, const QString& file) {
        if (endpoint == Endpoint::Original)
            return outcomeOf(api.downloadOriginal(service->originalUrl(u"e-1"_s, u"p-1"_s), file)).failure;
        return callEndpoint(api, endpoint, u"e-1"_s, u"p-1"_s, file);
    }
    QString token;
    std::unique_ptr<AlbumService> service;
    QTemporaryDir folder;
};

void KitewellAPITest::initTestCase() {
    service = startService();
    service->addEvent({u"e-1"_s, u"婚礼"_s, u"photographer"_s});
    service->addPhoto(u"e-1"_s, photo(u"p-1"_s, u"IMG_1.JPG"_s), 200'000);
    token = service->issueToken(kEmail);
}

void KitewellAPITest::init() {
    service->clearFaults();
    service->clearRequests();
}

void KitewellAPITest::baseUrlAndPaths_data() {
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected"); // empty: the base URL is refused
    QTest::newRow("spaces and trailing slashes")
        << u"  \n https://api.kitewell.cn/// \t"_s << u"/api/x"_s << u"https://api.kitewell.cn/api/x"_s;
    QTest::newRow("port, no leading slash")
        << u"http://127.0.0.1:8080/"_s << u"api/x"_s << u"http://127.0.0.1:8080/api/x"_s;
    QTest::newRow("base path kept") << u"https://h.cn/v2//"_s << u"/api/x"_s << u"https://h.cn/v2/api/x"_s;
    QTest::newRow("second slash stays") << u"https://h.cn"_s << u"//api"_s << u"https://h.cn//api"_s;
    QTest::newRow("host only") << u"api.kitewell.cn"_s << QString() << QString();
    QTest::newRow("ftp") << u"ftp://h.cn"_s << QString() << QString();
    QTest::newRow("capital scheme") << u"HTTPS://h.cn"_s << QString() << QString();
    QTest::newRow("not a URL") << u"https://h.cn/a b"_s << QString() << QString();
}

void KitewellAPITest::baseUrlAndPaths() {
    QFETCH(QString, base);
    QFETCH(QString, path);
    QFETCH(QString, expected);
    try {
        const KitewellAPI api(base, std::nullopt);
        QVERIFY2(!expected.isEmpty(), "accepted a base URL that must be refused");
        QCOMPARE(api.url(path).toString(QUrl::FullyEncoded), expected);
    } catch (const SyncClientError& error) {
        QVERIFY2(expected.isEmpty(), qPrintable(error.description()));
        QCOMPARE(error.errorCase(), SyncClientError::Case::invalidServerURL);
        QCOMPARE(error.description(), u"服务器地址无效。"_s);
    }
}

void KitewellAPITest::validation_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("expected"); // empty: passes

    QTest::newRow("199") << 199 << QByteArray() << u"服务器返回 199。"_s;
    QTest::newRow("200") << 200 << QByteArray("garbage") << QString();
    QTest::newRow("299") << 299 << QByteArray() << QString();
    QTest::newRow("300") << 300 << QByteArray() << u"服务器返回 300。"_s;
    QTest::newRow("401 with error body")
        << 401 << QByteArray(R"({"error":"bad"})") << u"登录状态已失效，请重新登录。"_s;
    QTest::newRow("error beats message") << 500 << QByteArray(R"({"message":"m","error":"e"})") << u"e"_s;
    QTest::newRow("message only") << 500 << QByteArray(R"({"message":"维护中"})") << u"维护中"_s;
    QTest::newRow("empty error used") << 500 << QByteArray(R"({"error":"","message":"m"})") << QString();
    QTest::newRow("{}") << 500 << QByteArray("{}") << u"服务器返回 500。"_s;
    QTest::newRow("html") << 502 << QByteArray("<html>Bad Gateway</html>") << u"服务器返回 502。"_s;
    QTest::newRow("wrong type") << 400 << QByteArray(R"({"error":3})") << u"服务器返回 400。"_s;
}

void KitewellAPITest::validation() {
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, expected);
    const bool fails = status < 200 || status > 299;
    try {
        KitewellAPI::validated(status, body);
        QVERIFY(!fails);
    } catch (const SyncClientError& error) {
        QVERIFY(fails);
        QCOMPARE(error.description(), expected);
        QCOMPARE(error.errorCase(),
                 status == 401 ? SyncClientError::Case::unauthorized : SyncClientError::Case::server);
    }
}

void KitewellAPITest::requestFrames() {
    // Sign-in: JSON, the origin, no token.
    KitewellAPI api(service->baseUrl().toString() + u"///"_s, std::nullopt);
    const auto signedIn = outcomeOf(api.signIn(kEmail, kPassword));
    QVERIFY2(signedIn.ok(), qPrintable(signedIn.errorText()));
    const auto signIn = service->requests(Endpoint::SignIn).first();
    QCOMPARE(signIn.method + ' ' + signIn.target, QByteArray("POST /api/auth/sign-in/email"));
    QCOMPARE(framed(signIn), (QList<QByteArray>{kAgent, kAcceptJson, "content-type: application/json",
                                                "origin: " + service->baseUrl().toString().toUtf8()}));
    // One compact object with exactly the two members, slashes escaped as the encoder does.
    QCOMPARE(signIn.body.size(), 78);
    QVERIFY(signIn.body.contains(R"("password":"correct horse\/battery\"1")"));
    QVERIFY(signIn.body.contains(R"("email":"photographer@kitewell.local")"));

    // An authenticated call: the token after the common headers, no body.
    const auto bootstrap = outcomeOf(api.bootstrap());
    QVERIFY2(bootstrap.ok(), qPrintable(bootstrap.errorText()));
    QCOMPARE(bootstrap.value->events.first().collaborationRole, u"photographer"_s);
    const auto request = service->requests(Endpoint::Bootstrap).first();
    QCOMPARE(request.method + ' ' + request.target, QByteArray("POST /api/publisher/bootstrap"));
    QCOMPARE(framed(request),
             (QList<QByteArray>{kAgent, kAcceptJson, "authorization: Bearer " + signedIn.value->toUtf8()}));
    QVERIFY(request.body.isEmpty());
}

void KitewellAPITest::signInTokenChoice_data() {
    QTest::addColumn<albumservice::HeaderList>("headers"); // extra answer headers
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("expected"); // token, or the error text

    const QString noSession = u"登录成功但未取得电脑同步会话，请稍后重试。"_s;
    using Headers = albumservice::HeaderList;
    QTest::newRow("header beats body") << Headers{{"Set-Auth-Token", "from-header"}}
                                       << QByteArray(R"({"token":"from-body"})") << u"from-header"_s;
    QTest::newRow("header name in any case")
        << Headers{{"SET-AUTH-TOKEN", "h2"}} << QByteArray("{}") << u"h2"_s;
    // Present though empty: the body's token is not taken instead.
    QTest::newRow("empty header beats body")
        << Headers{{"set-auth-token", ""}} << QByteArray(R"({"token":"from-body"})") << noSession;
    QTest::newRow("body token only") << Headers{} << QByteArray(R"({"token":"from-body"})") << u"from-body"_s;
    QTest::newRow("empty body token") << Headers{} << QByteArray(R"({"token":""})") << noSession;
    QTest::newRow("{}") << Headers{} << QByteArray("{}") << noSession;
    QTest::newRow("not JSON") << Headers{} << QByteArray("<html>ok</html>") << noSession;
    QTest::newRow("wrong type token") << Headers{} << QByteArray(R"({"token":42})") << noSession;
}

void KitewellAPITest::signInTokenChoice() {
    QFETCH(albumservice::HeaderList, headers);
    QFETCH(QByteArray, body);
    QFETCH(QString, expected);

    Fault fault = statusFault(200, body);
    fault.extraHeaders = headers;
    service->setFault(Endpoint::SignIn, fault);

    KitewellAPI api(service->baseUrl().toString(), u"old"_s);
    const auto outcome = outcomeOf(api.signIn(kEmail, kPassword));
    if (expected.startsWith(u"登录成功"_s)) {
        QCOMPARE(outcome.errorText(), expected);
        QCOMPARE(outcome.failure->clientCase, SyncClientError::Case::server);
    } else {
        QVERIFY2(outcome.ok(), qPrintable(outcome.errorText()));
        QCOMPARE(*outcome.value, expected);
    }
}

void KitewellAPITest::signInFailures() {
    // A failed sign-in leaves the client without a token.
    service->setFault(Endpoint::SignIn, statusFault(401, R"({"error":"邮箱或密码错误"})"));
    KitewellAPI api(service->baseUrl().toString(), std::nullopt);
    QCOMPARE(outcomeOf(api.signIn(kEmail, kPassword)).errorText(), kUnauthorized);
    QCOMPARE(outcomeOf(api.bootstrap()).errorText(), u"请先登录鸢井账号。"_s);
}

void KitewellAPITest::bodyTokenIsSentLater() {
    Fault fault;
    fault.removedHeaders = {"set-auth-token"};
    service->setFault(Endpoint::SignIn, fault);
    KitewellAPI api(service->baseUrl().toString(), std::nullopt);
    const auto signIn = outcomeOf(api.signIn(kEmail, kPassword));
    QVERIFY2(signIn.ok(), qPrintable(signIn.errorText()));
    service->clearFaults();
    const auto bootstrap = outcomeOf(api.bootstrap());
    QVERIFY2(bootstrap.ok(), qPrintable(bootstrap.errorText()));
    QCOMPARE(bootstrap.value->account.email, kEmail);
    QCOMPARE(service->requests(Endpoint::Bootstrap).last().header("Authorization"),
             "Bearer " + signIn.value->toUtf8());
}

void KitewellAPITest::identifiersEscapedInPath_data() {
    QTest::addColumn<QString>("eventId");
    QTest::addColumn<QByteArray>("target");
    QTest::newRow("plain") << u"Ab-09-x"_s << QByteArray("/api/publisher/events/Ab-09-x/workspace");
    QTest::newRow("space") << u"e 1"_s << QByteArray("/api/publisher/events/e%201/workspace");
    QTest::newRow("non-ASCII") << u"婚"_s << QByteArray("/api/publisher/events/%E5%A9%9A/workspace");
    QTest::newRow("percent and question mark")
        << u"a%b?c#"_s << QByteArray("/api/publisher/events/a%25b%3Fc%23/workspace");
    QTest::newRow("sub-delimiters stay")
        << u"a:b@c!d$"_s << QByteArray("/api/publisher/events/a:b@c!d$/workspace");
}

void KitewellAPITest::identifiersEscapedInPath() {
    QFETCH(QString, eventId);
    QFETCH(QByteArray, target);
    service->addEvent({eventId, u"x"_s, std::nullopt});
    const auto api = signedInClient();
    const auto outcome = outcomeOf(api->eventWorkspace(eventId));
    QVERIFY2(outcome.ok(), qPrintable(outcome.errorText()));
    QCOMPARE(outcome.value->event.id, eventId);
    QCOMPARE(service->requests(Endpoint::Workspace).last().target, target);
    QVERIFY(!service->requests().last().target.contains(' '));
    service->removeEvent(eventId);
}

void KitewellAPITest::missingTokenSendsNothing() {
    const QString photo = folder.filePath(u"retouched.jpg"_s);
    QVERIFY(writeFile(photo, "x"));
    for (const std::optional<QString>& empty : {std::optional<QString>(), std::optional<QString>(u""_s)}) {
        KitewellAPI api(service->baseUrl().toString(), empty);
        for (Endpoint endpoint :
             {Endpoint::Bootstrap, Endpoint::Workspace, Endpoint::UploadVersion, Endpoint::Publish}) {
            const auto failure = callEndpoint(api, endpoint, u"e-1"_s, u"p-1"_s, photo);
            QCOMPARE(failure.value_or(Failure{}).clientCase, SyncClientError::Case::missingToken);
            QCOMPARE(failure->text, u"请先登录鸢井账号。"_s);
        }
    }
    QCOMPARE(service->requests().size(), 0);
}

void KitewellAPITest::uploadBodyByteForByte() {
    // Not a JPEG at all, with a double quote and non-ASCII in its name.
    const QString path = folder.filePath(u"p-1__精修\"终稿\".jpg"_s);
    static const char head[] = "\x00\x01\r\n--not-a-boundary\r\n";
    QByteArray content(head, sizeof head - 1); // the NUL at the start is part of the content
    content += QByteArray(70'000, 'z');
    QVERIFY(writeFile(path, content));

    const auto api = signedInClient();
    for (int i = 0; i < 2; ++i) {
        const auto outcome = outcomeOf(api->uploadEffect(u"e-1"_s, u"p-1"_s, path));
        QVERIFY2(outcome.ok(), qPrintable(outcome.errorText()));
    }
    QVERIFY(QFile::exists(path)); // the local file keeps its name

    const auto requests = service->requests(Endpoint::UploadVersion);
    QCOMPARE(requests.size(), 2);
    QSet<QByteArray> boundaries;
    for (const auto& request : requests) {
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.target, QByteArray("/api/admin/events/e-1/photos/p-1/versions"));
        const QByteArray contentType = request.header("Content-Type").value_or(QByteArray());
        static const QRegularExpression form(
            u"^multipart/form-data; boundary=(KitewellDesktopSync-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12})$"_s);
        const auto match = form.match(QString::fromLatin1(contentType));
        QVERIFY2(match.hasMatch(), contentType.constData());
        const QByteArray b = match.captured(1).toLatin1();
        boundaries.insert(b);
        QCOMPARE(framed(request, {"user-agent", "accept", "authorization"}),
                 (QList<QByteArray>{kAgent, kAcceptJson, "authorization: Bearer " + token.toUtf8()}));
        QVERIFY(!request.header("MIME-Version"));

        const auto part = [&](const QByteArray& headers, const QByteArray& value) {
            return "--" + b + "\r\nContent-Disposition: form-data; " + headers + "\r\n\r\n" + value + "\r\n";
        };
        const QByteArray expected =
            part("name=\"retouched\"", "true") + part("name=\"retouchPreset\"", "DESKTOP_SYNC") +
            part("name=\"photo\"; filename=\"p-1__精修-终稿-.jpg\"\r\nContent-Type: image/jpeg", content) +
            "--" + b + "--\r\n";
        QCOMPARE(request.body.size(), expected.size());
        QVERIFY(request.body == expected);
        QCOMPARE(request.header("Content-Length"), QByteArray::number(expected.size()));
    }
    QCOMPARE(boundaries.size(), 2);
    QCOMPARE(service->versions().last().bytes, content);
    QCOMPARE(service->versions().last().fileName, QByteArray("p-1__精修-终稿-.jpg"));
}

void KitewellAPITest::uploadFailsOnUnreadableFileBeforeToken() {
    KitewellAPI api(service->baseUrl().toString(), u""_s);
    const auto missing = outcomeOf(api.uploadEffect(u"e-1"_s, u"p-1"_s, folder.filePath(u"absent.jpg"_s)));
    QCOMPARE(missing.failure->kind, Failure::Kind::FileSystem);
    QCOMPARE(missing.failure->code, ENOENT);
    const auto directory = outcomeOf(api.uploadEffect(u"e-1"_s, u"p-1"_s, folder.path()));
    QCOMPARE(directory.failure->kind, Failure::Kind::FileSystem);
    QCOMPARE(service->requests().size(), 0);
}

void KitewellAPITest::publishAnswers_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("expected");
    QTest::newRow("200 {}") << 200 << QByteArray("{}") << QString();
    QTest::newRow("200 []") << 200 << QByteArray("[]") << QString();
    QTest::newRow("201 scalar") << 201 << QByteArray("null") << QString();
    QTest::newRow("204 empty") << 204 << QByteArray() << u"服务器返回的数据无法识别。"_s;
    QTest::newRow("200 html") << 200 << QByteArray("<p>ok</p>") << u"服务器返回的数据无法识别。"_s;
    QTest::newRow("409 message") << 409 << QByteArray(R"({"message":"尚未上传精修图"})")
                                 << u"尚未上传精修图"_s;
    QTest::newRow("407 error") << 407 << QByteArray(R"({"error":"需要代理认证"})") << u"需要代理认证"_s;
}

void KitewellAPITest::publishAnswers() {
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, expected);
    service->setFault(Endpoint::Publish, statusFault(status, body));
    const auto api = signedInClient();
    QCOMPARE(outcomeOf(api->publishEffect(u"e-1"_s, u"p 1"_s)).errorText(), expected);
    const auto request = service->requests(Endpoint::Publish).last();
    QCOMPARE(request.target, QByteArray("/api/admin/events/e-1/photos/p%201/publish"));
    QCOMPARE(request.body, QByteArray("{}"));
    // The content type is set after the frame.
    QCOMPARE(framed(request),
             (QList<QByteArray>{kAgent, kAcceptJson, "authorization: Bearer " + token.toUtf8(),
                                "content-type: application/json"}));
}

void KitewellAPITest::downloadReplacesDestinationOnlyWhenWhole() {
    // Cut and refused downloads are rows of the fault table.
    const QString destination = folder.filePath(u"p-1__IMG_1.JPG"_s);
    const QString staging = destination + u".download"_s;
    QVERIFY(writeFile(destination, "old content"));
    const QUrl source = service->originalUrl(u"e-1"_s, u"p-1"_s);
    const auto api = signedInClient();
    service->setFault(Endpoint::Original, statusFault(403, R"({"error":"forbidden"})"));
    QCOMPARE(outcomeOf(api->downloadOriginal(source, destination)).errorText(), u"服务器返回 403。"_s);
    QCOMPARE(readFile(destination), QByteArray("old content"));
    QVERIFY(!QFile::exists(staging));

    service->clearFaults();
    QVERIFY(writeFile(staging, "stale staging"));
    const auto outcome = outcomeOf(api->downloadOriginal(source, destination));
    QVERIFY2(outcome.ok(), qPrintable(outcome.errorText()));
    QCOMPARE(readFile(destination), service->photos(u"e-1"_s).first().jpeg);
    QVERIFY(!QFile::exists(staging));
    // No header of ours: only what HTTP itself needs.
    const auto request = service->requests(Endpoint::Original).last();
    QCOMPARE(request.method + ' ' + request.headers.value(0).first, QByteArray("GET Host"));
    QCOMPARE(request.headers.size(), 1);

    // Works without any token at all.
    KitewellAPI anonymous(service->baseUrl().toString(), std::nullopt);
    QFile::remove(destination);
    QVERIFY(outcomeOf(anonymous.downloadOriginal(source, destination)).ok());
    QVERIFY(QFile::exists(destination));
}

void KitewellAPITest::timeLimits_data() {
    // The limits shortened: a call waits 300 ms for more data, a download 3 s.
    QTest::addColumn<Endpoint>("endpoint");
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<int>("wholeMs"); // the limit on a whole transfer
    QTest::addColumn<bool>("timesOut");
    Fault paused = cutFault(Fault::Cut::PauseMidBody);
    paused.pauseMs = 1000;
    QTest::newRow("call paused past its limit") << Endpoint::Workspace << paused << 600'000 << true;
    QTest::newRow("download paused within its limit") << Endpoint::Original << paused << 600'000 << false;
    QTest::newRow("whole transfer past its limit") << Endpoint::Original << paused << 500 << true;
}

void KitewellAPITest::timeLimits() {
    QFETCH(Endpoint, endpoint);
    QFETCH(Fault, fault);
    QFETCH(int, wholeMs);
    QFETCH(bool, timesOut);
    service->setFault(endpoint, fault);
    KitewellAPI::Timeouts limits{std::chrono::milliseconds(300), std::chrono::milliseconds(3000),
                                 std::chrono::milliseconds(wholeMs)};
    KitewellAPI api(service->baseUrl().toString(), token, limits);
    QTemporaryDir here;
    const QString destination = here.filePath(u"p-1__IMG_1.JPG"_s);
    const auto failure = call(api, endpoint, destination);
    QCOMPARE(failure.value_or(Failure{}).code, timesOut ? int(TransportError::Kind::TimedOut) : 0);
    if (timesOut)
        QCOMPARE(failure->text, u"Network operation timed out"_s);
    QCOMPARE(QFile::exists(destination), !timesOut && endpoint == Endpoint::Original);
}

void KitewellAPITest::cancellationStopsTransfer_data() {
    QTest::addColumn<Endpoint>("endpoint");
    QTest::newRow("download") << Endpoint::Original;
    QTest::newRow("upload") << Endpoint::UploadVersion;
}

void KitewellAPITest::cancellationStopsTransfer() {
    QFETCH(Endpoint, endpoint);
    service->setFault(endpoint, cutFault(Fault::Cut::Stall));
    const QString retouched = folder.filePath(u"p-1__large.jpg"_s);
    QVERIFY(writeFile(retouched, QByteArray(4 << 20, 'r')));
    const qsizetype descriptors = openDescriptors();
    QTemporaryDir here;
    qint64 waitedMs = -1;
    {
        KitewellAPI api(service->baseUrl().toString(), token);
        QElapsedTimer clock;
        QTimer::singleShot(0, [&] {
            QTRY_COMPARE(service->requests(endpoint).size(), 1);
            clock.start();
            api.cancel();
        });
        const auto failure =
            call(api, endpoint, endpoint == Endpoint::Original ? here.filePath(u"x.jpg"_s) : retouched);
        waitedMs = clock.elapsed();
        QCOMPARE(failure.value_or(Failure{}).kind, Failure::Kind::Cancelled);
        // Later calls of a cancelled client do nothing.
        QCOMPARE(outcomeOf(api.bootstrap()).failure->kind, Failure::Kind::Cancelled);
    }
    // Long before any limit; the benchmarks time it closely.
    QVERIFY2(waitedMs < 1000, qPrintable(QString::number(waitedMs)));
    QCOMPARE(entries(here.path()), QStringList());
    // The connection, the staging file and the body's file are all closed.
    QTRY_COMPARE(openDescriptors(), descriptors);
}

void KitewellAPITest::transportErrorTexts_data() {
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("expected");
    QTest::newRow("zh_CN") << u"zh_CN"_s << u"连接被拒绝"_s;
    QTest::newRow("C") << u"C"_s << u"Connection refused"_s;
}

void KitewellAPITest::transportErrorTexts() {
    QFETCH(QString, locale);
    QFETCH(QString, expected);
    const Translations translations(QStringLiteral(KITEWELL_TRANSLATIONS_DIR), QLocale(locale));
    KitewellAPI api(closedPortUrl(), token);
    QCOMPARE(outcomeOf(api.bootstrap()).errorText(), expected);
}

QTEST_GUILESS_MAIN(KitewellAPITest)
#include "tst_kitewellapi.moc"
