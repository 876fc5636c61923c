// The service client against the local album service: the bytes on the wire, every
// validation outcome, token handling, transfers and their failures.

#include "AlbumService.h"
#include "client/KitewellAPI.h"
#include "client/SyncClientError.h"
#include "support/Files.h"
#include "support/Outcome.h"

#include <QDir>
#include <QFile>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace kitewell;
using namespace testsupport;
using namespace Qt::StringLiterals;
using albumservice::AlbumService;
using albumservice::Endpoint;
using albumservice::Fault;

namespace {

const QString kEmail = u"shooter@kitewell.local"_s;
const QString kPassword = u"pa ss/word\"1"_s;

QList<QByteArray> headerNames(const albumservice::RecordedRequest& request) {
    QList<QByteArray> names;
    for (const auto& header : request.headers)
        names.append(header.first.toLower());
    return names;
}

// The relative order in which the given headers arrived; absent ones are left out.
QList<QByteArray> orderOf(const albumservice::RecordedRequest& request, const QList<QByteArray>& wanted) {
    QList<QByteArray> order;
    for (const QByteArray& name : headerNames(request)) {
        if (wanted.contains(name))
            order.append(name);
    }
    return order;
}

} // namespace

class KitewellAPITest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();

    void construction_data();
    void construction();
    void pathJoining_data();
    void pathJoining();
    void validation_data();
    void validation();

    void signInRequestBytes();
    void signInTokenChoice_data();
    void signInTokenChoice();
    void signInFailures_data();
    void signInFailures();
    void bodyTokenIsSentLater();

    void authenticatedRequestBytes();
    void identifiersEscapedInPath_data();
    void identifiersEscapedInPath();
    void statusesOnTheWire_data();
    void statusesOnTheWire();
    void missingTokenSendsNothing();
    void workspaceDecodingFailure();

    void uploadBodyByteForByte();
    void uploadFailsOnUnreadableFileBeforeToken();
    void publishAnswers_data();
    void publishAnswers();

    void downloadReplacesDestinationAndStaging();
    void downloadFailuresLeaveNothing_data();
    void downloadFailuresLeaveNothing();
    void downloadRefusesNonWebUrls_data();
    void downloadRefusesNonWebUrls();
    void connectionRefusedPassesThrough();
    void redirects();
    void downloadFollowsRedirects_data();
    void downloadFollowsRedirects();
    void inactivityTimeout();
    void cancellationStopsTransfer();

private:
    std::unique_ptr<KitewellAPI> signedInClient();
    QString token;
    AlbumService service;
    QTemporaryDir folder;
};

void KitewellAPITest::initTestCase() {
    QVERIFY(service.listen());
    service.addAccount({u"acc-1"_s, kEmail, u"摄影师"_s, kPassword});
    service.addEvent({u"e-1"_s, u"婚礼"_s, u"photographer"_s});
    service.addPhoto(u"e-1"_s, {u"p-1"_s, u"IMG_1.JPG"_s}, 200'000);
    token = service.issueToken(kEmail);
    QVERIFY(!token.isEmpty());
    QVERIFY(folder.isValid());
}

void KitewellAPITest::init() {
    service.clearFaults();
    service.clearRequests();
}

std::unique_ptr<KitewellAPI> KitewellAPITest::signedInClient() {
    return std::make_unique<KitewellAPI>(service.baseUrl().toString(), token);
}

void KitewellAPITest::construction_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected"); // empty: refused

    QTest::newRow("spaces and trailing slashes")
        << u"  \n https://api.kitewell.cn/// \t"_s << u"https://api.kitewell.cn"_s;
    QTest::newRow("http with port") << u"http://127.0.0.1:8080/"_s << u"http://127.0.0.1:8080"_s;
    QTest::newRow("path kept") << u"https://h.cn/base/"_s << u"https://h.cn/base"_s;
    QTest::newRow("host only") << u"api.kitewell.cn"_s << QString();
    QTest::newRow("ftp") << u"ftp://h.cn"_s << QString();
    QTest::newRow("capital scheme") << u"HTTPS://h.cn"_s << QString();
    QTest::newRow("empty") << u"   "_s << QString();
    QTest::newRow("not a URL") << u"https://h.cn/a b"_s << QString();
}

