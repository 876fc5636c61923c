// The local album service, only where the other suites rely on it and a fault would pass
// silently: faults really are injected (and only as scripted), and requests and uploads are
// recorded exactly as they arrived.

#include "AlbumService.h"
#include "support/Fixture.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpSocket>
#include <QTest>

using namespace testsupport;

namespace {

struct Answer {
    int status = 0;
    QByteArray body;
    std::optional<QByteArray> header(const QByteArray& name) const {
        return raw.contains(name) ? std::optional(raw.value(name)) : std::nullopt;
    }
    QHash<QByteArray, QByteArray> raw; // lower-case names
};

// Sends raw bytes on one connection; what came back once that many answers are in.
QByteArray exchange(quint16 port, const QList<QByteArray>& requests, int answers) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000))
        return {};
    for (const QByteArray& request : requests)
        socket.write(request);
    QByteArray received;
    // Every answer here ends with a JSON body, or the service closes the connection after it.
    QTest::qWaitFor(
        [&] {
            received += socket.readAll();
            return socket.state() == QAbstractSocket::UnconnectedState ||
                   (received.count("HTTP/1.1 ") >= answers && received.endsWith("}"));
        },
        10000);
    return received;
}

} // namespace

class TestAlbumService : public QObject {
    Q_OBJECT

    std::unique_ptr<AlbumService> service;
    QNetworkAccessManager network;
    QString token;

