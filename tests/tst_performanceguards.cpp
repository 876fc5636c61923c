// What the fast paths must not change: the state file's bytes however it is written
// (chunked, sorted by packed key heads), the early read of the state that never
// moves a file aside, and a pass that tells present originals from a folder listing instead
// of one lookup per photo.

#include "model/Json.h"
#include "storage/SyncStorage.h"
#include "support/Files.h"
#include "support/Fixture.h"
#include "support/StateReference.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTest>

#include <unistd.h>

using namespace kitewell;
using namespace testsupport;

namespace {

const QString kEvent = u"evt-guards-1"_s;
const QString kAlbum = u"Guards--evt-guar"_s;

// What QJsonDocument and the strict member rules make of the bytes: the result every
// reader of the state file must give (nothing where decoding fails).
std::optional<SyncStateFile> referenceDecoding(const QByteArray& bytes) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    const QJsonValue records = document.object().value(u"records"_s);
    if (error.error != QJsonParseError::NoError || !records.isObject())
        return std::nullopt;
    SyncStateFile state;
    const QJsonObject object = records.toObject();
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        const QJsonObject member = it->toObject();
        bool ok = it->isObject();
        const auto required = [&](const QString& name) {
            ok = ok && member.value(name).isString();
            return member.value(name).toString();
        };
        const auto optional = [&](const QString& name) -> std::optional<QString> {
            const QJsonValue value = member.value(name);
            if (value.isUndefined() || value.isNull())
                return std::nullopt;
            ok = ok && value.isString();
            return value.toString();
        };
        SyncRecord record{required(u"photoId"_s), required(u"eventId"_s), required(u"originalRelativePath"_s),
                          optional(u"lastUploadedEffectFingerprint"_s),
                          optional(u"lastPublishedEffectFingerprint"_s)};
        if (!ok)
            return std::nullopt;
        state.records.insert(it.key(), record);
    }
    return state;
}

std::optional<SyncStateFile> decoded(const QByteArray& bytes) {
    try {
        return SyncStateFile::decode(bytes);
    } catch (const json::DecodingError&) {
        return std::nullopt;
    }
}

// "p007" and the like: ids that sort in album order.
QString photoId(int i) {
    return u"p"_s + QString::number(i).rightJustified(3, u'0');
}

QString hexId(QRandomGenerator& random) {
    return QString::number(random.generate64(), 16).rightJustified(16, u'0');
}

SyncRecord recordFor(const QString& eventId, const QString& photoId, const QString& folder, int i) {
    SyncRecord record{photoId, eventId,
                      folder + u'/' + photoId + u"__IMG_"_s + QString::number(i) + u".JPG"_s, std::nullopt,
                      std::nullopt};
    if (i % 3 == 0)
        record.lastUploadedEffectFingerprint = QString::number(4096 + i) + u"-1767225600"_s;
    if (i % 5 == 0)
        record.lastPublishedEffectFingerprint = QString::number(4096 + i) + u"-1767225600"_s;
    return record;
}

} // namespace

class PerformanceGuardsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();

    void stateWritersKeepTheByteForm_data();
    void stateWritersKeepTheByteForm();
    void readerAgreesWithQJsonDocument_data();
    void readerAgreesWithQJsonDocument();
    void readerAgreesOnMutatedFiles();
    void failedPassLeavesUndecodableStateInPlace();

    void presentItemsAreRecognised_data();
    void presentItemsAreRecognised();
    void repeatedPhotoIdsKeepTheFirstRecord_data();
    void repeatedPhotoIdsKeepTheFirstRecord();

private:
    Outcome<SyncResult> pass();
    void makeAlbum(int photos);

    std::unique_ptr<AlbumService> service;
    std::unique_ptr<Sandbox> sandbox;
    SyncSettings settings;
};

void PerformanceGuardsTest::init() {
    service = startService();
    service->addEvent({kEvent, u"Guards"_s, std::nullopt});
    sandbox = std::make_unique<Sandbox>();
    settings = sandbox->settings(kEvent);
    settings.effectDirectoryBookmark.reset();
}