void KitewellAPITest::construction() {
    QFETCH(QString, text);
    QFETCH(QString, expected);
    try {
        const KitewellAPI api(text, std::nullopt);
        QVERIFY2(!expected.isEmpty(), "accepted a base URL that must be refused");
        QCOMPARE(api.baseURL().toString(), expected);
    } catch (const SyncClientError& error) {
        QVERIFY2(expected.isEmpty(), qPrintable(error.description()));
        QCOMPARE(error.errorCase(), SyncClientError::Case::invalidServerURL);
        QCOMPARE(error.description(), u"服务器地址无效。"_s);
    }
}

void KitewellAPITest::pathJoining_data() {
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected");
    QTest::newRow("leading slash") << u"https://h.cn"_s << u"/api/publisher/bootstrap"_s
                                   << u"https://h.cn/api/publisher/bootstrap"_s;
    QTest::newRow("no leading slash")
        << u"https://h.cn/"_s << u"api/publisher/bootstrap"_s << u"https://h.cn/api/publisher/bootstrap"_s;
    QTest::newRow("base path kept") << u"https://h.cn/v2//"_s << u"/api/x"_s << u"https://h.cn/v2/api/x"_s;
    QTest::newRow("second slash stays") << u"https://h.cn"_s << u"//api"_s << u"https://h.cn//api"_s;
}

void KitewellAPITest::pathJoining() {
    QFETCH(QString, base);
    QFETCH(QString, path);
    QFETCH(QString, expected);
    QCOMPARE(KitewellAPI(base, std::nullopt).url(path).toString(QUrl::FullyEncoded), expected);
}

void KitewellAPITest::validation_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("expected"); // empty: passes

    QTest::newRow("199") << 199 << QByteArray() << u"服务器返回 199。"_s;
    QTest::newRow("200") << 200 << QByteArray("garbage") << QString();
    QTest::newRow("204") << 204 << QByteArray() << QString();
    QTest::newRow("299") << 299 << QByteArray() << QString();
    QTest::newRow("300") << 300 << QByteArray() << u"服务器返回 300。"_s;
    QTest::newRow("401 with error body")
        << 401 << QByteArray(R"({"error":"bad"})") << u"登录状态已失效，请重新登录。"_s;
    QTest::newRow("error beats message") << 500 << QByteArray(R"({"message":"m","error":"e"})") << u"e"_s;
    QTest::newRow("message only") << 500 << QByteArray(R"({"message":"维护中"})") << u"维护中"_s;
    QTest::newRow("empty error used") << 500 << QByteArray(R"({"error":"","message":"m"})") << QString();
    QTest::newRow("{}") << 500 << QByteArray("{}") << u"服务器返回 500。"_s;
    QTest::newRow("html") << 502 << QByteArray("<html>Bad Gateway</html>") << u"服务器返回 502。"_s;
    QTest::newRow("empty") << 500 << QByteArray() << u"服务器返回 500。"_s;
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

