// Strict decoding and encoding of the service records.

#include "model/Json.h"
#include "model/Records.h"

#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTest>

#include <functional>
#include <optional>
#include <tuple>

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
    void bootstrapDecoding_data();
    void bootstrapDecoding();
    void smallBodies_data();
    void smallBodies();
    void originalUrl_data();
    void originalUrl();
    void encodingRoundTrip();
    void workspaceDecoding_data();
    void workspaceDecoding();
    void quickReadingAgreesOnDamagedBodies();
};

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

namespace {

// What a workspace decodes to, or nullopt when it fails.
using Decoded = std::optional<std::tuple<AlbumEvent, QList<Photo>, bool, bool>>;

Decoded decoded(const std::function<EventWorkspace()>& decode) {
    try {
        const EventWorkspace workspace = decode();
        return std::tuple(workspace.event, workspace.photos, workspace.permissions.canManageAllPhotos,
                          workspace.permissions.canUpload);
    } catch (const json::DecodingError&) {
        return std::nullopt;
    }
}

// The quick reader must give exactly what QJsonDocument and the record rules give.
void compareWithGeneralDecoder(const QByteArray& body) {
    const Decoded quick = decoded([&] { return EventWorkspace::decode(body); });
    const Decoded general = decoded([&] { return EventWorkspace::fromJson(json::parseObject(body)); });
    if (quick != general)
        QFAIL(qPrintable(u"decoded differently (%1 / %2): %3"_s.arg(quick.has_value())
                             .arg(general.has_value())
                             .arg(QString::fromLatin1(body.toPercentEncoding(" {}[]\":,")))));
}

const QByteArray kSamplePhotos =
    R"([{"id":"p1","name":"IMG_0001.JPG","originalUrl":"https:\/\/cdn.example.com\/o\/p1.jpg?sig=a%20b",)"
    R"("createdAt":"2026-05-01T10:00:00Z","isPublished":false,"width":4000,"exif":{"iso":[100,-2.5]}},)"
    R"({"id":"p\"2","name":"婚礼 \t 😀.jpg","originalUrl":null,"isPublished":true},{"id":"p3"}])";

} // namespace

