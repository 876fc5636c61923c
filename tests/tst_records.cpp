// Strict decoding of the service records, including what the JSON reader must keep of
// QJsonDocument's verdicts where the two libraries differ.

#include "model/Json.h"
#include "model/Records.h"
#include "support/Decoding.h"

#include <QTest>

#include <optional>

using namespace kitewell;
using namespace testsupport;
using namespace Qt::StringLiterals;

namespace {

using Decoded = std::optional<Photo>; // the first photo; nothing: the document fails

// A workspace with these photos (the members of the array), album and permissions.
QByteArray ws(const QByteArray& photos, const QByteArray& event = R"("id":"e","title":"T")",
              const QByteArray& permissions = R"("canManageAllPhotos":true,"canUpload":false)") {
    return R"({"event":{)" + event + R"(},"photos":[)" + photos + R"(],"permissions":{)" + permissions + "}}";
}

Decoded photo(const QString& id, std::optional<QString> url = {}) {
    return Photo{id, std::nullopt, std::move(url), std::nullopt, std::nullopt};
}

void row(const char* name, const QByteArray& body, const Decoded& first) {
    QTest::newRow(name) << body << first;
}

} // namespace

class RecordsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void workspaceDecoding_data();
    void workspaceDecoding() {
        QFETCH(QByteArray, body);
        QFETCH(Decoded, first);
        const std::optional<EventWorkspace> workspace = attempt([&] { return EventWorkspace::decode(body); });
        QCOMPARE(workspace ? std::optional(workspace->photos.value(0)) : std::nullopt, first);
        if (workspace)
            QVERIFY(!workspace->event.collaborationRole && workspace->permissions.canManageAllPhotos &&
                    !workspace->permissions.canUpload);
    }

    void bootstrapNeedsItsEvents() {
        const QByteArray account = R"({"account":{"id":"a","email":"e@x","name":"N"})";
        QCOMPARE(
            attempt([&] { return WorkspaceBootstrap::decode(account + R"(,"events":[]})"); })->account.name,
            u"N");
        QVERIFY(!attempt([&] { return WorkspaceBootstrap::decode(account + "}"); }));
    }
};

void RecordsTest::workspaceDecoding_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<Decoded>("first");
    const Decoded fails, p1 = photo(u"p1"_s);
    row("only an id", ws(R"({"id":"p1"})"), p1);
    row("every field",
        ws(R"({"id":"p","name":"a","originalUrl":"https:\/\/h\/o?s=a%20b","createdAt":"2026","isPublished":false})"),
        Photo{u"p"_s, u"a"_s, u"https://h/o?s=a%20b"_s, u"2026"_s, false});
    row("nulls are absent",
        ws(R"({"id":"p1","name":null,"originalUrl":null,"createdAt":null,"isPublished":null})"), p1);
    row("unknown and miscased members ignored", ws(R"({"id":"p1","originalURL":5,"x":{"y":[{},[],null]}})"),
        p1);
    row("relative URL kept", ws(R"({"id":"p1","originalUrl":"/o/p1.jpg"})"), photo(u"p1"_s, u"/o/p1.jpg"_s));
    row("URL with a space", ws(R"({"id":"p1","originalUrl":"https:\/\/h\/a b"})"), fails);
    row("empty URL", ws(R"({"id":"p1","originalUrl":""})"), fails);
    row("role a number", ws("", R"("id":"e","title":"T","collaborationRole":5)"), fails);
    row("one photo without id", ws(R"({"id":"p1"},{"name":"x"})"), fails);
    row("id null", ws(R"({"id":null})"), fails);
    row("id a number", ws(R"({"id":7})"), fails);
    row("photo not an object", ws(R"({"id":"p1"},"p2")"), fails);
    row("isPublished a string", ws(R"({"id":"p1","isPublished":"true"})"), fails);
    row("photos not an array", ws("").replace("[]", "{}"), fails);
    row("canUpload a string",
        ws("", R"("id":"e","title":"T")", R"("canManageAllPhotos":true,"canUpload":"1")"), fails);
    // Where simdjson and QJsonDocument differ, QJsonDocument's verdict stands.
    row("byte order mark", "\xef\xbb\xbf" + ws(R"({"id":"p1"})"), p1);
    row("lone surrogate escape", ws(R"({"id":"\ud83d"})"), photo(QString(QChar(0xd83d))));
    row("raw control character", ws("{\"id\":\"p\x01\"}"), photo(u"p\x01"_s));
    row("unknown escape", ws(R"({"id":"p\1"})"), p1);
    row("numbers beyond a double's form", ws(R"({"id":"p1","a":1.,"b":123456789012345678901234567890})"), p1);
    row("number too small", ws(R"({"id":"p1","a":1e-400})"), fails);
    row("number too small, without exponent", ws(R"({"id":"p1","a":0.)" + QByteArray(330, '0') + "1}"),
        fails);
    row("repeated member: the last counts",
        ws(R"({"id":"p0","isPublished":true,"id":"p1","isPublished":null})"), p1);
    row("repeated photos: the last counts", R"({"photos":[{"id":"x"}],)" + ws(R"({"id":"p1"})").mid(1), p1);
}

QTEST_GUILESS_MAIN(RecordsTest)
#include "tst_records.moc"