void KitewellAPITest::signInRequestBytes() {
    KitewellAPI api(service.baseUrl().toString() + u"///"_s, std::nullopt);
    const auto outcome = outcomeOf(api.signIn(kEmail, kPassword));
    QVERIFY2(outcome.ok(), qPrintable(outcome.errorText()));
    QVERIFY(!outcome.value->isEmpty());

    const auto requests = service.requests(Endpoint::SignIn);
    QCOMPARE(requests.size(), 1);
    const auto& request = requests.first();
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.target, QByteArray("/api/auth/sign-in/email"));
    QCOMPARE(request.header("User-Agent"), QByteArray("KitewellDesktopSync/1.0"));
    QCOMPARE(request.header("Accept"), QByteArray("application/json"));
    QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
    QCOMPARE(request.header("Origin"), service.baseUrl().toString().toUtf8());
    QVERIFY(!request.header("Authorization"));
    QCOMPARE(orderOf(request, {"user-agent", "accept", "content-type", "origin"}),
             (QList<QByteArray>{"user-agent", "accept", "content-type", "origin"}));

    // One compact object with exactly the two members, slashes escaped as the encoder does.
    const QByteArray& body = request.body;
    QVERIFY(!body.contains(' ') || body.contains("pa ss"));
    QVERIFY(!body.contains('\n'));
    QVERIFY(body.contains(R"("password":"pa ss\/word\"1")"));
    QVERIFY(body.contains(R"("email":"shooter@kitewell.local")"));
    QCOMPARE(body.count(':'), 2);
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
    // Qt's network stack drops a header whose value is empty, so it reads as absent.
    QTest::newRow("empty header reads as absent")
        << Headers{{"set-auth-token", ""}} << QByteArray(R"({"token":"from-body"})") << u"from-body"_s;
    QTest::newRow("empty header, no body token")
        << Headers{{"set-auth-token", ""}} << QByteArray("{}") << noSession;
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

    Fault fault;
    fault.status = 200;
    fault.body = body;
    fault.extraHeaders = headers;
    service.setFault(Endpoint::SignIn, fault);

    KitewellAPI api(service.baseUrl().toString(), u"old"_s);
    const auto outcome = outcomeOf(api.signIn(kEmail, kPassword));
    if (expected.startsWith(u"登录成功"_s)) {
        QCOMPARE(outcome.errorText(), expected);
        QCOMPARE(outcome.failure->clientCase, SyncClientError::Case::server);
    } else {
        QVERIFY2(outcome.ok(), qPrintable(outcome.errorText()));
        QCOMPARE(*outcome.value, expected);
    }
}

void KitewellAPITest::signInFailures_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("expected");
    QTest::newRow("401") << 401 << QByteArray(R"({"error":"邮箱或密码错误"})")
                         << u"登录状态已失效，请重新登录。"_s;
    QTest::newRow("403 with error") << 403 << QByteArray(R"({"error":"账号已停用"})") << u"账号已停用"_s;
    QTest::newRow("429 without body") << 429 << QByteArray() << u"服务器返回 429。"_s;
}

void KitewellAPITest::signInFailures() {
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, expected);
    Fault fault;
    fault.status = status;
    fault.body = body;
    service.setFault(Endpoint::SignIn, fault);
    KitewellAPI api(service.baseUrl().toString(), std::nullopt);
    QCOMPARE(outcomeOf(api.signIn(kEmail, kPassword)).errorText(), expected);
    // The client keeps no token after a failed sign-in.
    QCOMPARE(outcomeOf(api.bootstrap()).errorText(), u"请先登录鸢井账号。"_s);
}

void KitewellAPITest::bodyTokenIsSentLater() {
    Fault fault;
    fault.removedHeaders = {"set-auth-token"};
    service.setFault(Endpoint::SignIn, fault);
    KitewellAPI api(service.baseUrl().toString(), std::nullopt);
    const auto signIn = outcomeOf(api.signIn(kEmail, kPassword));
    QVERIFY2(signIn.ok(), qPrintable(signIn.errorText()));
    service.clearFaults();
    const auto bootstrap = outcomeOf(api.bootstrap());
    QVERIFY2(bootstrap.ok(), qPrintable(bootstrap.errorText()));
    QCOMPARE(bootstrap.value->account.email, kEmail);
    QCOMPARE(service.requests(Endpoint::Bootstrap).last().header("Authorization"),
             "Bearer " + signIn.value->toUtf8());
}

