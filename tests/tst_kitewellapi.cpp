// The service client against the local album service: the bytes on the wire, every
// validation outcome, token handling, transfers and their failures, and the texts of the
// program's own errors.

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

#include <functional>

using namespace kitewell;
using namespace testsupport;
using Case = SyncClientError::Case;
using Step = std::function<void()>;
Q_DECLARE_METATYPE(Step)

namespace {

const QByteArray kAgent = "user-agent: KitewellDesktopSync/1.0";
const QByteArray kAcceptJson = "accept: application/json";

// A request's headers as "name: value" in the order they arrived, but for the two HTTP
// itself needs.
QList<QByteArray> framed(const albumservice::RecordedRequest& request) {
    QList<QByteArray> found;
    for (const auto& [name, value] : request.headers) {
        if (name.toLower() != "host" && name.toLower() != "content-length")
            found.append(name.toLower() + ": " + value);
    }
    return found;
}

// How a call ended, as rows state it: empty for a success, else the client case, with the
// service's text for `server`.
QString verdict(const std::optional<Failure>& failure) {
    static const QStringList names{u"server"_s,       u"permissionDenied"_s, u"invalidServerURL"_s,
                                   u"missingToken"_s, u"unauthorized"_s,     u"invalidResponse"_s};
    if (!failure)
        return {};
    if (!failure->clientCase)
        return u"not a client error: "_s + failure->text;
    const QString name = names.value(int(*failure->clientCase), u"another case"_s);
    return *failure->clientCase == Case::server ? name + u": "_s + failure->text : name;
}

QCoro::Task<void> run(Step step) {
    step();
    co_return;
}

std::optional<Failure> failureOf(const Step& step) {
    return outcomeOf(run(step)).failure;
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

    void errorDescriptions_data();
    void errorDescriptions();
    void baseUrlAndPaths_data();
    void baseUrlAndPaths();
    void validation_data();
    void validation();

    void requestFrames();
    void signInTokenChoice_data();
    void signInTokenChoice();
    void identifiersEscapedInPaths_data();
    void identifiersEscapedInPaths();
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

// The one place that checks the texts themselves; everywhere else errors are told apart by case.
void KitewellAPITest::errorDescriptions_data() {
    QTest::addColumn<Step>("raise");
    QTest::addColumn<QString>("expected");
    QTest::newRow("server, from the status")
        << Step([] { KitewellAPI::validated(500, "{}"); }) << u"服务器返回 500。"_s;
    QTest::newRow("permissionDenied") << Step([] { throw SyncClientError::permissionDenied(u"原图"_s); })
                                      << u"没有访问“原图”文件夹的权限，请重新选择它。"_s;
    QTest::newRow("invalidServerURL")
        << Step([] { KitewellAPI(u"ftp://h.cn"_s, std::nullopt); }) << u"服务器地址无效。"_s;
    QTest::newRow("missingToken") << Step([] { throw SyncClientError::missingToken(); })
                                  << u"请先登录鸢井账号。"_s;
    QTest::newRow("unauthorized") << Step([] { throw SyncClientError::unauthorized(); }) << kUnauthorized;
    QTest::newRow("invalidResponse") << Step([] { throw SyncClientError::invalidResponse(); }) << kInvalid;
    QTest::newRow("missingOriginalDirectory")
        << Step([] { throw SyncClientError::missingOriginalDirectory(); }) << u"请选择原图同步文件夹。"_s;
    QTest::newRow("missingEffectDirectory")
        << Step([] { throw SyncClientError::missingEffectDirectory(); }) << u"请选择精修回传文件夹。"_s;
    QTest::newRow("missingProject") << Step([] { throw SyncClientError::missingProject(); })
                                    << u"请选择要同步的相册项目。"_s;
}

void KitewellAPITest::errorDescriptions() {
    QFETCH(Step, raise);
    QFETCH(QString, expected);
    QCOMPARE(failureOf(raise).value_or(Failure{}).text, expected);
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
    QString joined;
    const auto failure = failureOf([&] { joined = KitewellAPI(base, std::nullopt).url(path).toString(); });
    QCOMPARE(verdict(failure), expected.isEmpty() ? u"invalidServerURL"_s : QString());
    QCOMPARE(joined, expected);
}

void KitewellAPITest::validation_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("expected");
    QTest::newRow("199") << 199 << QByteArray() << u"server: 服务器返回 199。"_s;
    QTest::newRow("200") << 200 << QByteArray("garbage") << QString();
    QTest::newRow("299") << 299 << QByteArray() << QString();
    QTest::newRow("300") << 300 << QByteArray() << u"server: 服务器返回 300。"_s;
    QTest::newRow("401 with error body") << 401 << QByteArray(R"({"error":"bad"})") << u"unauthorized"_s;
    QTest::newRow("error beats message")
        << 500 << QByteArray(R"({"message":"m","error":"e"})") << u"server: e"_s;
    QTest::newRow("message only") << 500 << QByteArray(R"({"message":"维护中"})") << u"server: 维护中"_s;
    QTest::newRow("empty error used") << 500 << QByteArray(R"({"error":"","message":"m"})") << u"server: "_s;
    QTest::newRow("{}") << 500 << QByteArray("{}") << u"server: 服务器返回 500。"_s;
    QTest::newRow("html") << 502 << QByteArray("<html>Bad Gateway</html>") << u"server: 服务器返回 502。"_s;
    QTest::newRow("wrong type") << 400 << QByteArray(R"({"error":3})") << u"server: 服务器返回 400。"_s;
}

void KitewellAPITest::validation() {
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, expected);
    QCOMPARE(verdict(failureOf([&] { KitewellAPI::validated(status, body); })), expected);
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
    // One compact object with exactly the two members (in either order), slashes escaped.
    const QByteArray email = R"("email":"photographer@kitewell.local")";
    const QByteArray password = R"("password":"correct horse\/battery\"1")";
    QVERIFY2(signIn.body == '{' + email + ',' + password + '}' ||
                 signIn.body == '{' + password + ',' + email + '}',
             signIn.body.constData());

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
    QTest::addColumn<int>("status");
    QTest::addColumn<albumservice::HeaderList>("headers"); // answer headers
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("carried"); // the token later calls send: the new one, or still "old"

    const QString noSession = u"server: 登录成功但未取得电脑同步会话，请稍后重试。"_s;
    using Headers = albumservice::HeaderList;
    const QByteArray bodyToken = R"({"token":"from-body"})";
    QTest::newRow("header beats body")
        << 200 << Headers{{"Set-Auth-Token", "from-header"}} << bodyToken << QString() << u"from-header"_s;
    QTest::newRow("header name in any case")
        << 200 << Headers{{"SET-AUTH-TOKEN", "h2"}} << QByteArray("{}") << QString() << u"h2"_s;
    // Present though empty: the body's token is not taken instead.
    QTest::newRow("empty header beats body")
        << 200 << Headers{{"set-auth-token", ""}} << bodyToken << noSession << u"old"_s;
    QTest::newRow("body token only") << 200 << Headers{} << bodyToken << QString() << u"from-body"_s;
    QTest::newRow("empty body token")
        << 200 << Headers{} << QByteArray(R"({"token":""})") << noSession << u"old"_s;
    QTest::newRow("{}") << 200 << Headers{} << QByteArray("{}") << noSession << u"old"_s;
    QTest::newRow("not JSON") << 200 << Headers{} << QByteArray("<html>ok</html>") << noSession << u"old"_s;
    QTest::newRow("wrong type token")
        << 200 << Headers{} << QByteArray(R"({"token":42})") << noSession << u"old"_s;
    QTest::newRow("refused, with a token")
        << 401 << Headers{{"set-auth-token", "h3"}} << QByteArray(R"({"error":"x","token":"b3"})")
        << u"unauthorized"_s << u"old"_s;
}

