// What a hostile or careless party must never get: the session token and the password never
// follow a redirect to another origin, a download is never led off the web nor down from
// https to http; and whatever ids, names and URLs the service sends or paths the state file
// holds, the program writes only inside the folders the user chose.

#include "client/HttpExchange.h"
#include "support/Scenario.h"

#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace kitewell;
using namespace testsupport;

namespace {

using Arrange = std::function<void(Scenario&)>;
const Failure kInvalidAnswer = clientFailure(SyncClientError::Case::invalidResponse);
const Failure kInsecure = transportFailure(TransportError::Kind::InsecureRedirect);

struct Redirect {
    const char* name = "";
    RedirectRule rule;
    QString from;
    QByteArray location;
    QString target; // empty: refused
    std::optional<Failure> refusal = {};
};

struct Hostile {
    const char* name = "";
    Arrange arrange;
    std::optional<Failure> expected; // none: the pass succeeds
    QString landsAt = {};            // then, where the original lands
};

// The workspace answer, with one photo whose original (unless given) is p1's.
Arrange answer(const QString& eventId, const QString& title, const QString& photoId, const QString& name,
               const QString& url = {}) {
    return [=](Scenario& f) {
        const QJsonObject photo{
            {u"id"_s, photoId},
            {u"name"_s, name},
            {u"originalUrl"_s, url.isEmpty() ? f.service->originalUrl(kEventId, u"p1"_s).toString() : url}};
        const QJsonObject workspace{
            {u"event"_s, QJsonObject{{u"id"_s, eventId}, {u"title"_s, title}}},
            {u"photos"_s, QJsonArray{photo}},
            {u"permissions"_s, QJsonObject{{u"canManageAllPhotos"_s, true}, {u"canUpload"_s, true}}}};
        f.fault(Endpoint::Workspace,
                statusFault(200, QJsonDocument(workspace).toJson(QJsonDocument::Compact)));
    };
}
Arrange photoAnswer(const QString& photoId, const QString& name, const QString& url = {}) {
    return answer(kEventId, u"婚礼/彩排"_s, photoId, name, url);
}
// p1's record in the state file leads there.
Arrange storedPath(const QString& path) {
    return [=](Scenario& f) {
        f.foreign.records.insert(kEventId + u":p1"_s, {u"p1"_s, kEventId, path, std::nullopt, std::nullopt});
        SyncStorage::saveState(f.foreign);
    };
}

} // namespace

class SecurityTest : public QObject {
    Q_OBJECT
    std::optional<Scenario> f;
    QByteArray savedTemporary;