void KitewellAPITest::authenticatedRequestBytes() {
    const auto api = signedInClient();
    const auto outcome = outcomeOf(api->bootstrap());
    QVERIFY2(outcome.ok(), qPrintable(outcome.errorText()));
    QCOMPARE(outcome.value->events.size(), 1);
    QCOMPARE(outcome.value->events.first().collaborationRole, u"photographer"_s);

    const auto request = service.requests(Endpoint::Bootstrap).first();
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.target, QByteArray("/api/publisher/bootstrap"));
    QCOMPARE(request.header("User-Agent"), QByteArray("KitewellDesktopSync/1.0"));
    QCOMPARE(request.header("Accept"), QByteArray("application/json"));
    QCOMPARE(request.header("Authorization"), "Bearer " + token.toUtf8());
    QVERIFY(!request.header("Content-Type"));
    QVERIFY(request.body.isEmpty());
    QCOMPARE(orderOf(request, {"user-agent", "accept", "authorization"}),
             (QList<QByteArray>{"user-agent", "accept", "authorization"}));
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
    service.addEvent({eventId, u"x"_s, std::nullopt});
    const auto api = signedInClient();
    const auto outcome = outcomeOf(api->eventWorkspace(eventId));
    QVERIFY2(outcome.ok(), qPrintable(outcome.errorText()));
    QCOMPARE(outcome.value->event.id, eventId);
    QCOMPARE(service.requests(Endpoint::Workspace).last().target, target);
    QVERIFY(!service.requests().last().target.contains(' '));
    service.removeEvent(eventId);
}

void KitewellAPITest::statusesOnTheWire_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("expected"); // empty: passes validation (the body then fails to decode)
    QTest::newRow("204") << 204 << QByteArray() << u"服务器返回的数据无法识别。"_s;
    QTest::newRow("299") << 299 << QByteArray("{}") << u"服务器返回的数据无法识别。"_s;
    QTest::newRow("300") << 300 << QByteArray() << u"服务器返回 300。"_s;
    QTest::newRow("401 with error") << 401 << QByteArray(R"({"error":"expired"})")
                                    << u"登录状态已失效，请重新登录。"_s;
    QTest::newRow("500 error+message") << 500 << QByteArray(R"({"error":"坏了","message":"m"})") << u"坏了"_s;
    QTest::newRow("500 message") << 500 << QByteArray(R"({"message":"维护中"})") << u"维护中"_s;
    QTest::newRow("500 {}") << 500 << QByteArray("{}") << u"服务器返回 500。"_s;
    QTest::newRow("500 html") << 500 << QByteArray("<html><body>oops</body></html>") << u"服务器返回 500。"_s;
    QTest::newRow("500 empty") << 500 << QByteArray() << u"服务器返回 500。"_s;
    QTest::newRow("404") << 404 << QByteArray(R"({"error":"相册不存在"})") << u"相册不存在"_s;
}

void KitewellAPITest::statusesOnTheWire() {
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, expected);
    Fault fault;
    fault.status = status;
    fault.body = body;
    service.setFault(Endpoint::Workspace, fault);
    const auto api = signedInClient();
    const auto outcome = outcomeOf(api->eventWorkspace(u"e-1"_s));
    QCOMPARE(outcome.errorText(), expected);
}

void KitewellAPITest::missingTokenSendsNothing() {
    const QString photo = folder.filePath(u"retouched.jpg"_s);
    QVERIFY(writeFile(photo, AlbumService::makeJpeg(2000)));
    for (const std::optional<QString>& empty : {std::optional<QString>(), std::optional<QString>(u""_s)}) {
        KitewellAPI api(service.baseUrl().toString(), empty);
        const QString expected = u"请先登录鸢井账号。"_s;
        QCOMPARE(outcomeOf(api.bootstrap()).errorText(), expected);
        QCOMPARE(outcomeOf(api.eventWorkspace(u"e-1"_s)).errorText(), expected);
        QCOMPARE(outcomeOf(api.uploadEffect(u"e-1"_s, u"p-1"_s, photo)).errorText(), expected);
        QCOMPARE(outcomeOf(api.publishEffect(u"e-1"_s, u"p-1"_s)).errorText(), expected);
        QCOMPARE(outcomeOf(api.bootstrap()).failure->clientCase, SyncClientError::Case::missingToken);
    }
    QCOMPARE(service.requests().size(), 0);
}

