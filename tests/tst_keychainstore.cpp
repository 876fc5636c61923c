// The session token in the Secret Service, as any other client of the service sees it.

#include "credentials/KeychainStore.h"
#include "support/SecretItems.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

using kitewell::KeychainStore;
using namespace testsupport;
using namespace Qt::StringLiterals;

namespace {

const QByteArray kService = KITEWELL_KEYCHAIN_SERVICE;
const QByteArray kAccount = "session-token";
constexpr const char* childSaveArgument = "--save-token-in-child";

// Runs in a re-launched copy of this binary whose environment points at a missing store.
int saveInChild(const QString& token) {
    QJsonObject outcome{{"threw", false}};
    try {
        KeychainStore::saveToken(token);
    } catch (const KeychainStore::KeychainError& error) {
        outcome = {{"threw", true}, {"status", error.status()}, {"description", error.description()}};
    }
    outcome.insert("readAbsent", !KeychainStore::readToken().has_value());
    std::fputs(QJsonDocument(outcome).toJson(QJsonDocument::Compact).constData(), stdout);
    return 0;
}

} // namespace

Q_DECLARE_METATYPE(std::optional<QString>)

class TestKeychainStore : public QObject {
    Q_OBJECT

    static void removeEverything() {
        removeSecretItems(kService, kAccount);
        removeSecretItems(kService, "other-account");
        removeSecretItems("cn.example.other-app", kAccount);
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY2(secretServiceReady(), "no Secret Service: run inside the private keyring session");
    }
    void init() { removeEverything(); }
    void cleanup() { removeEverything(); }

    void roundTrip_data() {
        QTest::addColumn<QString>("token");
        QTest::newRow("ascii") << u"ks_3f9a0c7e-41b2.Zq~"_s;
        QTest::newRow("chinese and emoji") << u"鸢井令牌-😀📷-é"_s;
        QTest::newRow("empty") << QString();
        QTest::newRow("long") << u"k井"_s.repeated(3000);
        QTest::newRow("embedded NUL") << QString::fromUtf16(u"before\0after", 12);
    }
    void roundTrip() {
        QFETCH(QString, token);
        QCOMPARE(KeychainStore::readToken(), std::nullopt);
        KeychainStore::saveToken(token);
        QCOMPARE(KeychainStore::readToken(), std::optional(token));
        // One item, the bare UTF-8 bytes, exactly the two attributes, in the login collection.
        const QList<StoredSecret> items = secretItems(kService, kAccount);
        QCOMPARE(items.size(), 1);
        QCOMPARE(items.first().value, token.toUtf8());
        QCOMPARE(items.first().attributes,
                 (QMap<QByteArray, QByteArray>{{"service", kService}, {"account", kAccount}}));
        QVERIFY(items.first().inDefaultCollection);
        KeychainStore::deleteToken();
        QCOMPARE(KeychainStore::readToken(), std::nullopt);
    }

    void saveAndDeleteLeaveNoDuplicates_data() {
        QTest::addColumn<bool>("savedBefore");
        QTest::addColumn<int>("duplicates"); // items other writers left
        QTest::newRow("saved twice") << true << 0;
        QTest::newRow("two items from elsewhere") << false << 2;
        QTest::newRow("saved item and a duplicate") << true << 1;
    }
    void saveAndDeleteLeaveNoDuplicates() {
        QFETCH(bool, savedBefore);
        QFETCH(int, duplicates);
        if (savedBefore)
            KeychainStore::saveToken(u"first-token"_s);
        for (int i = 0; i < duplicates; ++i)
            QVERIFY(createSecretItem(kService, kAccount, "stale-" + QByteArray::number(i)));
        KeychainStore::saveToken(u"second-token"_s);
        const QList<StoredSecret> items = secretItems(kService, kAccount);
        QCOMPARE(items.size(), 1);
        QCOMPARE(items.first().value, QByteArray("second-token"));
        // A delete removes every matching item, whoever wrote it.
        for (int i = 0; i < duplicates; ++i)
            QVERIFY(createSecretItem(kService, kAccount, "again-" + QByteArray::number(i)));
        KeychainStore::deleteToken();
        QVERIFY(secretItems(kService, kAccount).isEmpty());
    }

