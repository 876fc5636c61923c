// The service client against the local album service: the bytes on the wire, every
// outcome of an answer, token handling, transfers and their failures, and the texts of the
// program's own errors; and the album service where the suites rely on it.

#include "client/SyncClientError.h"
#include "platform/Translations.h"
#include "support/Files.h"
#include "support/Fixture.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace kitewell;
using namespace testsupport;
using Case = SyncClientError::Case;
using std::chrono::milliseconds;

namespace {

const QByteArray kAgent = "user-agent: KitewellDesktopSync/1.0";
const QByteArray kAcceptJson = "accept: application/json";

// One answer of the service, how the call ends, and for a sign-in the token later calls carry.
struct Answer {
    int status;
    QByteArray body;
    QString expected; // empty: a success; see verdict()
    albumservice::HeaderList headers = {};
    QString carried = {};
};

// A request's headers as "name: value" in the order they arrived, but for the two HTTP needs.
QList<QByteArray> framed(const albumservice::RecordedRequest& request) {
    QList<QByteArray> found;
    for (const auto& [name, value] : request.headers) {
        if (name.toLower() != "host" && name.toLower() != "content-length")
            found.append(name.toLower() + ": " + value);
    }
    return found;
}

// How a call ended, as rows state it: empty for a success, else the client case (with the
// service's text for `server`) or the kind of failure.
QString verdict(const std::optional<Failure>& failure) {
    static const QStringList cases{u"server"_s,       u"permissionDenied"_s, u"invalidServerURL"_s,
                                   u"missingToken"_s, u"unauthorized"_s,     u"invalidResponse"_s};
    if (!failure || !failure->clientCase)
        return failure ? u"kind %1"_s.arg(int(failure->kind)) : QString();
    const QString name = cases.value(int(*failure->clientCase), u"another case"_s);
    return *failure->clientCase == Case::server ? name + u": "_s + failure->text : name;
}

qsizetype openDescriptors() {
    return QDir(u"/proc/self/fd"_s).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).size();
}

} // namespace

Q_DECLARE_METATYPE(Answer)

class KitewellAPITest : public QObject {
    Q_OBJECT
    std::unique_ptr<AlbumService> service;
    QString token;
    QTemporaryDir folder;