void KitewellAPITest::workspaceDecodingFailure() {
    Fault fault;
    fault.status = 200;
    fault.body =
        R"({"event":{"id":"e-1","title":"x"},"photos":[{"name":"no id"}],"permissions":{"canManageAllPhotos":true,"canUpload":true}})";
    service.setFault(Endpoint::Workspace, fault);
    const auto api = signedInClient();
    QCOMPARE(outcomeOf(api->eventWorkspace(u"e-1"_s)).errorText(), u"服务器返回的数据无法识别。"_s);

    Fault noAccount;
    noAccount.status = 200;
    noAccount.body = R"({"events":[]})";
    service.setFault(Endpoint::Bootstrap, noAccount);
    QCOMPARE(outcomeOf(api->bootstrap()).errorText(), u"服务器返回的数据无法识别。"_s);
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

    const auto requests = service.requests(Endpoint::UploadVersion);
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
        QCOMPARE(orderOf(request, {"user-agent", "accept", "authorization"}),
                 (QList<QByteArray>{"user-agent", "accept", "authorization"}));
        QVERIFY(!request.header("MIME-Version"));

        const QByteArray expected =
            "--" + b +
            "\r\n"
            "Content-Disposition: form-data; name=\"retouched\"\r\n"
            "\r\n"
            "true\r\n"
            "--" +
            b +
            "\r\n"
            "Content-Disposition: form-data; name=\"retouchPreset\"\r\n"
            "\r\n"
            "DESKTOP_SYNC\r\n"
            "--" +
            b +
            "\r\n"
            "Content-Disposition: form-data; name=\"photo\"; filename=\"p-1__精修-终稿-.jpg\"\r\n"
            "Content-Type: image/jpeg\r\n"
            "\r\n" +
            content + "\r\n--" + b + "--\r\n";
        QCOMPARE(request.body.size(), expected.size());
        QVERIFY(request.body == expected);
        QCOMPARE(request.header("Content-Length"), QByteArray::number(expected.size()));
    }
    QCOMPARE(boundaries.size(), 2);
    QCOMPARE(service.versions().last().bytes, content);
    QCOMPARE(service.versions().last().fileName, QByteArray("p-1__精修-终稿-.jpg"));
}

void KitewellAPITest::uploadFailsOnUnreadableFileBeforeToken() {
    KitewellAPI api(service.baseUrl().toString(), u""_s);
    const auto missing = outcomeOf(api.uploadEffect(u"e-1"_s, u"p-1"_s, folder.filePath(u"absent.jpg"_s)));
    QCOMPARE(missing.failure->kind, Failure::Kind::FileSystem);
    QCOMPARE(missing.failure->code, ENOENT);
    const auto directory = outcomeOf(api.uploadEffect(u"e-1"_s, u"p-1"_s, folder.path()));
    QCOMPARE(directory.failure->kind, Failure::Kind::FileSystem);
    QCOMPARE(service.requests().size(), 0);
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
}

void KitewellAPITest::publishAnswers() {
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, expected);
    Fault fault;
    fault.status = status;
    fault.body = body;
    service.setFault(Endpoint::Publish, fault);
    const auto api = signedInClient();
    QCOMPARE(outcomeOf(api->publishEffect(u"e-1"_s, u"p 1"_s)).errorText(), expected);
    const auto request = service.requests(Endpoint::Publish).last();
    QCOMPARE(request.target, QByteArray("/api/admin/events/e-1/photos/p%201/publish"));
    QCOMPARE(request.body, QByteArray("{}"));
    QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
    QCOMPARE(request.header("Authorization"), "Bearer " + token.toUtf8());
}