void KitewellAPITest::signInTokenChoice() {
    QFETCH(int, status);
    QFETCH(albumservice::HeaderList, headers);
    QFETCH(QByteArray, body);
    QFETCH(QString, expected);
    QFETCH(QString, carried);

    Fault fault = statusFault(status, body);
    fault.extraHeaders = headers;
    service->setFault(Endpoint::SignIn, fault);
    KitewellAPI api(service->baseUrl().toString(), u"old"_s);
    const auto signedIn = outcomeOf(api.signIn(kEmail, kPassword));
    QCOMPARE(verdict(signedIn.failure), expected);
    QCOMPARE(signedIn.value.value_or(u"old"_s), carried);
    outcomeOf(api.bootstrap());
    QCOMPARE(service->requests(Endpoint::Bootstrap).last().header("Authorization"),
             "Bearer " + carried.toUtf8());
}

void KitewellAPITest::identifiersEscapedInPaths_data() {
    QTest::addColumn<QString>("id");
    QTest::addColumn<QByteArray>("escaped");
    QTest::newRow("unreserved") << u"Ab-09_x.~"_s << QByteArray("Ab-09_x.~");
    QTest::newRow("space") << u"e 1"_s << QByteArray("e%201");
    QTest::newRow("percent") << u"100%"_s << QByteArray("100%25");
    QTest::newRow("query and fragment") << u"a?b#c"_s << QByteArray("a%3Fb%23c");
    QTest::newRow("slash stays") << u"a/b"_s << QByteArray("a/b");
    QTest::newRow("non-ASCII") << u"婚é"_s << QByteArray("%E5%A9%9A%C3%A9");
    QTest::newRow("sub-delimiters stay") << u"!$&'()*+,;=:@"_s << QByteArray("!$&'()*+,;=:@");
    QTest::newRow("other ASCII") << u"\"<>[\\]^`{|}"_s << QByteArray("%22%3C%3E%5B%5C%5D%5E%60%7B%7C%7D");
}