Outcome<SyncResult> PerformanceGuardsTest::pass() {
    return runPass(service->baseUrl().toString(), service->issueToken(kEmail), settings, false);
}

void PerformanceGuardsTest::makeAlbum(int photos) {
    for (int i = 0; i < photos; ++i)
        service->addPhoto(kEvent, photo(photoId(i), u"IMG_%1.JPG"_s.arg(i)), 600);
}

void PerformanceGuardsTest::stateWritersKeepTheByteForm_data() {
    QTest::addColumn<SyncStateFile>("state");
    QRandomGenerator random(20260501);

    QTest::newRow("empty") << SyncStateFile{};

    // Albums of every size, so keys share prefixes of many lengths and the sort recurses; large
    // enough (20,000 records) for several chunks.
    SyncStateFile manyAlbums;
    for (int album = 0; album < 12; ++album) {
        const QString eventId = album % 4 == 0 ? u"shared-prefix-%1"_s.arg(album) : hexId(random);
        for (int i = 0; i < 40 * album * album; ++i) {
            const QString photo = i % 7 == 0 ? u"same-start-"_s + QString::number(i) : hexId(random);
            manyAlbums.records.insert(
                SyncStateFile::recordKey(eventId, photo),
                recordFor(eventId, photo, u"Album/1 \"quoted\"--"_s + eventId.left(8), i));
        }
    }
    QTest::newRow("albums of many sizes") << manyAlbums;

    // Keys that differ at every position across the four-unit words, keys that are prefixes
    // of others, NUL and other control units, surrogates, and units above 0x7fff.
    SyncStateFile awkward;
    const QList<char16_t> units{0,      1,      u'/',   u'"',   u'\\',  0x7f,   0x80, 0x7ff, 0x800,
                                0x7fff, 0x8000, 0xd800, 0xdc00, 0xfffe, 0xffff, u'a', u'b'};
    for (int length = 0; length < 11; ++length) {
        for (int n = 0; n < 60; ++n) {
            QString key;
            for (int i = 0; i < length; ++i)
                key += QChar(units[random.bounded(int(units.size()))]);
            awkward.records.insert(key, {key, key, u"a/"_s + key, key, std::nullopt});
            awkward.records.insert(key + QChar(0), {u"p"_s, key, u"b"_s, std::nullopt, key});
        }
    }
    awkward.records.insert(QString::fromUtf16(u"\U0001F600 emoji"), {u"😀"_s, u"e"_s, u"x/😀.jpg"_s, {}, {}});
    QTest::newRow("awkward keys") << awkward;

    // Texts where the escaping rules change, as values as well as keys: every control
    // character (some have short escapes), lone and reversed surrogates.
    QStringList texts{u"a\"b\\c\\\"\""_s,
                      u"/a//b/"_s,
                      QString::fromUtf16(u"é中\u2028\uFFFF\u0800\u07FF"),
                      QString::fromUtf16(u"\U0001F600x\U0010FFFF"),
                      QString(QChar(0xD83D)) + u'x',
                      u'x' + QString(QChar(0xD83D)),
                      QString(QChar(0xDE00)) + QChar(0xD83D)};
    QString controls;
    for (char16_t c = 0; c < 0x20; ++c)
        controls += QChar(c);
    texts.append(controls + QChar(0x7f));
    SyncStateFile values;
    for (const QString& text : std::as_const(texts)) {
        values.records.insert(text, {text, text, text, text, text});
        values.records.insert(u'k' + text, {u"p"_s, text, u"a/b"_s, std::nullopt, text});
    }
    QTest::newRow("awkward values") << values;
}

void PerformanceGuardsTest::stateWritersKeepTheByteForm() {
    QFETCH(SyncStateFile, state);
    const QByteArray reference = referenceEncoding(state);

    QCOMPARE(state.encode(), reference);

    SyncStorage::saveState(state);
    QCOMPARE(readFile(SyncStorage::statePath()), reference);
    QCOMPARE(SyncStorage::loadState(), state);
    QCOMPARE(entries(SyncStorage::supportDirectory()), QStringList{u"sync-state.json"_s});
}