void KitewellAPITest::downloadReplacesDestinationAndStaging() {
    const QString destination = folder.filePath(u"p-1__IMG_1.JPG"_s);
    QVERIFY(writeFile(destination, "old content"));
    QVERIFY(writeFile(destination + u".download"_s, "stale staging"));
    const auto api = signedInClient();
    const auto outcome =
        outcomeOf(api->downloadOriginal(service.originalUrl(u"e-1"_s, u"p-1"_s), destination));
    QVERIFY2(outcome.ok(), qPrintable(outcome.errorText()));
    QCOMPARE(readFile(destination), service.photos(u"e-1"_s).first().jpeg);
    QVERIFY(!QFile::exists(destination + u".download"_s));

    const auto request = service.requests(Endpoint::Original).last();
    QCOMPARE(request.method, QByteArray("GET"));
    QVERIFY(!request.header("Authorization"));
    QVERIFY(request.header("User-Agent") != QByteArray("KitewellDesktopSync/1.0"));
    QVERIFY(request.header("Accept") != QByteArray("application/json"));

    // Works without any token at all.
    KitewellAPI anonymous(service.baseUrl().toString(), std::nullopt);
    QFile::remove(destination);
    QVERIFY(outcomeOf(anonymous.downloadOriginal(service.originalUrl(u"e-1"_s, u"p-1"_s), destination)).ok());
    QVERIFY(QFile::exists(destination));
}

void KitewellAPITest::downloadFailuresLeaveNothing_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("cut");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("expected"); // the text, when the failure is ours

    QTest::newRow("403 with text") << 403 << QByteArray(R"({"error":"forbidden"})") << int(Fault::Cut::None)
                                   << int(Failure::Kind::Client) << u"服务器返回 403。"_s;
    QTest::newRow("401") << 401 << QByteArray() << int(Fault::Cut::None) << int(Failure::Kind::Client)
                         << u"登录状态已失效，请重新登录。"_s;
    QTest::newRow("500 body") << 500 << QByteArray("boom") << int(Fault::Cut::None)
                              << int(Failure::Kind::Client) << u"服务器返回 500。"_s;
    QTest::newRow("dropped mid-body")
        << 0 << QByteArray() << int(Fault::Cut::DropMidBody) << int(Failure::Kind::Transport) << QString();
    QTest::newRow("truncated body") << 0 << QByteArray() << int(Fault::Cut::TruncateBody)
                                    << int(Failure::Kind::Transport) << QString();
}

void KitewellAPITest::downloadFailuresLeaveNothing() {
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(int, cut);
    QFETCH(int, kind);
    QFETCH(QString, expected);

    Fault fault;
    if (status)
        fault.status = status;
    if (status)
        fault.body = body;
    fault.cut = Fault::Cut(cut);
    service.setFault(Endpoint::Original, fault);

    QTemporaryDir here;
    const QString destination = here.filePath(u"p-1__IMG_1.JPG"_s);
    const auto api = signedInClient();
    const auto outcome =
        outcomeOf(api->downloadOriginal(service.originalUrl(u"e-1"_s, u"p-1"_s), destination));
    QVERIFY(!outcome.ok());
    QCOMPARE(int(outcome.failure->kind), kind);
    if (!expected.isEmpty())
        QCOMPARE(outcome.errorText(), expected);
    QCOMPARE(entries(here.path()), QStringList());

    // An existing destination is left untouched by a failed download.
    QVERIFY(writeFile(destination, "keep me"));
    QVERIFY(!outcomeOf(api->downloadOriginal(service.originalUrl(u"e-1"_s, u"p-1"_s), destination)).ok());
    QCOMPARE(readFile(destination), QByteArray("keep me"));
    QVERIFY(!QFile::exists(destination + u".download"_s));
}