void KitewellAPITest::identifiersEscapedInPaths() {
    QFETCH(QString, id);
    QFETCH(QByteArray, escaped);
    const QString retouched = folder.filePath(u"retouched.jpg"_s);
    QVERIFY(writeFile(retouched, "x"));
    const auto api = signedInClient();
    outcomeOf(api->eventWorkspace(id));
    outcomeOf(api->uploadEffect(id, id, retouched));
    outcomeOf(api->publishEffect(id, id));
    QList<QByteArray> targets;
    for (const auto& request : service->requests())
        targets.append(request.target);
    const QByteArray photoPath = "/api/admin/events/" + escaped + "/photos/" + escaped;
    QCOMPARE(targets, (QList<QByteArray>{"/api/publisher/events/" + escaped + "/workspace",
                                         photoPath + "/versions", photoPath + "/publish"}));
}

void KitewellAPITest::missingTokenSendsNothing() {
    const QString photo = folder.filePath(u"retouched.jpg"_s);
    QVERIFY(writeFile(photo, "x"));
    for (const std::optional<QString>& empty : {std::optional<QString>(), std::optional<QString>(u""_s)}) {
        KitewellAPI api(service->baseUrl().toString(), empty);
        for (Endpoint endpoint :
             {Endpoint::Bootstrap, Endpoint::Workspace, Endpoint::UploadVersion, Endpoint::Publish})
            QCOMPARE(verdict(callEndpoint(api, endpoint, u"e-1"_s, u"p-1"_s, photo)), u"missingToken"_s);
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
        QCOMPARE(request.method + ' ' + request.target,
                 QByteArray("POST /api/admin/events/e-1/photos/p-1/versions"));
        static const QRegularExpression form(
            u"^multipart/form-data; boundary=(KitewellDesktopSync-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12})$"_s);
        const auto match = form.match(QString::fromLatin1(request.header("Content-Type").value_or("")));
        QVERIFY(match.hasMatch());
        const QByteArray b = match.captured(1).toLatin1();
        boundaries.insert(b);
        QCOMPARE(framed(request),
                 (QList<QByteArray>{kAgent, kAcceptJson, "authorization: Bearer " + token.toUtf8(),
                                    "content-type: multipart/form-data; boundary=" + b}));

        const auto part = [&](const QByteArray& headers, const QByteArray& value) {
            return "--" + b + "\r\nContent-Disposition: form-data; " + headers + "\r\n\r\n" + value + "\r\n";
        };
        const QByteArray expected =
            part("name=\"retouched\"", "true") + part("name=\"retouchPreset\"", "DESKTOP_SYNC") +
            part("name=\"photo\"; filename=\"p-1__精修-终稿-.jpg\"\r\nContent-Type: image/jpeg", content) +
            "--" + b + "--\r\n";
        QVERIFY(request.body == expected);
        QCOMPARE(request.header("Content-Length"), QByteArray::number(expected.size()));
    }
    QCOMPARE(boundaries.size(), 2);
}

void KitewellAPITest::uploadFailsOnUnreadableFileBeforeToken() {
    KitewellAPI api(service->baseUrl().toString(), u""_s);
    for (const auto& [path, code] :
         {std::pair{folder.filePath(u"absent.jpg"_s), ENOENT}, std::pair{folder.path(), EISDIR}}) {
        const auto failure = outcomeOf(api.uploadEffect(u"e-1"_s, u"p-1"_s, path)).failure;
        QCOMPARE(failure.value_or(Failure{}).kind, Failure::Kind::FileSystem);
        QCOMPARE(failure->code, code);
    }
    QCOMPARE(service->requests().size(), 0);
}

void KitewellAPITest::publishAnswers_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("expected");
    QTest::newRow("200 {}") << 200 << QByteArray("{}") << QString();
    QTest::newRow("200 []") << 200 << QByteArray("[]") << QString();
    QTest::newRow("201 scalar") << 201 << QByteArray("null") << QString();
    QTest::newRow("204 empty") << 204 << QByteArray() << u"invalidResponse"_s;
    QTest::newRow("200 html") << 200 << QByteArray("<p>ok</p>") << u"invalidResponse"_s;
    QTest::newRow("409 message") << 409 << QByteArray(R"({"message":"尚未上传精修图"})")
                                 << u"server: 尚未上传精修图"_s;
    QTest::newRow("407 error") << 407 << QByteArray(R"({"error":"需要代理认证"})")
                               << u"server: 需要代理认证"_s;
}