void RecordsTest::workspaceDecoding_data() {
    // Whatever the quick reader makes of a body, QJsonDocument with the record rules makes
    // the same; where a row says so, that is to decode (1) or to fail (0).
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("decodes");
    struct Row {
        const char* name;
        QByteArray body;
        int decodes = -1;
    };
    const QByteArray deep = QByteArray(100, '[') + QByteArray(100, ']');
    const QByteArray deeper = QByteArray(2000, '[') + QByteArray(2000, ']');
    const QList<Row> rows{
        {"sample", workspaceWith(kSamplePhotos), 1},
        {"photo with only id", workspaceWith(R"([{"id":"p1"}])"), 1},
        {"empty photos", workspaceWith("[]"), 1},
        {"all optionals null",
         workspaceWith(R"([{"id":"p1","name":null,"originalUrl":null,"createdAt":null,"isPublished":null}])"),
         1},
        {"unknown members ignored", workspaceWith(R"([{"id":"p1","extra":{"x":1},"originalURL":5}])"), 1},
        {"role null", workspaceWith("[]", R"({"id":"e1","title":"T","collaborationRole":null})"), 1},
        {"role number", workspaceWith("[]", R"({"id":"e1","title":"T","collaborationRole":5})"), 0},
        {"one photo without id", workspaceWith(R"([{"id":"p1"},{"name":"x"},{"id":"p3"}])"), 0},
        {"photo id null", workspaceWith(R"([{"id":null}])"), 0},
        {"photo id number", workspaceWith(R"([{"id":7}])"), 0},
        {"photo not an object", workspaceWith(R"([{"id":"p1"},"p2"])"), 0},
        {"isPublished string", workspaceWith(R"([{"id":"p1","isPublished":"true"}])"), 0},
        {"name number", workspaceWith(R"([{"id":"p1","name":3}])"), 0},
        {"photos not an array", workspaceWith(R"({"id":"p1"})"), 0},
        {"photos null", workspaceWith("null"), 0},
        {"permissions missing canUpload", workspaceWith("[]", kEvent, R"({"canManageAllPhotos":true})"), 0},
        {"event title missing", workspaceWith("[]", R"({"id":"e1"})"), 0},
        {"top level array", "[]", 0},
        {"not JSON", "<html></html>", 0},
        {"empty body", QByteArray(), 0},
        {"white space everywhere", " \r\n\t{ \"event\" : " + kEvent +
                                       " , \"photos\" :\n[ { \"id\" : \"p1\" } ] ,"
                                       "\"permissions\":" +
                                       kPermissions + " }\n "},
        {"short escapes", workspaceWith(R"([{"id":"\\\/\b\f\n\r\t\"x"}])")},
        {"u escape in a value", workspaceWith(R"([{"id":"caf\u00e9"}])")},
        {"surrogate pair escaped", workspaceWith(R"([{"id":"\ud83d\ude00"}])")},
        {"lone surrogate escaped", workspaceWith(R"([{"id":"\ud83d"}])")},
        {"escaped member name", workspaceWith(R"([{"i\u0064":"p1"}])")},
        {"member name with short escape", workspaceWith(R"([{"id":"p1","orig\/inalUrl":"x y"}])")},
        {"invalid escape in an ignored member", workspaceWith(R"([{"id":"p1","note":"\x"}])")},
        {"short u escape in an ignored member", workspaceWith(R"([{"id":"p1","note":"\u12"}])")},
        {"raw control character", workspaceWith("[{\"id\":\"p\x01\"}]")},
        {"invalid UTF-8", workspaceWith("[{\"id\":\"p\xc0\xaf\"}]")},
        {"encoded surrogate", workspaceWith("[{\"id\":\"p\xed\xa0\x80\"}]")},
        {"truncated UTF-8", workspaceWith("[{\"id\":\"p\xe4\xb8\"}]")},
        {"byte order mark", "\xef\xbb\xbf" + workspaceWith("[]")},
        {"photos repeated", R"({"photos":[],"event":)" + kEvent +
                                R"(,"photos":[{"id":"p1"}],"permissions":)" + kPermissions + "}"},
        {"id repeated", workspaceWith(R"([{"id":"p1","id":"p2"}])")},
        {"isPublished repeated", workspaceWith(R"([{"id":"p1","isPublished":true,"isPublished":null}])")},
        {"ignored member repeated", workspaceWith(R"([{"id":"p1","w":1,"w":"x"}])")},
        {"numbers", workspaceWith(R"([{"id":"p1","a":0,"b":-0,"c":12.50,"d":-7,"e":123456789012345678}])")},
        {"exponent", workspaceWith(R"([{"id":"p1","a":1e3,"b":2.5E-2}])")},
        {"huge exponent", workspaceWith(R"([{"id":"p1","a":1e400}])")},
        {"long number", workspaceWith(R"([{"id":"p1","a":123456789012345678901234567890}])")},
        {"leading zero", workspaceWith(R"([{"id":"p1","a":01}])")},
        {"bare minus", workspaceWith(R"([{"id":"p1","a":-}])")},
        {"dot without digits", workspaceWith(R"([{"id":"p1","a":1.}])")},
        {"misspelt literal", workspaceWith(R"([{"id":"p1","isPublished":tru}])")},
        {"literal in capitals", workspaceWith(R"([{"id":"p1","a":TRUE}])")},
        {"nested ignored values", workspaceWith(R"([{"id":"p1","x":{"y":[{},[],{"z":null}]}}])")},
        {"deep nesting", workspaceWith(R"([{"id":"p1","x":)" + deep + "}]")},
        {"nesting too deep", workspaceWith(R"([{"id":"p1","x":)" + deeper + "}]")},
        {"trailing comma in object", workspaceWith(R"([{"id":"p1",}])")},
        {"trailing comma in array", workspaceWith(R"([{"id":"p1"},])")},
        {"missing comma", workspaceWith(R"([{"id":"p1" "name":"n"}])")},
        {"trailing garbage", workspaceWith("[]") + "x"},
        {"second document", workspaceWith("[]") + "{}"},
        {"truncated", workspaceWith(kSamplePhotos).chopped(3)},
        {"url that does not parse", workspaceWith(R"([{"id":"p1","originalUrl":"https://h/a b"}])")},
        {"event repeated", R"({"event":{"id":"x","title":"y"},)" + workspaceWith("[]").mid(1)},
        {"title null", workspaceWith("[]", R"({"id":"e1","title":null})")},
        {"canUpload repeated",
         workspaceWith("[]", kEvent, R"({"canManageAllPhotos":true,"canUpload":false,"canUpload":true})")},
        {"canUpload as string",
         workspaceWith("[]", kEvent, R"({"canManageAllPhotos":true,"canUpload":"true"})"), 0},
        {"empty member name", workspaceWith(R"([{"":1,"id":"p1"}])")},
    };
    for (const Row& row : rows)
        QTest::newRow(row.name) << row.body << row.decodes;
}

void RecordsTest::workspaceDecoding() {
    QFETCH(QByteArray, body);
    QFETCH(int, decodes);
    compareWithGeneralDecoder(body);
    if (decodes >= 0)
        QCOMPARE(decoded([&] { return EventWorkspace::decode(body); }).has_value(), decodes == 1);
}

void RecordsTest::quickReadingAgreesOnDamagedBodies() {
    // Well-formed answers damaged at random: whatever the quick reader makes of each, the
    // general decoder makes the same.
    static constexpr char interestingBytes[] = "\"\\{}[],:ntuf0-.e \t\n\x01\x7f\x80\xc0\xe4\xed\xf4\xff";
    const QByteArray interesting(interestingBytes, sizeof interestingBytes - 1);
    const QByteArray sample = workspaceWith(kSamplePhotos);
    QRandomGenerator random(2026);
    for (int round = 0; round < 4000; ++round) {
        QByteArray body = sample;
        const int damages = 1 + int(random.bounded(3));
        for (int i = 0; i < damages; ++i) {
            const qsizetype at = random.bounded(body.size());
            const char byte = interesting.at(random.bounded(interesting.size()));
            switch (random.bounded(3)) {
            case 0:
                body[at] = byte;
                break;
            case 1:
                body.insert(at, byte);
                break;
            default:
                body.remove(at, 1);
                break;
            }
        }
        compareWithGeneralDecoder(body);
        if (QTest::currentTestFailed())
            return;
    }
}

QTEST_GUILESS_MAIN(RecordsTest)
#include "tst_records.moc"
