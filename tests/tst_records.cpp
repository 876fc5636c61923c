// Strict decoding of the service records, including what the JSON reader must keep of
// QJsonDocument's verdicts where the two libraries differ.

#include "model/Json.h"
#include "model/Records.h"

#include <QTest>

#include <optional>

using namespace kitewell;
using namespace Qt::StringLiterals;

namespace {

QByteArray workspaceWith(const QByteArray& photos, const QByteArray& event = R"({"id":"e1","title":"T"})",
                         const QByteArray& permissions = R"({"canManageAllPhotos":true,"canUpload":false})") {
    return R"({"event":)" + event + R"(,"photos":)" + photos + R"(,"permissions":)" + permissions + "}";
}

Photo photoWithId(const QString& id) {
    return Photo{id, std::nullopt, std::nullopt, std::nullopt, std::nullopt};
}

Photo photoWithUrl(const QString& url) {
    return Photo{u"p1"_s, std::nullopt, QUrl(url), std::nullopt, std::nullopt};
}

template <typename Decode> auto attempt(Decode decode) -> std::optional<decltype(decode())> {
    try {
        return decode();
    } catch (const json::DecodingError&) {
        return std::nullopt;
    }
}

} // namespace

class RecordsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void workspaceDecoding_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<std::optional<Photo>>("firstPhoto"); // nothing: the document fails
        const auto fails = std::optional<Photo>();
        const auto p1 = std::optional(photoWithId(u"p1"_s));
        QTest::newRow("only an id") << workspaceWith(R"([{"id":"p1"}])") << p1;
        QTest::newRow("every field")
            << workspaceWith(R"([{"id":"p1","name":"a.jpg","originalUrl":"https:\/\/h\/o?s=a%20b",)"
                             R"("createdAt":"2026","isPublished":false},{"id":"p2"}])")
            << std::optional(Photo{u"p1"_s, u"a.jpg"_s, QUrl(u"https://h/o?s=a%20b"_s), u"2026"_s, false});
        QTest::newRow("nulls are absent")
            << workspaceWith(
                   R"([{"id":"p1","name":null,"originalUrl":null,"createdAt":null,"isPublished":null}])")
            << p1;
        QTest::newRow("unknown and miscased members ignored")
            << workspaceWith(R"([{"id":"p1","originalURL":5,"x":{"y":[{},[],null]}}])") << p1;
        QTest::newRow("relative URL kept") << workspaceWith(R"([{"id":"p1","originalUrl":"/o/p1.jpg"}])")
                                           << std::optional(photoWithUrl(u"/o/p1.jpg"_s));
        QTest::newRow("URL with a space")
            << workspaceWith(R"([{"id":"p1","originalUrl":"https:\/\/h\/a b"}])") << fails;
        QTest::newRow("URL with a stray %")
            << workspaceWith(R"([{"id":"p1","originalUrl":"https:\/\/h\/1%.jpg"}])") << fails;
        QTest::newRow("empty URL") << workspaceWith(R"([{"id":"p1","originalUrl":""}])") << fails;
        QTest::newRow("role null") << workspaceWith(R"([{"id":"p1"}])",
                                                    R"({"id":"e","title":"T","collaborationRole":null})")
                                   << p1;
        QTest::newRow("role a number")
            << workspaceWith("[]", R"({"id":"e","title":"T","collaborationRole":5})") << fails;
        QTest::newRow("one photo without id") << workspaceWith(R"([{"id":"p1"},{"name":"x"}])") << fails;
        QTest::newRow("id null") << workspaceWith(R"([{"id":null}])") << fails;
        QTest::newRow("id a number") << workspaceWith(R"([{"id":7}])") << fails;
        QTest::newRow("photo not an object") << workspaceWith(R"([{"id":"p1"},"p2"])") << fails;
        QTest::newRow("isPublished a string")
            << workspaceWith(R"([{"id":"p1","isPublished":"true"}])") << fails;
        QTest::newRow("photos not an array") << workspaceWith(R"({"id":"p1"})") << fails;
        QTest::newRow("title null") << workspaceWith("[]", R"({"id":"e","title":null})") << fails;
        QTest::newRow("canUpload missing")
            << workspaceWith("[]", R"({"id":"e","title":"T"})", R"({"canManageAllPhotos":true})") << fails;
        QTest::newRow("canUpload a string")
            << workspaceWith("[]", R"({"id":"e","title":"T"})",
                             R"({"canManageAllPhotos":true,"canUpload":"true"})")
            << fails;
        QTest::newRow("top level array") << QByteArray("[]") << fails;
        QTest::newRow("trailing garbage") << workspaceWith("[]") + "x" << fails;
        QTest::newRow("truncated") << workspaceWith(R"([{"id":"p1"}])").chopped(2) << fails;
        // Where simdjson and QJsonDocument differ, QJsonDocument's verdict stands.
        QTest::newRow("byte order mark") << "\xef\xbb\xbf" + workspaceWith(R"([{"id":"p1"}])") << p1;
        QTest::newRow("lone surrogate escape")
            << workspaceWith(R"([{"id":"\ud83d"}])") << std::optional(photoWithId(QString(QChar(0xd83d))));
        QTest::newRow("raw control character")
            << workspaceWith("[{\"id\":\"p\x01\"}]") << std::optional(photoWithId(u"p\x01"_s));
        QTest::newRow("unknown escape") << workspaceWith(R"([{"id":"p\1"}])") << p1;
        QTest::newRow("numbers beyond doubles' rules")
            << workspaceWith(R"([{"id":"p1","a":1.,"b":123456789012345678901234567890,"c":1e3}])") << p1;
        QTest::newRow("number too small") << workspaceWith(R"([{"id":"p1","a":1e-400}])") << fails;
        QTest::newRow("number too small, without exponent")
            << workspaceWith(R"([{"id":"p1","a":0.)" + QByteArray(330, '0') + "1}]") << fails;
        QTest::newRow("number too large") << workspaceWith(R"([{"id":"p1","a":1e400}])") << fails;
        QTest::newRow("repeated member: the last counts")
            << workspaceWith(R"([{"id":"p0","isPublished":true,"id":"p1","isPublished":null}])") << p1;
        QTest::newRow("repeated photos: the last counts")
            << R"({"photos":[{"id":"x"}],)" + workspaceWith(R"([{"id":"p1"}])").mid(1) << p1;
        QTest::newRow("invalid UTF-8") << workspaceWith("[{\"id\":\"p\xc0\xaf\"}]") << fails;
        QTest::newRow("encoded surrogate") << workspaceWith("[{\"id\":\"p\xed\xa0\x80\"}]") << fails;
        const auto nested = [](int depth) {
            return workspaceWith(R"([{"id":"p1","x":)" + QByteArray(depth, '[') + QByteArray(depth, ']') +
                                 "}]");
        };
        QTest::newRow("nesting 1024 deep") << nested(1021) << p1;
        QTest::newRow("nesting 1025 deep") << nested(1022) << fails;
    }
    void workspaceDecoding() {
        QFETCH(QByteArray, body);
        QFETCH(std::optional<Photo>, firstPhoto);
        const std::optional<EventWorkspace> workspace = attempt([&] { return EventWorkspace::decode(body); });
        QCOMPARE(workspace.has_value(), firstPhoto.has_value());
        if (workspace) {
            QCOMPARE(workspace->photos.value(0), *firstPhoto);
            QVERIFY(!workspace->event.collaborationRole);
            QVERIFY(workspace->permissions.canManageAllPhotos && !workspace->permissions.canUpload);
        }
    }

    void bootstrapDecoding_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<std::optional<QList<AlbumEvent>>>("events"); // nothing: fails
        const QByteArray account = R"("account":{"id":"a","email":"e@x","name":"N"})";
        QTest::newRow("no events") << "{" + account + R"(,"events":[]})"
                                   << std::optional(QList<AlbumEvent>());
        QTest::newRow("roles") << "{" + account +
                                      R"(,"events":[{"id":"1","title":"x","collaborationRole":"r"},)"
                                      R"({"id":"2","title":"y","collaborationRole":null}]})"
                               << std::optional(
                                      QList<AlbumEvent>{{u"1"_s, u"x"_s, u"r"_s}, {u"2"_s, u"y"_s, {}}});
        QTest::newRow("events missing") << "{" + account + "}" << std::optional<QList<AlbumEvent>>();
        QTest::newRow("account missing")
            << QByteArray(R"({"events":[]})") << std::optional<QList<AlbumEvent>>();
        QTest::newRow("account name missing")
            << QByteArray(R"({"account":{"id":"a","email":"e"},"events":[]})")
            << std::optional<QList<AlbumEvent>>();
        QTest::newRow("an event without title")
            << "{" + account + R"(,"events":[{"id":"1","title":"x"},{"id":"2"}]})"
            << std::optional<QList<AlbumEvent>>();
    }
    void bootstrapDecoding() {
        QFETCH(QByteArray, body);
        QFETCH(std::optional<QList<AlbumEvent>>, events);
        const auto bootstrap = attempt([&] { return WorkspaceBootstrap::decode(body); });
        QCOMPARE(bootstrap ? std::optional(bootstrap->events) : std::nullopt, events);
        if (bootstrap)
            QCOMPARE(bootstrap->account.name, u"N"_s);
    }

    void smallBodies_data() {
        // What SignInResponse, ErrorResponse and EmptyResponse make of a body.
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("token");   // "<fails>" or "<absent>"
        QTest::addColumn<QString>("error");   // "<fails>" or "<absent>"
        QTest::addColumn<QString>("message"); // "<fails>" or "<absent>"
        QTest::addColumn<bool>("emptyResponse");
        const QString fails = u"<fails>"_s, absent = u"<absent>"_s;
        QTest::newRow("{}") << QByteArray("{}") << absent << absent << absent << true;
        QTest::newRow("[]") << QByteArray("[]") << fails << fails << fails << true;
        QTest::newRow("scalar") << QByteArray(R"( "ok" )") << fails << fails << fails << true;
        QTest::newRow("empty") << QByteArray() << fails << fails << fails << false;
        QTest::newRow("html") << QByteArray("<html>") << fails << fails << fails << false;
        QTest::newRow("two documents") << QByteArray("{} {}") << fails << fails << fails << false;
        QTest::newRow("fields") << QByteArray(R"({"token":"t","error":"","message":"m"})") << u"t"_s << u""_s
                                << u"m"_s << true;
        QTest::newRow("nulls") << QByteArray(R"({"token":null,"error":null,"message":null})") << absent
                               << absent << absent << true;
        QTest::newRow("wrong types") << QByteArray(R"({"token":1,"error":false,"message":[]})") << fails
                                     << fails << fails << true;
    }
    void smallBodies() {
        QFETCH(QByteArray, body);
        QFETCH(QString, token);
        QFETCH(QString, error);
        QFETCH(QString, message);
        QFETCH(bool, emptyResponse);
        const auto text = [](const auto& decoded) {
            return decoded ? decoded->value_or(u"<absent>"_s) : u"<fails>"_s;
        };
        QCOMPARE(text(attempt([&] { return SignInResponse::decode(body).token; })), token);
        QCOMPARE(text(attempt([&] { return ErrorResponse::decode(body).error; })), error);
        QCOMPARE(text(attempt([&] { return ErrorResponse::decode(body).message; })), message);
        QCOMPARE(attempt([&] { return EmptyResponse::decode(body); }).has_value(), emptyResponse);
    }
};

QTEST_GUILESS_MAIN(RecordsTest)
#include "tst_records.moc"