    Answer send(const QString& path, const QByteArray& method = "GET", const QByteArray& body = {},
                const QByteArray& authorization = "valid") {
        QNetworkRequest request(path.startsWith(u"http"_s) ? QUrl(path)
                                                           : QUrl(service->baseUrl().toString() + path));
        if (!authorization.isEmpty())
            request.setRawHeader("Authorization",
                                 authorization == "valid" ? "Bearer " + token.toUtf8() : authorization);
        QNetworkReply* reply = network.sendCustomRequest(request, method, body);
        QTest::qWaitFor([&] { return reply->isFinished(); }, 10000);
        Answer answer{
            reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll(), {}};
        for (const auto& [name, value] : reply->rawHeaderPairs())
            answer.raw.insert(name.toLower(), value);
        reply->deleteLater();
        return answer;
    }

private Q_SLOTS:
    void init() {
        service = startService();
        service->addEvent({u"e1"_s, u"婚礼"_s, std::nullopt});
        service->addPhoto(u"e1"_s, photo(u"p1"_s, u"IMG_1.JPG"_s), 200'000);
        service->addPhoto(u"e1"_s, photo(u"p2"_s, std::nullopt), 5'000);
        token = service->issueToken(kEmail);
    }

    void faultReplacesTheAnswer() {
        for (const bool performRequest : {false, true}) {
            Fault fault = statusFault(204);
            fault.performRequest = performRequest;
            service->setFault(Endpoint::Publish, fault);
            const Answer published = send(u"/api/admin/events/e1/photos/p1/publish"_s, "POST", "{}");
            QCOMPARE(published.status, 204);
            QCOMPARE(published.body, QByteArray());
            QCOMPARE(service->publications().size(), performRequest ? 1 : 0);
        }
        service->setFault(Endpoint::Workspace, statusFault(500, R"({"error":"坏了"})"));
        QCOMPARE(send(u"/api/publisher/events/e1/workspace"_s).body, QByteArray(R"({"error":"坏了"})"));
        service->clearFault(Endpoint::Workspace);
        QCOMPARE(send(u"/api/publisher/events/e1/workspace"_s).status, 200);
    }

    void skipAndCount() {
        // Only matching requests count: the bootstraps in between do not.
        Fault fault = statusFault(503, std::nullopt, 1);
        fault.count = 2;
        service->setFault(Endpoint::Original, fault);
        QList<int> seen;
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(send(u"/api/publisher/bootstrap"_s, "POST").status, 200);
            seen.append(send(service->originalUrl(u"e1"_s, u"p1"_s).toString()).status);
        }
        QCOMPARE(seen, (QList<int>{200, 503, 503, 200}));
    }

    // Read off the wire: the empty header exactly as sent, the removed one gone in any case.
    void answerHeaders() {
        Fault fault;
        fault.removedHeaders = {"SET-Auth-Token"};
        fault.extraHeaders = {{"set-auth-token", ""}, {"X-Extra", "1"}};
        service->setFault(Endpoint::SignIn, fault);
        const QByteArray body =
            QJsonDocument(QJsonObject{{u"email"_s, kEmail}, {u"password"_s, kPassword}}).toJson();
        const QByteArray answer =
            exchange(service->port(),
                     {"POST /api/auth/sign-in/email HTTP/1.1\r\nHost: h\r\nContent-Length: " +
                      QByteArray::number(body.size()) + "\r\n\r\n" + body},
                     1);
        QVERIFY2(answer.startsWith("HTTP/1.1 200 OK\r\n"), answer.constData());
        const QByteArray head = answer.left(answer.indexOf("\r\n\r\n") + 2);
        QCOMPARE(head.toLower().count("set-auth-token:"), 1);
        QVERIFY(head.contains("\r\nset-auth-token: \r\n") && head.contains("\r\nX-Extra: 1\r\n"));
        QVERIFY(answer.contains("\"token\":\""));
    }

    // Raw bytes on one kept-alive connection: target, header order, names and bodies as sent.
    void recordsRequestsAsSent() {
        const QByteArray bearer = "Bearer " + token.toUtf8();
        exchange(service->port(),
                 {"GET /api/publisher/events/e1/workspace?x=%2f&y HTTP/1.1\r\nHost: 127.0.0.1\r\nX-b: 1\r\n"
                  "x-A: two words\r\nX-b: 3\r\nAuthorization: " +
                      bearer + "\r\n\r\n",
                  "POST /api/admin/events/e1/photos/p1/publish HTTP/1.1\r\nHost: h\r\nAuthorization: " +
                      bearer + "\r\nContent-Length: 2\r\n\r\n{}"},
                 2);
        const auto recorded = service->requests();
        QCOMPARE(recorded.size(), 2);
        QCOMPARE(recorded[0].endpoint, Endpoint::Workspace);
        QCOMPARE(recorded[0].method, QByteArray("GET"));
        QCOMPARE(recorded[0].target, QByteArray("/api/publisher/events/e1/workspace?x=%2f&y"));
        QCOMPARE(recorded[0].headers, (albumservice::HeaderList{{"Host", "127.0.0.1"},
                                                                {"X-b", "1"},
                                                                {"x-A", "two words"},
                                                                {"X-b", "3"},
                                                                {"Authorization", bearer}}));
        QCOMPARE(recorded[0].header("X-B"), QByteArray("1"));
        QCOMPARE(recorded[1].endpoint, Endpoint::Publish);
        QCOMPARE(recorded[1].body, QByteArray("{}"));
        QCOMPARE(service->publications(), (QList<QPair<QString, QString>>{{u"e1"_s, u"p1"_s}}));
    }

    void uploadRecordedExactly() {
        // File bytes that look like the start of a delimiter must not end the part.
        const QByteArray boundary = "KitewellDesktopSync-6F1C2A3B";
        const QByteArray bytes = QByteArray("\x00\xff\r\n--", 6) + boundary.left(20) + "\r\n";
        const QByteArray body =
            "--" + boundary + "\r\nContent-Disposition: form-data; name=\"retouched\"\r\n\r\ntrue\r\n--" +
            boundary +
            "\r\nContent-Disposition: form-data; name=\"retouchPreset\"\r\n\r\nDESKTOP_SYNC\r\n--" +
            boundary +
            "\r\nContent-Disposition: form-data; name=\"photo\"; filename=\"修图 a;b.jpg\"\r\n"
            "Content-Type: image/jpeg\r\n\r\n" +
            bytes + "\r\n--" + boundary + "--\r\n";
        QNetworkRequest request(
            QUrl(service->baseUrl().toString() + u"/api/admin/events/e1/photos/p1/versions"_s));
        request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
        request.setRawHeader("Content-Type", "multipart/form-data; boundary=" + boundary);
        QNetworkReply* reply = network.post(request, body);
        QTRY_VERIFY(reply->isFinished());
        QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
        delete reply;
        QCOMPARE(service->versions().size(), 1);
        const albumservice::ReceivedVersion version = service->versions().first();
        QCOMPARE(version.eventId + u'/' + version.photoId, u"e1/p1"_s);
        QCOMPARE(version.retouched + ' ' + version.retouchPreset + ' ' + version.contentType,
                 QByteArray("true DESKTOP_SYNC image/jpeg"));
        QCOMPARE(version.fileName, QByteArray("修图 a;b.jpg"));
        QCOMPARE(version.bytes, bytes);
    }
};

QTEST_GUILESS_MAIN(TestAlbumService)
#include "tst_albumservice.moc"