    KitewellAPI signedIn(KitewellAPI::Timeouts limits = {}) {
        return KitewellAPI(service->baseUrl().toString(), token, limits);
    }
    // The endpoint's call for photo p-1; file: where a download lands, or what an upload sends.
    std::optional<Failure> call(KitewellAPI& api, Endpoint endpoint, const QString& file) {
        if (endpoint == Endpoint::Original)
            return outcomeOf(api.downloadOriginal(service->originalUrl(u"e-1"_s, u"p-1"_s), file)).failure;
        return callEndpoint(api, endpoint, u"e-1"_s, u"p-1"_s, file);
    }

private Q_SLOTS:
    void initTestCase() {
        service = startService();
        service->addEvent({u"e-1"_s, u"婚礼"_s, u"photographer"_s});
        service->addPhoto(u"e-1"_s, photo(u"p-1"_s, u"IMG_1.JPG"_s), 200'000);
        token = service->issueToken(kEmail);
    }
    void init() {
        service->clearFaults();
        service->clearRequests();
    }

    // The one place that checks the texts themselves; everywhere else errors are told apart by case.
    void errorDescriptions() {
        const QList<std::pair<SyncClientError, QString>> table{
            {SyncClientError::server(u"维护中"_s), u"维护中"_s},
            {SyncClientError::permissionDenied(u"原图"_s), u"没有访问“原图”文件夹的权限，请重新选择它。"_s},
            {SyncClientError::invalidServerURL(), u"服务器地址无效。"_s},
            {SyncClientError::missingToken(), u"请先登录鸢井账号。"_s},
            {SyncClientError::unauthorized(), u"登录状态已失效，请重新登录。"_s},
            {SyncClientError::invalidResponse(), u"服务器返回的数据无法识别。"_s},
            {SyncClientError::missingOriginalDirectory(), u"请选择原图同步文件夹。"_s},
            {SyncClientError::missingEffectDirectory(), u"请选择精修回传文件夹。"_s},
            {SyncClientError::missingProject(), u"请选择要同步的相册项目。"_s}};
        for (const auto& [error, text] : table)
            QCOMPARE(error.description(), text);
    }

    void baseUrlAndPaths_data() {
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("expected"); // empty: the base URL is refused
        QTest::newRow("spaces and trailing slashes")
            << u"  \n https://api.kitewell.cn/// \t"_s << u"/api/x"_s << u"https://api.kitewell.cn/api/x"_s;
        QTest::newRow("port, no leading slash")
            << u"http://127.0.0.1:8080/"_s << u"api/x"_s << u"http://127.0.0.1:8080/api/x"_s;
        QTest::newRow("base path kept")
            << u"https://h.cn/v2//"_s << u"/api/x"_s << u"https://h.cn/v2/api/x"_s;
        QTest::newRow("second slash stays") << u"https://h.cn"_s << u"//api"_s << u"https://h.cn//api"_s;
        QTest::newRow("host only") << u"api.kitewell.cn"_s << QString() << QString();
        QTest::newRow("ftp") << u"ftp://h.cn"_s << QString() << QString();
        QTest::newRow("capital scheme") << u"HTTPS://h.cn"_s << QString() << QString();
        QTest::newRow("not a URL") << u"https://h.cn/a b"_s << QString() << QString();
    }
    void baseUrlAndPaths() {
        QFETCH(QString, base);
        QFETCH(QString, path);
        QFETCH(QString, expected);
        QString joined;
        try {
            joined = KitewellAPI(base, std::nullopt).url(path).toString();
        } catch (const SyncClientError& error) {
            QCOMPARE(error.errorCase(), Case::invalidServerURL);
        }
        QCOMPARE(joined, expected);
    }

    void signInTokenChoice_data() {
        QTest::addColumn<Answer>("answer");
        const QString none = u"server: 登录成功但未取得电脑同步会话，请稍后重试。"_s;
        const QByteArray inBody = R"({"token":"from-body"})";
        QTest::newRow("header beats body") << Answer{200, inBody, {}, {{"Set-Auth-Token", "h1"}}, u"h1"_s};
        QTest::newRow("header name in any case")
            << Answer{200, "{}", {}, {{"SET-AUTH-TOKEN", "h2"}}, u"h2"_s};
        // Present though empty: the body's token is not taken instead.
        QTest::newRow("empty header beats body")
            << Answer{200, inBody, none, {{"set-auth-token", ""}}, u"old"_s};
        QTest::newRow("body token only") << Answer{200, inBody, {}, {}, u"from-body"_s};
        QTest::newRow("empty body token") << Answer{200, R"({"token":""})", none, {}, u"old"_s};
        QTest::newRow("not JSON") << Answer{200, "<html>ok</html>", none, {}, u"old"_s};
        QTest::newRow("refused, with tokens")
            << Answer{401, R"({"token":"b3"})", u"unauthorized"_s, {{"set-auth-token", "h3"}}, u"old"_s};
    }
    // Each answer to a sign-in framed as it must be, and what the next authenticated call sends.
    void signInTokenChoice() {
        QFETCH(Answer, answer);
        Fault fault = statusFault(answer.status, answer.body);
        fault.extraHeaders = answer.headers;
        service->setFault(Endpoint::SignIn, fault);
        KitewellAPI api(service->baseUrl().toString() + u"///"_s, u"old"_s);
        const auto signedIn = outcomeOf(api.signIn(kEmail, kPassword));
        QCOMPARE(verdict(signedIn.failure), answer.expected);
        QCOMPARE(signedIn.value.value_or(u"old"_s), answer.carried);
        // JSON, the origin, no token; one compact object of the two members, slashes escaped.
        const auto signIn = service->requests(Endpoint::SignIn).last();
        QCOMPARE(signIn.method + ' ' + signIn.target, QByteArray("POST /api/auth/sign-in/email"));
        QCOMPARE(framed(signIn), (QList<QByteArray>{kAgent, kAcceptJson, "content-type: application/json",
                                                    "origin: " + service->baseUrl().toString().toUtf8()}));
        const QByteArray email = "\"email\":\"photographer@kitewell.local\"";
        const QByteArray password = "\"password\":\"correct horse\\/battery\\\"1\"";
        QVERIFY2(signIn.body == '{' + email + ',' + password + '}' ||
                     signIn.body == '{' + password + ',' + email + '}',
                 signIn.body.constData());
        // The token after the common headers, no body.
        outcomeOf(api.bootstrap());
        const auto request = service->requests(Endpoint::Bootstrap).last();
        QCOMPARE(request.method + ' ' + request.target + request.body,
                 QByteArray("POST /api/publisher/bootstrap"));
        QCOMPARE(framed(request), (QList<QByteArray>{kAgent, kAcceptJson,
                                                     "authorization: Bearer " + answer.carried.toUtf8()}));
    }

    // Statuses and bodies through the one call that reads its answer but needs no record in it.
    void answers_data() {
        QTest::addColumn<Answer>("answer");
        QTest::newRow("299 []") << Answer{299, "[]", {}};
        QTest::newRow("201 scalar") << Answer{201, "null", {}};
        QTest::newRow("204 empty") << Answer{204, "", u"invalidResponse"_s};
        QTest::newRow("200 html") << Answer{200, "<p>ok</p>", u"invalidResponse"_s};
        QTest::newRow("300") << Answer{300, "{}", u"server: 服务器返回 300。"_s};
        QTest::newRow("401 with error") << Answer{401, R"({"error":"bad"})", u"unauthorized"_s};
        QTest::newRow("407 error") << Answer{407, R"({"error":"需要代理认证"})", u"server: 需要代理认证"_s};
        QTest::newRow("error beats message") << Answer{500, R"({"message":"m","error":"e"})", u"server: e"_s};
        QTest::newRow("message only") << Answer{409, R"({"message":"维护中"})", u"server: 维护中"_s};
        QTest::newRow("empty error used") << Answer{500, R"({"error":"","message":"m"})", u"server: "_s};
        QTest::newRow("html") << Answer{502, "<html>Bad Gateway</html>", u"server: 服务器返回 502。"_s};
        QTest::newRow("error of another type")
            << Answer{400, R"({"error":3})", u"server: 服务器返回 400。"_s};
    }
    void answers() {
        QFETCH(Answer, answer);
        service->setFault(Endpoint::Publish, statusFault(answer.status, answer.body));
        KitewellAPI api = signedIn();
        QCOMPARE(verdict(outcomeOf(api.publishEffect(u"e-1"_s, u"p-1"_s)).failure), answer.expected);
        const auto request = service->requests(Endpoint::Publish).last();
        QCOMPARE(request.method + ' ' + request.target + ' ' + request.body,
                 QByteArray("POST /api/admin/events/e-1/photos/p-1/publish {}"));
        // The content type follows the frame.
        QCOMPARE(framed(request),
                 (QList<QByteArray>{kAgent, kAcceptJson, "authorization: Bearer " + token.toUtf8(),
                                    "content-type: application/json"}));
    }

    void identifiersEscapedInPaths_data() {
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
    void identifiersEscapedInPaths() {
        QFETCH(QString, id);
        QFETCH(QByteArray, escaped);
        QVERIFY(writeFile(folder.filePath(u"retouched.jpg"_s), "x"));
        KitewellAPI api = signedIn();
        outcomeOf(api.eventWorkspace(id));
        outcomeOf(api.uploadEffect(id, id, folder.filePath(u"retouched.jpg"_s)));
        outcomeOf(api.publishEffect(id, id));
        QList<QByteArray> targets;
        for (const auto& request : service->requests())
            targets.append(request.target);
        const QByteArray photoPath = "/api/admin/events/" + escaped + "/photos/" + escaped;
        QCOMPARE(targets, (QList<QByteArray>{"/api/publisher/events/" + escaped + "/workspace",
                                             photoPath + "/versions", photoPath + "/publish"}));
    }

    // With no token nothing is sent; an unreadable file fails first, with its own error.
    void missingTokenSendsNothing() {
        const QString photo = folder.filePath(u"retouched.jpg"_s);
        QVERIFY(writeFile(photo, "x"));
        for (const std::optional<QString>& none : {std::optional<QString>(), std::optional(u""_s)}) {
            KitewellAPI api(service->baseUrl().toString(), none);
            for (Endpoint endpoint :
                 {Endpoint::Bootstrap, Endpoint::Workspace, Endpoint::UploadVersion, Endpoint::Publish})
                QCOMPARE(verdict(callEndpoint(api, endpoint, u"e-1"_s, u"p-1"_s, photo)), u"missingToken"_s);
            for (const auto& [path, code] :
                 {std::pair{folder.filePath(u"absent.jpg"_s), ENOENT}, std::pair{folder.path(), EISDIR}}) {
                const auto failure = callEndpoint(api, Endpoint::UploadVersion, u"e-1"_s, u"p-1"_s, path);
                QCOMPARE(failure.value_or(Failure{}).kind, Failure::Kind::FileSystem);
                QCOMPARE(failure->code, code);
            }
        }
        QCOMPARE(service->requests().size(), 0);
    }

    void uploadBodyByteForByte() {
        // Not a JPEG at all, with a double quote and non-ASCII in its name.
        const QString path = folder.filePath(u"p-1__精修\"终稿\".jpg"_s);
        static const char head[] = "\x00\x01\r\n--not-a-boundary\r\n";
        const QByteArray content = QByteArray(head, sizeof head - 1) + QByteArray(70'000, 'z');
        QVERIFY(writeFile(path, content));
        KitewellAPI api = signedIn();
        QVERIFY(outcomeOf(api.uploadEffect(u"e-1"_s, u"p-1"_s, path)).ok());
        QVERIFY(outcomeOf(api.uploadEffect(u"e-1"_s, u"p-1"_s, path)).ok());
        QVERIFY(QFile::exists(path)); // the local file keeps its name

        QSet<QByteArray> boundaries; // a fresh one for every upload
        for (const auto& request : service->requests(Endpoint::UploadVersion)) {
            QCOMPARE(request.method + ' ' + request.target,
                     QByteArray("POST /api/admin/events/e-1/photos/p-1/versions"));
            const QByteArray contentType = request.header("Content-Type").value_or("");
            const QByteArray b = contentType.mid(contentType.indexOf('=') + 1);
            static const QRegularExpression uuid(
                u"^KitewellDesktopSync-[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$"_s);
            QVERIFY2(uuid.match(QString::fromLatin1(b)).hasMatch(), b.constData());
            boundaries.insert(b);
            QCOMPARE(framed(request),
                     (QList<QByteArray>{kAgent, kAcceptJson, "authorization: Bearer " + token.toUtf8(),
                                        "content-type: multipart/form-data; boundary=" + b}));
            const auto part = [&](const QByteArray& headers, const QByteArray& value) {
                return "--" + b + "\r\nContent-Disposition: form-data; " + headers + "\r\n\r\n" + value +
                       "\r\n";
            };
            QVERIFY(request.body ==
                    part("name=\"retouched\"", "true") + part("name=\"retouchPreset\"", "DESKTOP_SYNC") +
                        part("name=\"photo\"; filename=\"p-1__精修-终稿-.jpg\"\r\nContent-Type: image/jpeg",
                             content) +
                        "--" + b + "--\r\n");
            QCOMPARE(request.header("Content-Length"), QByteArray::number(request.body.size()));
        }
        QCOMPARE(boundaries.size(), 2);
    }

    void downloadReplacesDestinationOnlyWhenWhole() {
        // Cut and refused downloads within a pass are rows of the fault table.
        const QString destination = folder.filePath(u"p-1__IMG_1.JPG"_s);
        const QString staging = destination + u".download"_s;
        QVERIFY(writeFile(destination, "old content"));
        KitewellAPI api = signedIn();
        // The body of a refusal is never read: it may be anyone's page.
        service->setFault(Endpoint::Original, statusFault(403, R"({"error":"forbidden"})"));
        QCOMPARE(verdict(call(api, Endpoint::Original, destination)), u"server: 服务器返回 403。"_s);
        QCOMPARE(readFile(destination), QByteArray("old content"));
        QVERIFY(!QFile::exists(staging));

        service->clearFaults();
        QVERIFY(writeFile(staging, "stale staging"));
        QCOMPARE(verdict(call(api, Endpoint::Original, destination)), QString());
        QCOMPARE(readFile(destination), service->photos(u"e-1"_s).first().jpeg);
        QVERIFY(!QFile::exists(staging));
        // No header of ours, no token: only what HTTP itself needs. So it works without a token.
        QCOMPARE(framed(service->requests(Endpoint::Original).last()), QList<QByteArray>());
        KitewellAPI anonymous(service->baseUrl().toString(), std::nullopt);
        QVERIFY(QFile::remove(destination));
        QCOMPARE(verdict(call(anonymous, Endpoint::Original, destination)), QString());
        QVERIFY(QFile::exists(destination));
    }

    void timeLimits_data() {
        // The limits shortened: a call waits 300 ms for more data, a download 3 s.
        QTest::addColumn<Endpoint>("endpoint");
        QTest::addColumn<int>("wholeMs"); // the limit on a whole transfer
        QTest::addColumn<bool>("timesOut");
        QTest::newRow("call paused past its limit") << Endpoint::Workspace << 600'000 << true;
        QTest::newRow("download paused within its limit") << Endpoint::Original << 600'000 << false;
        QTest::newRow("whole transfer past its limit") << Endpoint::Original << 500 << true;
    }
    void timeLimits() {
        QFETCH(Endpoint, endpoint);
        QFETCH(int, wholeMs);
        QFETCH(bool, timesOut);
        // What the program itself runs with; the rows shorten them.
        const KitewellAPI::Timeouts standard;
        QCOMPARE(QList({standard.request, standard.download, standard.resource}),
                 QList({milliseconds(60'000), milliseconds(600'000), milliseconds(600'000)}));
        Fault paused = cutFault(Fault::Cut::PauseMidBody);
        paused.pauseMs = 1000;
        service->setFault(endpoint, paused);
        KitewellAPI api = signedIn({milliseconds(300), milliseconds(3000), milliseconds(wholeMs)});
        QTemporaryDir here;
        const auto failure = call(api, endpoint, here.filePath(u"p-1__IMG_1.JPG"_s));
        // A time-out, never taken for a cancellation.
        QCOMPARE(verdict(failure), timesOut ? u"kind %1"_s.arg(int(Failure::Kind::Transport)) : QString());
        QCOMPARE(failure ? failure->code : -1, timesOut ? int(TransportError::Kind::TimedOut) : -1);
        QCOMPARE(entries(here.path()).size(), !timesOut && endpoint == Endpoint::Original ? 1 : 0);
    }

    void cancellationStopsTransfer_data() {
        QTest::addColumn<Endpoint>("endpoint");
        QTest::newRow("download") << Endpoint::Original;
        QTest::newRow("upload") << Endpoint::UploadVersion;
    }
    void cancellationStopsTransfer() {
        QFETCH(Endpoint, endpoint);
        service->setFault(endpoint, cutFault(Fault::Cut::Stall));
        QTemporaryDir here;
        const QString file = here.filePath(u"p-1__large.jpg"_s);
        QVERIFY(endpoint == Endpoint::Original || writeFile(file, QByteArray(4 << 20, 'r')));
        const qsizetype descriptors = openDescriptors();
        qint64 waitedMs = -1;
        {
            KitewellAPI api = signedIn();
            QElapsedTimer clock;
            QTimer::singleShot(0, [&] {
                QTRY_COMPARE(service->requests(endpoint).size(), 1);
                clock.start();
                api.cancel();
            });
            QCOMPARE(verdict(call(api, endpoint, file)), u"kind %1"_s.arg(int(Failure::Kind::Cancelled)));
            waitedMs = clock.elapsed();
            // Later calls of a cancelled client do nothing.
            QCOMPARE(verdict(outcomeOf(api.bootstrap()).failure),
                     u"kind %1"_s.arg(int(Failure::Kind::Cancelled)));
        }
        // Long before any limit (the benchmarks time it closely); nothing left, everything closed.
        QVERIFY2(waitedMs < 1000, qPrintable(QString::number(waitedMs)));
        QCOMPARE(entries(here.path()).size(), endpoint == Endpoint::Original ? 0 : 1);
        QTRY_COMPARE(openDescriptors(), descriptors);
    }

    // What every suite relies on in the album service: a request is recorded as it arrived (the raw
    // target, each header in its order and case, repeats too), and a fault strikes only the
    // matching requests it was scripted for.
    void albumServiceRecordsAndFaultsAsScripted() {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, service->port());
        socket.write("GET /api/publisher/events/e%201/workspace?x=%2f HTTP/1.1\r\nHost: h\r\nX-b: 1\r\n"
                     "x-A: two words\r\nX-b: 3\r\n\r\n");
        QTRY_COMPARE(service->requests().size(), 1);
        const auto recorded = service->requests().first();
        QCOMPARE(recorded.endpoint, Endpoint::Workspace);
        QCOMPARE(recorded.target, QByteArray("/api/publisher/events/e%201/workspace?x=%2f"));
        QCOMPARE(recorded.headers,
                 (albumservice::HeaderList{{"Host", "h"}, {"X-b", "1"}, {"x-A", "two words"}, {"X-b", "3"}}));

        Fault fault = statusFault(503, std::nullopt, 1);
        fault.count = 2;
        service->setFault(Endpoint::Workspace, fault);
        KitewellAPI api = signedIn();
        QList<bool> failed;
        for (int i = 0; i < 4; ++i) {
            QVERIFY(outcomeOf(api.bootstrap()).ok()); // not a matching request: not counted
            failed.append(!outcomeOf(api.eventWorkspace(u"e-1"_s)).ok());
        }
        QCOMPARE(failed, (QList<bool>{false, true, true, false}));
    }

    void transportErrorTexts_data() {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("expected");
        QTest::newRow("zh_CN") << u"zh_CN"_s << u"连接被拒绝"_s;
        QTest::newRow("C") << u"C"_s << u"Connection refused"_s;
    }
    void transportErrorTexts() {
        QFETCH(QString, locale);
        QFETCH(QString, expected);
        const Translations translations(QStringLiteral(KITEWELL_TRANSLATIONS_DIR), QLocale(locale));
        KitewellAPI api(closedPortUrl(), token);
        QCOMPARE(outcomeOf(api.bootstrap()).errorText(), expected);
    }
};

QTEST_GUILESS_MAIN(KitewellAPITest)
#include "tst_kitewellapi.moc"