void PerformanceGuardsTest::readerAgreesWithQJsonDocument_data() {
    QTest::addColumn<QByteArray>("bytes");
    const QByteArray record = R"("photoId":"p","eventId":"e","originalRelativePath":"A\/p.jpg")";
    const auto file = [&](const QByteArray& members) { return R"({"records":{"e:p":{)" + members + "}}}"; };
    QTest::newRow("canonical") << file(record);
    QTest::newRow("white space everywhere") << " \r\n\t{ \"records\" : { \"e:p\" : { " + record + " } } } \n";
    QTest::newRow("fingerprints") << file(
        record + R"(,"lastUploadedEffectFingerprint":"1-2","lastPublishedEffectFingerprint":"3-4")");
    QTest::newRow("null fingerprints")
        << file(record + R"(,"lastUploadedEffectFingerprint":null,"lastPublishedEffectFingerprint":null)");
    QTest::newRow("fingerprint of another type") << file(record + R"(,"lastUploadedEffectFingerprint":12)");
    QTest::newRow("null required member")
        << file(R"("photoId":null,"eventId":"e","originalRelativePath":"x")");
    QTest::newRow("missing required member") << file(R"("photoId":"p","eventId":"e")");
    QTest::newRow("unknown members of every type")
        << R"({"version":2,"records":{"e:p":{"a":"s","b":null,"c":1.5,"d":true,"e":[1,{}],"f":{"g":[]},)" +
               record + R"(}},"z":[]})";
    QTest::newRow("repeated member") << file(record + R"(,"photoId":"q")");
    QTest::newRow("repeated record")
        << R"({"records":{"e:p":{)" + record +
               R"(},"e:p":{"photoId":"q","eventId":"e","originalRelativePath":"y"}}})";
    QTest::newRow("repeated records") << R"({"records":{},"records":{"e:p":{)" + record + "}}}";
    const auto withId = [&](const QByteArray& id) {
        return file("\"photoId\":\"" + id + "\",\"eventId\":\"e\",\"originalRelativePath\":\"x\"");
    };
    QTest::newRow("unicode escapes") << withId("\\u0070\\ud83d\\ude00\\u002F");
    QTest::newRow("lone surrogate escape") << withId("\\udc00");
    QTest::newRow("unusual escape") << withId("\\x");
    QTest::newRow("raw control characters") << withId("a\tb\x01");
    QTest::newRow("UTF-8 of all lengths")
        << withId("\xc3\xa9\xe4\xb8\xad\xef\xbf\xbf\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf");
    QTest::newRow("encoded surrogate") << withId("\xed\xa0\x80");
    QTest::newRow("overlong") << withId("\xc0\xaf");
    QTest::newRow("beyond U+10FFFF") << withId("\xf4\x90\x80\x80");
    QTest::newRow("truncated sequence") << withId("\xe4\xb8");
    QTest::newRow("byte order mark") << "\xef\xbb\xbf" + file(record);
    QTest::newRow("trailing garbage") << file(record) + "x";
    QTest::newRow("trailing NUL") << file(record) + QByteArray(1, '\0');
    QTest::newRow("no records") << QByteArray(R"({"other":"x"})");
    QTest::newRow("records not an object") << QByteArray(R"({"records":"x"})");
    QTest::newRow("record not an object") << QByteArray(R"({"records":{"e:p":"x"}})");
    QTest::newRow("top level array") << QByteArray("[]");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("escaped member name")
        << file(R"("photo\u0049d":"p","eventId":"e","originalRelativePath":"x")");
    QTest::newRow("escaped key") << R"({"records":{"e:\"p\/\\":{)" + record + "}}}";
}

void PerformanceGuardsTest::readerAgreesWithQJsonDocument() {
    QFETCH(QByteArray, bytes);
    QCOMPARE(decoded(bytes), referenceDecoding(bytes));
}

