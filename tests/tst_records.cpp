// Strict decoding and encoding of the service records.

#include "model/Json.h"
#include "model/Records.h"

#include <QJsonDocument>
#include <QSet>
#include <QTest>

using namespace kitewell;
using namespace Qt::StringLiterals;

namespace {

const QByteArray kEvent = R"({"id":"e1","title":"T"})";
const QByteArray kPermissions = R"({"canManageAllPhotos":true,"canUpload":false})";

QByteArray workspaceWith(const QByteArray& photos, const QByteArray& event = kEvent,
                         const QByteArray& permissions = kPermissions) {
    return R"({"event":)" + event + R"(,"photos":)" + photos + R"(,"permissions":)" + permissions + "}";
}

QByteArray bootstrapWith(const QByteArray& account, const QByteArray& events) {
    QByteArray body = "{";
    if (!account.isNull())
        body += R"("account":)" + account;
    if (!events.isNull())
        body += QByteArray(account.isNull() ? "" : ",") + R"("events":)" + events;
    return body + "}";
}

} // namespace

class RecordsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void workspaceDecoding_data();
    void workspaceDecoding();
    void bootstrapDecoding_data();
    void bootstrapDecoding();
    void smallBodies_data();
    void smallBodies();
    void originalUrl_data();
    void originalUrl();
    void encodingRoundTrip();
    void equalityAndHashing();
};

void RecordsTest::workspaceDecoding_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("decodes");

    QTest::newRow("photo with only id") << workspaceWith(R"([{"id":"p1"}])") << true;
    QTest::newRow("empty photos") << workspaceWith("[]") << true;
    QTest::newRow("all optionals null")
        << workspaceWith(
               R"([{"id":"p1","name":null,"originalUrl":null,"createdAt":null,"isPublished":null}])")
        << true;
    QTest::newRow("unknown members ignored")
        << workspaceWith(R"([{"id":"p1","extra":{"x":1},"originalURL":5}])") << true;
    QTest::newRow("role null") << workspaceWith("[]", R"({"id":"e1","title":"T","collaborationRole":null})")
                               << true;
    QTest::newRow("role number") << workspaceWith("[]", R"({"id":"e1","title":"T","collaborationRole":5})")
                                 << false;
    QTest::newRow("one photo without id")
        << workspaceWith(R"([{"id":"p1"},{"name":"x"},{"id":"p3"}])") << false;
    QTest::newRow("photo id null") << workspaceWith(R"([{"id":null}])") << false;
    QTest::newRow("photo id number") << workspaceWith(R"([{"id":7}])") << false;
    QTest::newRow("photo not an object") << workspaceWith(R"([{"id":"p1"},"p2"])") << false;
    QTest::newRow("isPublished string") << workspaceWith(R"([{"id":"p1","isPublished":"true"}])") << false;
    QTest::newRow("isPublished number") << workspaceWith(R"([{"id":"p1","isPublished":1}])") << false;
    QTest::newRow("name number") << workspaceWith(R"([{"id":"p1","name":3}])") << false;
    QTest::newRow("createdAt number") << workspaceWith(R"([{"id":"p1","createdAt":1700000000}])") << false;
    QTest::newRow("photos not an array") << workspaceWith(R"({"id":"p1"})") << false;
    QTest::newRow("photos null") << workspaceWith("null") << false;
    QTest::newRow("permissions missing canUpload")
        << workspaceWith("[]", kEvent, R"({"canManageAllPhotos":true})") << false;
    QTest::newRow("permissions as number")
        << workspaceWith("[]", kEvent, R"({"canManageAllPhotos":1,"canUpload":1})") << false;
    QTest::newRow("event title missing") << workspaceWith("[]", R"({"id":"e1"})") << false;
    QTest::newRow("top level array") << QByteArray("[]") << false;
    QTest::newRow("not JSON") << QByteArray("<html></html>") << false;
    QTest::newRow("empty body") << QByteArray() << false;
}