void KitewellAPITest::downloadRefusesNonWebUrls_data() {
    QTest::addColumn<QUrl>("source");
    QTest::newRow("file") << QUrl(u"file:///etc/passwd"_s);
    QTest::newRow("relative") << QUrl(u"/originals/e-1/p-1"_s);
    QTest::newRow("ftp") << QUrl(u"ftp://127.0.0.1/x.jpg"_s);
    QTest::newRow("data") << QUrl(u"data:image/jpeg;base64,AAAA"_s);
}

void KitewellAPITest::downloadRefusesNonWebUrls() {
    QFETCH(QUrl, source);
    QTemporaryDir here;
    const auto api = signedInClient();
    const auto outcome = outcomeOf(api->downloadOriginal(source, here.filePath(u"x.jpg"_s)));
    QCOMPARE(outcome.errorText(), u"服务器返回的数据无法识别。"_s);
    QCOMPARE(entries(here.path()), QStringList());
}

void KitewellAPITest::connectionRefusedPassesThrough() {
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const quint16 closedPort = probe.serverPort();
    probe.close();

    const QString base = u"http://127.0.0.1:"_s + QString::number(closedPort);
    KitewellAPI api(base, token);
    const auto bootstrap = outcomeOf(api.bootstrap());
    QCOMPARE(bootstrap.failure->kind, Failure::Kind::Transport);
    QCOMPARE(bootstrap.failure->code, int(QNetworkReply::ConnectionRefusedError));
    QVERIFY(!bootstrap.errorText().isEmpty());

    QTemporaryDir here;
    const auto download =
        outcomeOf(api.downloadOriginal(QUrl(base + u"/originals/x"_s), here.filePath(u"x.jpg"_s)));
    QCOMPARE(download.failure->code, int(QNetworkReply::ConnectionRefusedError));
    QCOMPARE(entries(here.path()), QStringList());
}

void KitewellAPITest::redirects() {
    AlbumService elsewhere;
    QVERIFY(elsewhere.listen());
    elsewhere.addAccount({u"acc-1"_s, kEmail, u"x"_s, kPassword});

    // Within the same origin the call follows and still carries the token.
    Fault same;
    same.redirectTo = QUrl(service.baseUrl().toString() + u"/api/publisher/bootstrap"_s);
    same.count = 1;
    service.setFault(Endpoint::Bootstrap, same);
    const auto api = signedInClient();
    const auto followed = outcomeOf(api->bootstrap());
    QVERIFY2(followed.ok(), qPrintable(followed.errorText()));
    const auto bootstraps = service.requests(Endpoint::Bootstrap);
    QVERIFY(bootstraps.size() >= 2);
    for (const auto& request : bootstraps)
        QCOMPARE(request.header("Authorization"), "Bearer " + token.toUtf8());

    // To another origin it fails, and the other origin never sees the token or the password.
    Fault away;
    away.redirectTo = QUrl(elsewhere.baseUrl().toString() + u"/api/publisher/bootstrap"_s);
    service.setFault(Endpoint::Bootstrap, away);
    QVERIFY(!outcomeOf(api->bootstrap()).ok());
    away.redirectTo = QUrl(elsewhere.baseUrl().toString() + u"/api/auth/sign-in/email"_s);
    service.setFault(Endpoint::SignIn, away);
    QVERIFY(!outcomeOf(api->signIn(kEmail, kPassword)).ok());
    QCOMPARE(elsewhere.requests().size(), 0);
}

void KitewellAPITest::downloadFollowsRedirects_data() {
    QTest::addColumn<QString>("location"); // "{other}" stands for the other service's origin
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("expected"); // empty: the original arrives
    QTest::newRow("same origin") << u"/originals/e-1/p-1"_s << 1 << QString();
    QTest::newRow("other origin") << u"{other}/originals/e-1/p-1"_s << 1 << QString();
    QTest::newRow("to a local file") << u"file:///etc/passwd"_s << 1 << u"服务器返回的数据无法识别。"_s;
    QTest::newRow("endless") << u"/originals/e-1/p-1"_s << -1 << u"*"_s;
}