void PerformanceGuardsTest::readerAgreesOnMutatedFiles() {
    // Files of this program's form, damaged at random: whatever the reader makes of each,
    // it is what QJsonDocument makes of it.
    QRandomGenerator random(77);
    const QList<char16_t> units{u'a', u'/', u'"',   u'\\',  u' ',   0x1,   u'\t',
                                0x7f, 0xe9, 0x4e2d, 0xd83d, 0xde00, 0xffff};
    static constexpr char interestingBytes[] = "\"\\{}[],:nul0x \t\n\x01\x7f\x80\xc0\xed\xf4\xff";
    const QByteArray interesting(interestingBytes, sizeof interestingBytes - 1);
    int agreedOnValues = 0;
    for (int round = 0; round < 4000; ++round) {
        SyncStateFile state;
        for (int i = 0, count = int(random.bounded(4)); i < count; ++i) {
            QString text;
            for (int j = 0, length = int(random.bounded(6)); j < length; ++j)
                text += QChar(units[random.bounded(int(units.size()))]);
            state.records.insert(u"e:"_s + text + QString::number(i),
                                 {text, u"e"_s, u"A/"_s + text,
                                  random.bounded(2) ? std::optional(text) : std::nullopt, std::nullopt});
        }
        QByteArray bytes = state.encode();
        for (int edits = int(random.bounded(4)); edits > 0; --edits) {
            const qsizetype at = random.bounded(int(bytes.size()) + 1);
            switch (random.bounded(5)) {
            case 0:
                bytes.insert(at, interesting[random.bounded(int(interesting.size()))]);
                break;
            case 1:
                if (at < bytes.size())
                    bytes[at] = interesting[random.bounded(int(interesting.size()))];
                break;
            case 2:
                bytes.remove(at, 1);
                break;
            case 3:
                bytes.replace("\\/", "\\u002f");
                break;
            default:
                bytes.replace("\"eventId\":", random.bounded(2) ? "\"x\":null,\"eventId\":"
                                                                : "\"eventId\":\"d\",\"eventId\":");
                break;
            }
        }
        const std::optional<SyncStateFile> expected = referenceDecoding(bytes);
        QCOMPARE(decoded(bytes), expected);
        agreedOnValues += expected.has_value();
    }
    QVERIFY2(agreedOnValues > 1000, "too few of the damaged files still decode for the test to mean much");
}

void PerformanceGuardsTest::failedPassLeavesUndecodableStateInPlace() {
    // The engine reads the state while the service answers; a pass that fails at the service
    // must still leave an undecodable file exactly where it was.
    makeAlbum(2);
    QDir().mkpath(SyncStorage::supportDirectory());
    writeFile(SyncStorage::statePath(), "{not json");
    service->setFault(Endpoint::Workspace, statusFault(500));

    const auto failed = pass();
    QVERIFY(!failed.ok());
    QCOMPARE(readFile(SyncStorage::statePath()), QByteArray("{not json"));
    QCOMPARE(entries(SyncStorage::supportDirectory()), QStringList{u"sync-state.json"_s});

    service->clearFaults();
    const auto passed = pass();
    QVERIFY2(passed.ok(), qPrintable(passed.errorText()));
    QCOMPARE(passed.value->downloadedOriginals, 2);
    QCOMPARE(entries(SyncStorage::supportDirectory()).filter(u"sync-state.json.corrupt-"_s).size(), 1);
}

void PerformanceGuardsTest::presentItemsAreRecognised_data() {
    QTest::addColumn<int>("photos");
    QTest::newRow("folder listed at once") << 40;
    QTest::newRow("paths looked up one by one") << 6;
}