void RecordsTest::workspaceDecoding() {
    QFETCH(QByteArray, body);
    QFETCH(bool, decodes);
    bool decoded = true;
    try {
        EventWorkspace::decode(body);
    } catch (const json::DecodingError&) {
        decoded = false;
    }
    QCOMPARE(decoded, decodes);
}

void RecordsTest::bootstrapDecoding_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("eventCount"); // -1: fails
    const QByteArray account = R"({"id":"a","email":"e@x","name":"N"})";
    QTest::newRow("no events") << bootstrapWith(account, "[]") << 0;
    QTest::newRow("two events") << bootstrapWith(account,
                                                 R"([{"id":"1","title":"x"},{"id":"2","title":"y"}])")
                                << 2;
    QTest::newRow("events missing") << bootstrapWith(account, {}) << -1;
    QTest::newRow("account missing") << bootstrapWith({}, "[]") << -1;
    QTest::newRow("account name missing") << bootstrapWith(R"({"id":"a","email":"e@x"})", "[]") << -1;
    QTest::newRow("bad element") << bootstrapWith(account, R"([{"id":"1","title":"x"},{"id":"2"}])") << -1;
    QTest::newRow("empty object") << QByteArray("{}") << -1;
}

void RecordsTest::bootstrapDecoding() {
    QFETCH(QByteArray, body);
    QFETCH(int, eventCount);
    int count = -1;
    try {
        count = int(WorkspaceBootstrap::decode(body).events.size());
    } catch (const json::DecodingError&) {
    }
    QCOMPARE(count, eventCount);
}

void RecordsTest::smallBodies_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("emptyResponse");
    QTest::addColumn<QString>("token");   // "<fails>" or "<absent>"
    QTest::addColumn<QString>("error");   // "<fails>" or "<absent>"
    QTest::addColumn<QString>("message"); // "<fails>" or "<absent>"

    QTest::newRow("{}") << QByteArray("{}") << true << u"<absent>"_s << u"<absent>"_s << u"<absent>"_s;
    QTest::newRow("[]") << QByteArray("[]") << true << u"<fails>"_s << u"<fails>"_s << u"<fails>"_s;
    QTest::newRow("scalar") << QByteArray("true") << true << u"<fails>"_s << u"<fails>"_s << u"<fails>"_s;
    QTest::newRow("string scalar") << QByteArray(R"( "ok" )") << true << u"<fails>"_s << u"<fails>"_s
                                   << u"<fails>"_s;
    QTest::newRow("empty") << QByteArray() << false << u"<fails>"_s << u"<fails>"_s << u"<fails>"_s;
    QTest::newRow("html") << QByteArray("<html>") << false << u"<fails>"_s << u"<fails>"_s << u"<fails>"_s;
    QTest::newRow("two documents") << QByteArray("{} {}") << false << u"<fails>"_s << u"<fails>"_s
                                   << u"<fails>"_s;
    QTest::newRow("fields") << QByteArray(R"({"token":"t","error":"","message":"m"})") << true << u"t"_s
                            << u""_s << u"m"_s;
    QTest::newRow("nulls") << QByteArray(R"({"token":null,"error":null,"message":null})") << true
                           << u"<absent>"_s << u"<absent>"_s << u"<absent>"_s;
    QTest::newRow("wrong types") << QByteArray(R"({"token":1,"error":false,"message":[]})") << true
                                 << u"<fails>"_s << u"<fails>"_s << u"<fails>"_s;
}

void RecordsTest::smallBodies() {
    QFETCH(QByteArray, body);
    QFETCH(bool, emptyResponse);
    QFETCH(QString, token);
    QFETCH(QString, error);
    QFETCH(QString, message);

    auto outcome = [](auto decode) -> QString {
        try {
            return decode().value_or(u"<absent>"_s);
        } catch (const json::DecodingError&) {
            return u"<fails>"_s;
        }
    };
    bool emptyDecodes = true;
    try {
        EmptyResponse::decode(body);
    } catch (const json::DecodingError&) {
        emptyDecodes = false;
    }
    QCOMPARE(emptyDecodes, emptyResponse);
    QCOMPARE(outcome([&] { return SignInResponse::decode(body).token; }), token);
    QCOMPARE(outcome([&] { return ErrorResponse::decode(body).error; }), error);
    QCOMPARE(outcome([&] { return ErrorResponse::decode(body).message; }), message);
}

