// Local file names, matching of retouched files to photos, and fingerprints.

#include "sync/Naming.h"

#include <QTest>

using namespace kitewell;
using namespace kitewell::naming;
using namespace Qt::StringLiterals;

namespace {

const QString family = QString::fromUtf16(u"\U0001F468\u200D\U0001F469\u200D\U0001F467"); // one cluster
const QString a159 = u"a"_s.repeated(159);
const QString kite = u"鸢"_s; // 3 bytes in UTF-8

Photo photo(const QString& id, std::optional<QString> name) {
    return {id, std::move(name), std::nullopt, std::nullopt, std::nullopt};
}

} // namespace

class NamingTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void safeNames_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::newRow("all ten, runs not merged") << u"a/b:c\\?%*|\"<>"_s << u"a-b-c--------"_s;
        QTest::newRow("every trimmed character")
            << QString::fromUtf16(u"\t\n\v\f\r\u0085\u2028\u2029 \u1680\u2000\u200A\u202F\u205F\u3000x\u00A0")
            << u"x"_s;
        QTest::newRow("trimmed before the cut") << u"  "_s + u"a"_s.repeated(170) << u"a"_s.repeated(160);
        QTest::newRow("cut may end in a space") << a159 + u" bbbb"_s << a159 + u" "_s;
        QTest::newRow("ZWJ sequence kept whole") << a159 + family + u"b"_s << a159 + family;
        QTest::newRow("160 clusters longer than 160 units") << family.repeated(170) << family.repeated(160);
    }
    void safeNames() {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(safeName(text), expected);
    }

    void downloadFileNames_data() {
        QTest::addColumn<Photo>("photo");
        QTest::addColumn<QString>("expected");
        QTest::newRow("name with extension") << photo(u"p9"_s, u"IMG_1.JPG"_s) << u"p9__IMG_1.JPG"_s;
        QTest::newRow("no name") << photo(u"p9"_s, std::nullopt) << u"p9__photo.jpg"_s;
        QTest::newRow("other extension kept") << photo(u"p9"_s, u"a/b.tar.gz"_s) << u"p9__a-b.tar.gz"_s;
        QTest::newRow("trailing dot") << photo(u"p9"_s, u"name."_s) << u"p9__name..jpg"_s;
        QTest::newRow("id used unchanged") << photo(u"a:b"_s, u"x.jpg"_s) << u"a:b__x.jpg"_s;
        QTest::newRow("extension cut off") << photo(u"p9"_s, u"a"_s.repeated(200) + u".jpg"_s)
                                           << u"p9__"_s + u"a"_s.repeated(160) + u".jpg"_s;
        // With ".download" after it, the name fits in 255 bytes of UTF-8 (the extension kept: the
        // engine suite's).
        QTest::newRow("fitted, whole clusters")
            << photo(u"p9"_s, family.repeated(20) + u".jpg"_s) << u"p9__"_s + family.repeated(13) + u".jpg"_s;
        QTest::newRow("fitted with the .jpg added")
            << photo(u"p9"_s, kite.repeated(100)) << u"p9__"_s + kite.repeated(79) + u".jpg"_s;
    }
    void downloadFileNames() {
        QFETCH(Photo, photo);
        QFETCH(QString, expected);
        QCOMPARE(downloadFileName(photo), expected);
        // Safe titles, the empty title and short ids are the engine suite's.
        QCOMPARE(albumFolderName({u"abcdefghij"_s, u"   "_s, std::nullopt}), u"photo.jpg--abcdefgh"_s);
    }

    void matching_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("expected"); // index into the photos below, -1 for none
        QTest::newRow("id prefix") << u"p9__IMG_1-edit.jpg"_s << 0;
        QTest::newRow("ids are case-sensitive") << u"P9__IMG_1.jpg"_s << -1;
        QTest::newRow("first double underscore") << u"a__b__c.jpg"_s << 1;
        QTest::newRow("empty id") << u"__x.jpg"_s << -1;
        QTest::newRow("unknown id, no name fallback") << u"p99__IMG_1.jpg"_s << -1;
        QTest::newRow("path given") << u"/some/dir/p12__x.jpeg"_s << 4;
        QTest::newRow("plain name") << u"IMG_1.jpg"_s << 0;
        QTest::newRow("single underscore is a plain name") << u"p9_x.jpg"_s << -1;
        QTest::newRow("plain name of two photos") << u"DUP.jpg"_s << -1;
        QTest::newRow("plain name, other case") << u"IMG_2.jpg"_s << -1;
        QTest::newRow("photo without name") << u"photo.jpg"_s << 6;
        QTest::newRow("safe form of the name, not the raw one") << u"新娘-入场.jpg"_s << 7;
        QTest::newRow("plain name as a file can hold it") << kite.repeated(83) + u".jpg"_s << 8;
    }
    void matching() {
        QFETCH(QString, file);
        QFETCH(int, expected);
        QList<Photo> photos{photo(u"p9"_s, u"IMG_1.jpg"_s),  photo(u"a"_s, u"x.jpg"_s),
                            photo(u"p10"_s, u"DUP.jpg"_s),   photo(u"p11"_s, u"DUP.jpg"_s),
                            photo(u"p12"_s, u"IMG_2.JPG"_s), photo(u"p9"_s, u"other.jpg"_s),
                            photo(u"p13"_s, std::nullopt),   photo(u"p14"_s, u"新娘:入场.jpg"_s)};
        photos.append(photo(u"p15"_s, kite.repeated(100) + u".jpg"_s));
        QCOMPARE(PhotoMatcher(photos).match(file).value_or(-1), expected);
    }

    void fingerprints_data() {
        QTest::addColumn<FileStamp>("stamp");
        QTest::addColumn<QString>("expected");
        QTest::newRow("fraction dropped") << FileStamp{2048, 90, 700'000'000} << u"2048-90"_s;
        QTest::newRow("before 1970 with fraction") << FileStamp{5, -2, 500'000'000} << u"5--1"_s; // -1.5 s
        QTest::newRow("before 1970, whole second") << FileStamp{5, -2, 0} << u"5--2"_s;
    }
    void fingerprints() {
        QFETCH(FileStamp, stamp);
        QFETCH(QString, expected);
        QCOMPARE(fingerprint(stamp), expected);
        // Still being written: modified within the two seconds up to now (not ahead of it).
        const QDateTime modified = QDateTime::fromMSecsSinceEpoch(stamp.modifiedSeconds * 1000 +
                                                                  stamp.modifiedNanoseconds / 1'000'000);
        for (const auto& [ageMs, writing] : {std::pair{0, true}, {1999, true}, {2000, false}, {-1000, false}})
            QCOMPARE(isBeingWritten(stamp, modified.addMSecs(ageMs)), writing);
    }

    void safePaths_data() {
        QTest::addColumn<bool>("relativePath"); // or an id component
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("safe");
        QTest::newRow("id: three dots") << false << u"..."_s << true;
        QTest::newRow("id: dot") << false << u"."_s << false;
        QTest::newRow("path: dots inside names") << true << u"..a/b..jpg"_s << true;
        QTest::newRow("path: empty") << true << QString() << false;
        QTest::newRow("path: dot") << true << u"a/./b"_s << false;
        QTest::newRow("path: double slash") << true << u"a//b"_s << false;
        QTest::newRow("path: NUL") << true << u"a\0/b"_s << false;
    }
    void safePaths() {
        QFETCH(bool, relativePath);
        QFETCH(QString, text);
        QFETCH(bool, safe);
        QCOMPARE(relativePath ? isSafeRelativePath(text) : isSafeIdComponent(text), safe);
    }
};

QTEST_GUILESS_MAIN(NamingTest)
#include "tst_naming.moc"