    // Everything in the sandbox outside the chosen folders and the data folder.
    QStringList outside() const {
        QStringList rest;
        QDirIterator it(f->sandbox.root.path(),
                        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        const QStringList mine{f->sandbox.originals, f->sandbox.effects, SyncStorage::supportDirectory()};
        while (it.hasNext()) {
            const QString path = it.next();
            if (std::ranges::none_of(mine, [&](const QString& folder) {
                    return path == folder || path.startsWith(folder + u'/');
                }))
                rest.append(path);
        }
        rest.sort();
        return rest;
    }

private Q_SLOTS:
    void init() {
        f.emplace();
        // Temporary files of this process, Qt's included, land where the scans look.
        savedTemporary = qgetenv("TMPDIR");
        QVERIFY(QDir().mkpath(f->sandbox.root.filePath(u"tmp"_s)));
        qputenv("TMPDIR", QFile::encodeName(f->sandbox.root.filePath(u"tmp"_s)));
    }
    void cleanup() {
        qputenv("TMPDIR", savedTemporary);
        f.reset();
    }

    void redirectTargets_data() {
        using enum RedirectRule;
        const Failure notWeb = kInvalidAnswer;
        // clang-format off
        addRows<Redirect>({
            {"same origin, relative", SameOrigin, u"http://a.cn:81/x/y"_s, "../z?q", u"http://a.cn:81/z?q"_s},
            {"same origin, default port spelled out", SameOrigin, u"https://a.cn/x"_s, "https://a.cn:443/y",
             u"https://a.cn:443/y"_s},
            {"another port", SameOrigin, u"http://a.cn:81/x"_s, "http://a.cn:82/x", {}, kInsecure},
            {"another host", SameOrigin, u"http://a.cn/x"_s, "http://b.cn/x", {}, kInsecure},
            {"up to https", SameOrigin, u"http://a.cn/x"_s, "https://a.cn/x", {}, kInsecure},
            {"download, another origin", AnyWeb, u"https://a.cn/x"_s, "https://b.cn:8443/y",
             u"https://b.cn:8443/y"_s},
            {"download, up to https", AnyWeb, u"http://a.cn/x"_s, "https://b.cn/y", u"https://b.cn/y"_s},
            {"download, down to http", AnyWeb, u"https://a.cn/x"_s, "http://a.cn/x", {}, kInsecure},
            {"download, relative", AnyWeb, u"https://a.cn/x/y"_s, "/z", u"https://a.cn/z"_s},
            {"download, local file", AnyWeb, u"http://a.cn/x"_s, "file:///etc/passwd", {}, notWeb},
            {"download, relative local file", AnyWeb, u"http://a.cn/x"_s, "file:escape.jpg", {}, notWeb},
            {"download, other scheme", AnyWeb, u"http://a.cn/x"_s, "ftp://a.cn/x", {}, notWeb},
            {"download, no host", AnyWeb, u"http://a.cn/x"_s, "http:///etc/passwd", {}, notWeb},
        });
        // clang-format on
    }
    void redirectTargets() {
        QFETCH(Redirect, row);
        std::optional<Failure> refusal;
        QUrl target;
        try {
            target = redirectTarget(row.rule, QUrl(row.from), row.location);
        } catch (...) {
            refusal = describe(std::current_exception());
        }
        QVERIFY2(sameFailure(refusal, row.refusal), qPrintable(refusal ? refusal->text : target.toString()));
        QCOMPARE(target, row.target.isEmpty() ? QUrl() : QUrl(row.target));
    }

    void authenticatedRedirectsStayHome_data() {
        QTest::addColumn<Endpoint>("endpoint");
        QTest::addColumn<int>("status");
        QTest::newRow("sign-in 301") << Endpoint::SignIn << 301;
        QTest::newRow("bootstrap 302") << Endpoint::Bootstrap << 302;
        QTest::newRow("workspace 303") << Endpoint::Workspace << 303;
        QTest::newRow("upload 307") << Endpoint::UploadVersion << 307;
        QTest::newRow("publish 308") << Endpoint::Publish << 308;
    }
    void authenticatedRedirectsStayHome() {
        QFETCH(Endpoint, endpoint);
        QFETCH(int, status);
        const auto elsewhere = startService();
        f->fault(
            endpoint,
            redirectFault(QUrl(elsewhere->baseUrl().toString() + u"/api/publisher/bootstrap"_s), status));
        f->writeRetouched(u"p1__x.jpg"_s, "retouched bytes");
        KitewellAPI api(f->baseUrl, f->token);
        const auto failure = callEndpoint(api, endpoint, kEventId, u"p1"_s, f->retouched(u"p1__x.jpg"_s));
        QVERIFY2(sameFailure(failure, kInsecure), qPrintable(failure ? failure->text : u"followed"_s));
        // Not followed at all: the other origin saw nothing, this one only the first request.
        QCOMPARE(elsewhere->requests().size(), 0);
        QCOMPARE(f->service->requests().size(), 1);
    }

    void downloadRedirects() {
        // The original's URL is the service's to choose: a download may go anywhere on the web,
        // but it never carries the token (nor any other header of ours) there, nor loops forever.
        const auto other = startService();
        other->addEvent({kEventId, u"x"_s, std::nullopt});
        other->addPhoto(kEventId, photo(u"p1"_s, u"IMG_1.JPG"_s), 5'000);
        KitewellAPI api(f->baseUrl, f->token);
        const QString destination = f->sandbox.originals + u"/p1__IMG_1.JPG"_s;
        const QUrl source = f->service->originalUrl(kEventId, u"p1"_s);
        f->fault(Endpoint::Original, redirectFault(other->originalUrl(kEventId, u"p1"_s)));
        QVERIFY(outcomeOf(api.downloadOriginal(source, destination)).ok());
        QCOMPARE(readFile(destination), other->photos(kEventId).at(0).jpeg);
        QCOMPARE(other->requests().size(), 1);
        QCOMPARE(other->requests().at(0).header("Authorization"), std::nullopt);

        QVERIFY(QFile::remove(destination));
        f->fault(Endpoint::Original, redirectFault(source));
        const auto endless = outcomeOf(api.downloadOriginal(source, destination)).failure;
        QVERIFY(endless && endless->code == int(TransportError::Kind::TooManyRedirects));
        QCOMPARE(tree(f->sandbox.originals), QStringList());
    }

    void hostileAnswersStayInside_data() {
        const QString title = u"婚礼/彩排"_s, megabytes(10 * 1024 * 1024, u'a'), x = u"x.jpg"_s;
        const std::optional<Failure> invalid = kInvalidAnswer, tooLong = fileError(ENAMETOOLONG), lands;
        // clang-format off
        addRows<Hostile>({
            {"photo id climbing out", photoAnswer(u"../../../../escape"_s, x), invalid},
            {"photo id dot-dot", photoAnswer(u".."_s, x), invalid},
            {"photo id with NUL", photoAnswer(u"p1\0x"_s, x), invalid},
            {"photo name with NUL", photoAnswer(u"p1"_s, u"x\0.jpg"_s), invalid},
            {"photo name climbing out", photoAnswer(u"p1"_s, u"../../../../escape.jpg"_s), lands,
             kAlbumFolder + u"/p1__..-..-..-..-escape.jpg"_s},
            {"title climbing out", answer(kEventId, u"../../../escape"_s, u"p1"_s, x), lands,
             u"..-..-..-escape--evt-2024/p1__x.jpg"_s},
            {"album id climbing out", answer(u"../../../../x"_s, title, u"p1"_s, x), invalid},
            {"file URL", photoAnswer(u"p1"_s, x, u"file:///etc/passwd"_s), invalid},
            {"URL without host", photoAnswer(u"p1"_s, x, u"http:///etc/passwd"_s), invalid},
            {"URL with NUL", photoAnswer(u"p1"_s, x, u"http://127.0.0.1/\0x"_s), invalid},
            {"10 MB title", answer(kEventId, megabytes, u"p1"_s, x), lands,
             QString(160, u'a') + u"--evt-2024/p1__x.jpg"_s},
            {"10 MB title in Chinese", answer(kEventId, QString(megabytes.size(), u'鸢'), u"p1"_s, x), tooLong},
            {"10 MB photo id", photoAnswer(megabytes, x), tooLong},
            {"stored absolute path", storedPath(u"/tmp/kitewell-escape.jpg"_s), invalid},
            {"stored path climbing out", storedPath(kAlbumFolder + u"/../../../escape.jpg"_s), invalid},
        });
        // clang-format on
    }
    void hostileAnswersStayInside() {
        QFETCH(Hostile, row);
        row.arrange(*f);
        const QStringList outsideBefore = outside();
        const QByteArray stateBefore = readFile(SyncStorage::statePath());

        const auto outcome = f->syncOnce();
        QCOMPARE(outside(), outsideBefore);
        QVERIFY(!QFile::exists(u"/tmp/kitewell-escape.jpg"_s));
        QVERIFY2(sameFailure(outcome.failure, row.expected), qPrintable(outcome.errorText()));
        if (!row.expected) {
            QCOMPARE(tree(f->sandbox.originals), QStringList{row.landsAt});
            QCOMPARE(readFile(f->sandbox.originals + u'/' + row.landsAt),
                     f->service->photos(kEventId).first().jpeg);
        } else {
            QCOMPARE(tree(f->sandbox.originals), QStringList());
            QCOMPARE(f->requests(Endpoint::Original), 0);
            QCOMPARE(readFile(SyncStorage::statePath()), stateBefore);
        }
    }
};

QTEST_GUILESS_MAIN(SecurityTest)
#include "tst_security.moc"