void RecordsTest::originalUrl_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("decodes");
    QTest::addColumn<QString>("scheme");
    QTest::newRow("absolute https") << u"https://cdn.example.com/a/b.jpg?x=1"_s << true << u"https"_s;
    QTest::newRow("relative reference stays relative") << u"/originals/p1.jpg"_s << true << QString();
    QTest::newRow("escaped") << u"https://h/a%20b.jpg"_s << true << u"https"_s;
    QTest::newRow("raw space") << u"https://h/a b.jpg"_s << false << QString();
    QTest::newRow("stray percent") << u"https://h/100%.jpg"_s << false << QString();
    QTest::newRow("empty") << QString() << false << QString();
}

void RecordsTest::originalUrl() {
    QFETCH(QString, text);
    QFETCH(bool, decodes);
    QFETCH(QString, scheme);
    const QByteArray body = workspaceWith(
        R"([{"id":"p1","originalUrl":)" +
        QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact).mid(1).chopped(1) + "}]");
    try {
        const EventWorkspace workspace = EventWorkspace::decode(body);
        QVERIFY(decodes);
        QVERIFY(workspace.photos.at(0).originalUrl.has_value());
        QCOMPARE(workspace.photos.at(0).originalUrl->scheme(), scheme);
        QCOMPARE(workspace.photos.at(0).originalUrl->isRelative(), scheme.isEmpty());
    } catch (const json::DecodingError&) {
        QVERIFY(!decodes);
    }
}

void RecordsTest::encodingRoundTrip() {
    const QByteArray body =
        R"({"event":{"id":"e/1","title":"婚礼"},"photos":[{"id":"p1","name":"a.jpg","originalUrl":"https://h/o/p1","isPublished":false},{"id":"p2"}],"permissions":{"canManageAllPhotos":false,"canUpload":true}})";
    const EventWorkspace workspace = EventWorkspace::decode(body);
    const QByteArray encoded = json::encodeCompact(workspace.toJson());
    // Absent optionals are left out, never written as null; slashes are escaped.
    QVERIFY(!encoded.contains("null"));
    QVERIFY(!encoded.contains("collaborationRole"));
    QVERIFY(encoded.contains(R"("id":"e\/1")"));
    QVERIFY(encoded.contains(R"("isPublished":false)"));
    const EventWorkspace again = EventWorkspace::decode(encoded);
    QCOMPARE(again.photos, workspace.photos);
    QCOMPARE(again.event, workspace.event);
    QCOMPARE(again.permissions.canUpload, true);
    QCOMPARE(json::encodeCompact(EmptyResponse{}.toJson()), QByteArray("{}"));
}

void RecordsTest::equalityAndHashing() {
    const AlbumEvent a{u"1"_s, u"x"_s, std::nullopt};
    const AlbumEvent renamed{u"1"_s, u"y"_s, std::nullopt};
    const AlbumEvent emptyRole{u"1"_s, u"x"_s, QString()};
    QVERIFY(a != renamed);
    QVERIFY(a != emptyRole); // an absent role equals only an absent one
    QCOMPARE(a, (AlbumEvent{u"1"_s, u"x"_s, std::nullopt}));
    QCOMPARE(qHash(a), qHash(AlbumEvent{u"1"_s, u"x"_s, std::nullopt}));
    QVERIFY(qHash(a) != qHash(emptyRole));

    const Photo unpublished{u"p"_s, std::nullopt, std::nullopt, std::nullopt, false};
    const Photo unknown{u"p"_s, std::nullopt, std::nullopt, std::nullopt, std::nullopt};
    QVERIFY(unpublished != unknown); // a present false is not an absent value
    QSet<Photo> photos{unpublished, unknown, unpublished};
    QCOMPARE(photos.size(), 2);
}

QTEST_GUILESS_MAIN(RecordsTest)
#include "tst_records.moc"