void KitewellAPITest::publishAnswers() {
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, expected);
    service->setFault(Endpoint::Publish, statusFault(status, body));
    const auto api = signedInClient();
    QCOMPARE(verdict(outcomeOf(api->publishEffect(u"e-1"_s, u"p-1"_s)).failure), expected);
    const auto request = service->requests(Endpoint::Publish).last();
    QCOMPARE(request.method + ' ' + request.target,
             QByteArray("POST /api/admin/events/e-1/photos/p-1/publish"));
    QCOMPARE(request.body, QByteArray("{}"));
    // The content type is set after the frame.
    QCOMPARE(framed(request),
             (QList<QByteArray>{kAgent, kAcceptJson, "authorization: Bearer " + token.toUtf8(),
                                "content-type: application/json"}));
}

void KitewellAPITest::downloadReplacesDestinationOnlyWhenWhole() {
    // Cut and refused downloads within a pass are rows of the fault table.
    const QString destination = folder.filePath(u"p-1__IMG_1.JPG"_s);
    const QString staging = destination + u".download"_s;
    QVERIFY(writeFile(destination, "old content"));
    const QUrl source = service->originalUrl(u"e-1"_s, u"p-1"_s);
    const auto api = signedInClient();
    // The body of a refusal is never read: it may be anyone's page.
    service->setFault(Endpoint::Original, statusFault(403, R"({"error":"forbidden"})"));
    QCOMPARE(verdict(outcomeOf(api->downloadOriginal(source, destination)).failure),
             u"server: 服务器返回 403。"_s);
    QCOMPARE(readFile(destination), QByteArray("old content"));
    QVERIFY(!QFile::exists(staging));

    service->clearFaults();
    QVERIFY(writeFile(staging, "stale staging"));
    const auto outcome = outcomeOf(api->downloadOriginal(source, destination));
    QVERIFY2(outcome.ok(), qPrintable(outcome.errorText()));
    QCOMPARE(readFile(destination), service->photos(u"e-1"_s).first().jpeg);
    QVERIFY(!QFile::exists(staging));
    // No header of ours, no token: only what HTTP itself needs.
    const auto request = service->requests(Endpoint::Original).last();
    QCOMPARE(request.method, QByteArray("GET"));
    QCOMPARE(framed(request), QList<QByteArray>());

    // Works without any token at all.
    KitewellAPI anonymous(service->baseUrl().toString(), std::nullopt);
    QVERIFY(QFile::remove(destination));
    QVERIFY(outcomeOf(anonymous.downloadOriginal(source, destination)).ok());
    QVERIFY(QFile::exists(destination));
}

void KitewellAPITest::timeLimits_data() {
    // The limits shortened: a call waits 300 ms for more data, a download 3 s.
    QTest::addColumn<Endpoint>("endpoint");
    QTest::addColumn<int>("wholeMs"); // the limit on a whole transfer
    QTest::addColumn<bool>("timesOut");
    QTest::newRow("call paused past its limit") << Endpoint::Workspace << 600'000 << true;
    QTest::newRow("download paused within its limit") << Endpoint::Original << 600'000 << false;
    QTest::newRow("whole transfer past its limit") << Endpoint::Original << 500 << true;
}

void KitewellAPITest::timeLimits() {
    QFETCH(Endpoint, endpoint);
    QFETCH(int, wholeMs);
    QFETCH(bool, timesOut);
    // What the program itself runs with; the rows shorten them.
    using std::chrono::milliseconds;
    QCOMPARE(KitewellAPI::Timeouts{}.request, milliseconds(60'000));
    QCOMPARE(KitewellAPI::Timeouts{}.download, milliseconds(600'000));
    QCOMPARE(KitewellAPI::Timeouts{}.resource, milliseconds(600'000));

    Fault paused = cutFault(Fault::Cut::PauseMidBody);
    paused.pauseMs = 1000;
    service->setFault(endpoint, paused);
    KitewellAPI api(service->baseUrl().toString(), token,
                    {milliseconds(300), milliseconds(3000), milliseconds(wholeMs)});
    QTemporaryDir here;
    const QString destination = here.filePath(u"p-1__IMG_1.JPG"_s);
    const auto failure = call(api, endpoint, destination);
    // A time-out, never taken for a cancellation.
    QCOMPARE(failure ? failure->code : -1, timesOut ? int(TransportError::Kind::TimedOut) : -1);
    QCOMPARE(failure ? failure->kind : Failure::Kind::Transport, Failure::Kind::Transport);
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