void PerformanceGuardsTest::presentItemsAreRecognised() {
    QFETCH(int, photos);
    makeAlbum(photos);
    const QString album = sandbox->originals + u'/' + kAlbum;
    QDir().mkpath(album);
    // Anything at a photo's place counts as present, whatever it is.
    writeFile(album + u"/p000__IMG_0.JPG"_s, "the user's own file");
    QVERIFY(::symlink("/nonexistent/target", QFile::encodeName(album + u"/p001__IMG_1.JPG"_s).constData()) ==
            0);
    QVERIFY(QDir().mkpath(album + u"/p002__IMG_2.JPG"_s));
    QVERIFY(::symlink(QFile::encodeName(sandbox->originals).constData(),
                      QFile::encodeName(album + u"/p003__IMG_3.JPG"_s).constData()) == 0);
    // Names that differ from a photo's only in case or by a trailing byte do not count.
    writeFile(album + u"/p004__img_4.jpg"_s, "other");
    writeFile(album + u"/p005__IMG_5.JPG "_s, "other");
    // A hidden name is as present as any other.
    service->addPhoto(kEvent, photo(u".hidden"_s, u"IMG.JPG"_s), 600);
    writeFile(album + u"/.hidden__IMG.JPG"_s, "hidden");

    const auto first = pass();
    QVERIFY2(first.ok(), qPrintable(first.errorText()));
    QCOMPARE(first.value->downloadedOriginals, photos - 4);
    QCOMPARE(readFile(album + u"/.hidden__IMG.JPG"_s), QByteArray("hidden"));
    QCOMPARE(readFile(album + u"/p000__IMG_0.JPG"_s), QByteArray("the user's own file"));
    QVERIFY(QFileInfo(album + u"/p001__IMG_1.JPG"_s).isSymLink());
    QVERIFY(QFileInfo(album + u"/p002__IMG_2.JPG"_s).isDir());
    QCOMPARE(readFile(album + u"/p004__IMG_4.JPG"_s), service->photos(kEvent).at(4).jpeg);
    QCOMPARE(readFile(album + u"/p005__IMG_5.JPG"_s), service->photos(kEvent).at(5).jpeg);
    QCOMPARE(SyncStorage::loadState().records.size(), photos + 1);

    // Deleted files come back; everything else is left alone.
    QVERIFY(QFile::remove(album + u"/p004__IMG_4.JPG"_s));
    service->clearRequests();
    const auto second = pass();
    QCOMPARE(second.value->downloadedOriginals, 1);
    QCOMPARE(service->requests(Endpoint::Original).size(), 1);
}

void PerformanceGuardsTest::repeatedPhotoIdsKeepTheFirstRecord_data() {
    QTest::addColumn<bool>("firstPresent");
    QTest::addColumn<bool>("secondPresent");
    QTest::addColumn<int>("downloaded");
    QTest::newRow("both missing") << false << false << 1;
    QTest::newRow("first present") << true << false << 0;
    QTest::newRow("second present") << false << true << 1;
}

void PerformanceGuardsTest::repeatedPhotoIdsKeepTheFirstRecord() {
    // A service that lists one id twice: the second listing finds the record the first one
    // stored in the same pass, so the photo has one place, the first listing's.
    QFETCH(bool, firstPresent);
    QFETCH(bool, secondPresent);
    QFETCH(int, downloaded);
    makeAlbum(38); // with the two below, enough for the folder to be listed
    service->addPhoto(kEvent, photo(u"twin"_s, u"first.jpg"_s), 600);
    service->addPhoto(kEvent, photo(u"twin"_s, u"second.jpg"_s), 600);
    const QString album = sandbox->originals + u'/' + kAlbum;
    for (int i = 0; i < 38; ++i)
        writeFile(album + u'/' + photoId(i) + u"__IMG_%1.JPG"_s.arg(i), "present");
    if (firstPresent)
        writeFile(album + u"/twin__first.jpg"_s, "present");
    if (secondPresent)
        writeFile(album + u"/twin__second.jpg"_s, "present");

    const auto outcome = pass();
    QVERIFY2(outcome.ok(), qPrintable(outcome.errorText()));
    QCOMPARE(outcome.value->downloadedOriginals, downloaded);
    QCOMPARE(service->requests(Endpoint::Original).size(), downloaded);
    QVERIFY(QFileInfo::exists(album + u"/twin__first.jpg"_s));
    QCOMPARE(QFileInfo::exists(album + u"/twin__second.jpg"_s), secondPresent);
    const SyncStateFile saved = SyncStorage::loadState();
    QCOMPARE(saved.records.size(), 39);
    QCOMPARE(saved.records.value(SyncStateFile::recordKey(kEvent, u"twin"_s)).originalRelativePath,
             kAlbum + u"/twin__first.jpg"_s);
}

QTEST_GUILESS_MAIN(PerformanceGuardsTest)
#include "tst_performanceguards.moc"