void KitewellAPITest::downloadFollowsRedirects() {
    QFETCH(QString, location);
    QFETCH(int, count);
    QFETCH(QString, expected);
    AlbumService other;
    QVERIFY(other.listen());
    other.addEvent({u"e-1"_s, u"x"_s, std::nullopt});
    albumservice::Photo copy = service.photos(u"e-1"_s).first();
    copy.jpeg = "the other service's bytes";
    other.addPhoto(u"e-1"_s, copy);

    Fault redirect;
    redirect.redirectTo = QUrl(location.replace(u"{other}"_s, other.baseUrl().toString()));
    redirect.count = count;
    service.setFault(Endpoint::Original, redirect);
    QTemporaryDir here;
    const QString destination = here.filePath(u"p-1.jpg"_s);
    const auto api = signedInClient();
    const auto outcome =
        outcomeOf(api->downloadOriginal(service.originalUrl(u"e-1"_s, u"p-1"_s), destination));
    if (expected.isEmpty()) {
        QVERIFY2(outcome.ok(), qPrintable(outcome.errorText()));
        const bool away = location.startsWith(u"http"_s);
        QCOMPARE(readFile(destination),
                 away ? QByteArray("the other service's bytes") : service.photos(u"e-1"_s).first().jpeg);
    } else {
        QVERIFY(!outcome.ok());
        if (expected != u"*"_s)
            QCOMPARE(outcome.errorText(), expected);
        QCOMPARE(entries(here.path()), QStringList());
    }
}

void KitewellAPITest::inactivityTimeout() {
    Fault stall;
    stall.cut = Fault::Cut::Stall;
    service.setFault(Endpoint::Original, stall);
    service.setFault(Endpoint::Bootstrap, stall);

    KitewellAPI::Timeouts timeouts;
    timeouts.request = std::chrono::milliseconds(300);
    timeouts.download = std::chrono::milliseconds(300);
    KitewellAPI api(service.baseUrl().toString(), token, timeouts);
    QTemporaryDir here;
    const auto download =
        outcomeOf(api.downloadOriginal(service.originalUrl(u"e-1"_s, u"p-1"_s), here.filePath(u"x.jpg"_s)));
    QCOMPARE(download.failure->kind, Failure::Kind::Transport);
    QCOMPARE(download.failure->code, int(QNetworkReply::TimeoutError));
    QCOMPARE(entries(here.path()), QStringList());
    QCOMPARE(outcomeOf(api.bootstrap()).failure->code, int(QNetworkReply::TimeoutError));

    // The whole-transfer limit applies even while data keeps trickling in.
    KitewellAPI::Timeouts total;
    total.resource = std::chrono::milliseconds(300);
    KitewellAPI limited(service.baseUrl().toString(), token, total);
    QCOMPARE(outcomeOf(limited.bootstrap()).failure->code, int(QNetworkReply::TimeoutError));
}

void KitewellAPITest::cancellationStopsTransfer() {
    Fault stall;
    stall.cut = Fault::Cut::Stall;
    service.setFault(Endpoint::Original, stall);
    KitewellAPI api(service.baseUrl().toString(), token);
    QTemporaryDir here;
    QTimer::singleShot(0, [&] {
        QTRY_COMPARE(service.requests(Endpoint::Original).size(), 1);
        api.cancel();
    });
    const auto outcome =
        outcomeOf(api.downloadOriginal(service.originalUrl(u"e-1"_s, u"p-1"_s), here.filePath(u"x.jpg"_s)));
    QCOMPARE(outcome.failure->kind, Failure::Kind::Cancelled);
    QCOMPARE(entries(here.path()), QStringList());
    // Later calls of a cancelled client do nothing.
    QCOMPARE(outcomeOf(api.bootstrap()).failure->kind, Failure::Kind::Cancelled);
}

QTEST_GUILESS_MAIN(KitewellAPITest)
#include "tst_kitewellapi.moc"