    void otherItemsAreLeftAlone_data() {
        QTest::addColumn<QByteArray>("service");
        QTest::addColumn<QByteArray>("account");
        QTest::newRow("same service, other account") << kService << QByteArray("other-account");
        QTest::newRow("other service, same account") << QByteArray("cn.example.other-app") << kAccount;
    }
    void otherItemsAreLeftAlone() {
        QFETCH(QByteArray, service);
        QFETCH(QByteArray, account);
        QVERIFY(createSecretItem(service, account, "not-ours"));
        QCOMPARE(KeychainStore::readToken(), std::nullopt);
        KeychainStore::saveToken(u"ours"_s);
        QCOMPARE(KeychainStore::readToken(), u"ours"_s);
        KeychainStore::deleteToken();
        const QList<StoredSecret> others = secretItems(service, account);
        QCOMPARE(others.size(), 1);
        QCOMPARE(others.first().value, QByteArray("not-ours"));
    }

    void storedBytesAreDecodedStrictly_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<std::optional<QString>>("expected");
        const std::optional<QString> none;
        QTest::newRow("lone continuation byte") << QByteArray("ab\x80"
                                                              "cd")
                                                << none;
        QTest::newRow("latin-1 text") << QByteArray("caf\xe9") << none;
        QTest::newRow("overlong slash") << QByteArray("a\xc0\xaf") << none;
        QTest::newRow("encoded surrogate") << QByteArray("\xed\xa0\x80") << none;
        QTest::newRow("beyond U+10FFFF") << QByteArray("\xf4\x90\x80\x80") << none;
        QTest::newRow("truncated at the end") << QByteArray("abc\xe4\xb8") << none;
        QTest::newRow("valid multi-byte")
            << QByteArray("\xe9\xb8\xa2\xe4\xba\x95") << std::optional(u"鸢井"_s);
        QTest::newRow("valid leading EF BB BF") << QByteArray("\xef\xbb\xbf"
                                                              "A")
                                                << std::optional(u"\uFEFFA"_s);
    }
    void storedBytesAreDecodedStrictly() {
        QFETCH(QByteArray, bytes);
        QFETCH(std::optional<QString>, expected);
        QVERIFY(createSecretItem(kService, kAccount, bytes));
        QCOMPARE(KeychainStore::readToken(), expected);
    }

    void saveWithoutSecretServiceFails_data() {
        QTest::addColumn<bool>("busRuns"); // a bus without a Secret Service, or no bus at its address
        QTest::newRow("bus address of a missing socket") << false;
        QTest::newRow("bus without a Secret Service") << true;
    }
    void saveWithoutSecretServiceFails() {
        QFETCH(bool, busRuns);
        // The real store holds a token; the child must fail without ever seeing it.
        KeychainStore::saveToken(u"kept-in-the-real-session"_s);
        QTemporaryDir dir;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"XDG_RUNTIME_DIR"_s, dir.path()); // no "bus" socket to fall back on
        environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, u"unix:path="_s + dir.filePath(u"no-such-bus"_s));
        QProcess bus;
        if (busRuns) {
            // A private bus with no service files, so nothing can be activated on it.
            QFile config(dir.filePath(u"bus.conf"_s));
            QVERIFY(config.open(QIODevice::WriteOnly));
            config.write("<busconfig><type>session</type><listen>unix:path=" + QFile::encodeName(dir.path()) +
                         "/bus-socket</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                         "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                         "<allow own=\"*\"/></policy></busconfig>");
            config.close();
            bus.start(u"dbus-daemon"_s,
                      {u"--config-file="_s + config.fileName(), u"--nofork"_s, u"--print-address=1"_s});
            QTRY_VERIFY_WITH_TIMEOUT(bus.canReadLine(), 20000);
            environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, QString::fromUtf8(bus.readLine().trimmed()));
        }
        QProcess child;
        child.setProcessEnvironment(environment);
        child.start(QCoreApplication::applicationFilePath(),
                    {QString::fromLatin1(childSaveArgument), u"令牌"_s});
        QVERIFY(child.waitForFinished(60000));
        bus.kill();
        bus.waitForFinished();
        QCOMPARE(child.exitCode(), 0);

        const QJsonObject outcome = QJsonDocument::fromJson(child.readAllStandardOutput()).object();
        QVERIFY2(outcome.value("threw").toBool(), "the save reported success without a Secret Service");
        const int status = outcome.value("status").toInt();
        QVERIFY(status != 0);
        QCOMPARE(outcome.value("description").toString(),
                 u"无法保存登录会话（Keychain 错误 %1）。"_s.arg(status));
        QVERIFY(outcome.value("readAbsent").toBool());
    }
};

int main(int argc, char** argv) {
    if (argc == 3 && qstrcmp(argv[1], childSaveArgument) == 0)
        return saveInChild(QString::fromUtf8(argv[2]));
    QCoreApplication app(argc, argv);
    TestKeychainStore test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_keychainstore.moc"
