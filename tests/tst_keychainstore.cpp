// glib's headers use `signals` as a name; they come before any Qt header.
#include <libsecret/secret.h>

#include "credentials/KeychainStore.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

using kitewell::KeychainStore;

namespace {

// The items are written and inspected here through libsecret directly, the way any other
// Secret Service client would see them.
constexpr const char* serviceId = KITEWELL_KEYCHAIN_SERVICE;
constexpr const char* accountName = "session-token";
constexpr const char* otherAccount = "other-account";
constexpr const char* otherService = "cn.example.other-app";
constexpr const char* childSaveArgument = "--save-token-in-child";

struct RawItem {
    QByteArray value;
    QMap<QByteArray, QByteArray> attributes;
    bool inDefaultCollection = false;
};

SecretService* connectService() {
    return secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, nullptr);
}

GHashTable* attributesFor(const char* service, const char* account) {
    GHashTable* attributes = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(attributes, const_cast<char*>("service"), const_cast<char*>(service));
    g_hash_table_insert(attributes, const_cast<char*>("account"), const_cast<char*>(account));
    return attributes;
}

QByteArray defaultCollectionPath(SecretService* service) {
    g_autoptr(SecretCollection) collection = secret_collection_for_alias_sync(
        service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, nullptr);
    return collection ? QByteArray(g_dbus_proxy_get_object_path(G_DBUS_PROXY(collection))) : QByteArray();
}

// Every item in any collection carrying exactly these two attribute values (and maybe others).
QList<RawItem> rawItems(const char* service, const char* account) {
    QList<RawItem> found;
    g_autoptr(SecretService) secretService = connectService();
    if (!secretService)
        return found;
    const QByteArray collectionPath = defaultCollectionPath(secretService);
    g_autoptr(GHashTable) attributes = attributesFor(service, account);
    const auto flags =
        static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK | SECRET_SEARCH_LOAD_SECRETS);
    g_autolist(SecretItem) items =
        secret_service_search_sync(secretService, nullptr, attributes, flags, nullptr, nullptr);
    for (GList* node = items; node != nullptr; node = node->next) {
        SecretItem* item = SECRET_ITEM(node->data);
        RawItem raw;
        if (g_autoptr(SecretValue) value = secret_item_get_secret(item)) {
            gsize length = 0;
            const gchar* bytes = secret_value_get(value, &length);
            raw.value = QByteArray(bytes, static_cast<qsizetype>(length));
        }
        g_autoptr(GHashTable) itemAttributes = secret_item_get_attributes(item);
        GHashTableIter iter;
        gpointer key = nullptr;
        gpointer attributeValue = nullptr;
        g_hash_table_iter_init(&iter, itemAttributes);
        while (g_hash_table_iter_next(&iter, &key, &attributeValue))
            raw.attributes.insert(static_cast<const char*>(key), static_cast<const char*>(attributeValue));
        // GNOME Keyring now and then reports its own default schema for an item stored without one.
        if (raw.attributes.value("xdg:schema") == "org.freedesktop.Secret.Generic")
            raw.attributes.remove("xdg:schema");
        const QByteArray itemPath = g_dbus_proxy_get_object_path(G_DBUS_PROXY(item));
        raw.inDefaultCollection = !collectionPath.isEmpty() && itemPath.startsWith(collectionPath + '/');
        found.append(raw);
    }
    return found;
}

// Adds a new item even when a matching one exists, as another writer could.
bool createRawItem(const char* service, const char* account, const QByteArray& value) {
    g_autoptr(SecretService) secretService = connectService();
    if (!secretService)
        return false;
    g_autoptr(SecretCollection) collection = secret_collection_for_alias_sync(
        secretService, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, nullptr);
    if (!collection)
        return false;
    g_autoptr(GHashTable) attributes = attributesFor(service, account);
    g_autoptr(SecretValue) secret = secret_value_new(value.constData(), value.size(), "text/plain");
    g_autoptr(SecretItem) item = secret_item_create_sync(collection, nullptr, attributes, "raw test item",
                                                         secret, SECRET_ITEM_CREATE_NONE, nullptr, nullptr);
    return item != nullptr;
}

void removeRawItems(const char* service, const char* account) {
    g_autoptr(SecretService) secretService = connectService();
    if (!secretService)
        return;
    g_autoptr(GHashTable) attributes = attributesFor(service, account);
    g_autolist(SecretItem) items = secret_service_search_sync(
        secretService, nullptr, attributes,
        static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK), nullptr, nullptr);
    for (GList* node = items; node != nullptr; node = node->next)
        secret_item_delete_sync(SECRET_ITEM(node->data), nullptr, nullptr);
}

// Runs in a re-launched copy of this binary whose environment points at a missing store.
int saveInChild(const QString& token) {
    QJsonObject outcome{{"threw", false}};
    try {
        KeychainStore::saveToken(token);
    } catch (const KeychainStore::KeychainError& error) {
        outcome = {{"threw", true}, {"status", error.status()}, {"description", error.description()}};
    }
    outcome.insert("readAbsent", !KeychainStore::readToken().has_value());
    const QByteArray json = QJsonDocument(outcome).toJson(QJsonDocument::Compact);
    std::fwrite(json.constData(), 1, static_cast<size_t>(json.size()), stdout);
    return 0;
}

enum class MissingStore { noBusAtAll, missingBusSocket, busWithoutSecretService };

} // namespace

Q_DECLARE_METATYPE(MissingStore)
Q_DECLARE_METATYPE(std::optional<QString>)

namespace QTest {
template <> char* toString(const std::optional<QString>& value) {
    return value ? QTest::toString(QStringLiteral("\"%1\"").arg(*value)) : qstrdup("absent");
}
} // namespace QTest

class TestKeychainStore : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void nothingStoredReadsAbsent();
    void roundTrip_data();
    void roundTrip();
    void saveLeavesOneItemWithTheNewToken_data();
    void saveLeavesOneItemWithTheNewToken();
    void deleteRemovesEveryItem_data();
    void deleteRemovesEveryItem();
    void otherItemsAreLeftAlone_data();
    void otherItemsAreLeftAlone();
    void storedBytesAreDecodedStrictly_data();
    void storedBytesAreDecodedStrictly();
    void saveWithoutSecretServiceFails_data();
    void saveWithoutSecretServiceFails();
    void errorDescription_data();
    void errorDescription();

private:
    void removeEverything();
};

void TestKeychainStore::initTestCase() {
    g_autoptr(SecretService) service = connectService();
    QVERIFY2(service, "no Secret Service on the session bus: run inside the private keyring session");
    QVERIFY2(!defaultCollectionPath(service).isEmpty(), "the keyring has no default collection");
}

void TestKeychainStore::init() {
    removeEverything();
}

void TestKeychainStore::cleanup() {
    removeEverything();
}

void TestKeychainStore::removeEverything() {
    removeRawItems(serviceId, accountName);
    removeRawItems(serviceId, otherAccount);
    removeRawItems(otherService, accountName);
}

void TestKeychainStore::nothingStoredReadsAbsent() {
    QCOMPARE(KeychainStore::readToken(), std::nullopt);
    KeychainStore::deleteToken();
    QCOMPARE(KeychainStore::readToken(), std::nullopt);
    QVERIFY(rawItems(serviceId, accountName).isEmpty());
}

void TestKeychainStore::roundTrip_data() {
    QTest::addColumn<QString>("token");

    QTest::newRow("ascii") << QStringLiteral("ks_3f9a0c7e-41b2.Zq~");
    QTest::newRow("chinese and emoji") << QStringLiteral("鸢井令牌-😀📷-é");
    QTest::newRow("empty") << QStringLiteral("");
    QString longToken;
    for (int i = 0; i < 2000; ++i)
        longToken += QStringLiteral("k%1井").arg(i);
    QTest::newRow("long") << longToken;
    QTest::newRow("leading U+FEFF") << QStringLiteral("\uFEFFtoken");
    QTest::newRow("embedded NUL") << QString::fromUtf16(u"before\0after", 12);
}

void TestKeychainStore::roundTrip() {
    QFETCH(QString, token);

    KeychainStore::saveToken(token);

    const std::optional<QString> read = KeychainStore::readToken();
    QVERIFY(read.has_value());
    QCOMPARE(*read, token);

    // One item, the bare UTF-8 bytes, exactly the two attributes, in the login collection.
    const QList<RawItem> items = rawItems(serviceId, accountName);
    QCOMPARE(items.size(), 1);
    QCOMPARE(items.first().value, token.toUtf8());
    const QMap<QByteArray, QByteArray> expectedAttributes{{"service", serviceId}, {"account", accountName}};
    QCOMPARE(items.first().attributes, expectedAttributes);
    QVERIFY(items.first().inDefaultCollection);
}

void TestKeychainStore::saveLeavesOneItemWithTheNewToken_data() {
    QTest::addColumn<bool>("savedBefore");
    QTest::addColumn<int>("duplicatesBefore");

    QTest::newRow("saved twice") << true << 0;
    QTest::newRow("one item from elsewhere") << false << 1;
    QTest::newRow("two duplicate items") << false << 2;
    QTest::newRow("saved item and a duplicate") << true << 1;
}

void TestKeychainStore::saveLeavesOneItemWithTheNewToken() {
    QFETCH(bool, savedBefore);
    QFETCH(int, duplicatesBefore);

    if (savedBefore)
        KeychainStore::saveToken(QStringLiteral("first-token"));
    for (int i = 0; i < duplicatesBefore; ++i)
        QVERIFY(createRawItem(serviceId, accountName, "stale-" + QByteArray::number(i)));

    KeychainStore::saveToken(QStringLiteral("second-token"));

    const QList<RawItem> items = rawItems(serviceId, accountName);
    QCOMPARE(items.size(), 1);
    QCOMPARE(items.first().value, QByteArray("second-token"));
    QCOMPARE(KeychainStore::readToken(), QStringLiteral("second-token"));
}

void TestKeychainStore::deleteRemovesEveryItem_data() {
    QTest::addColumn<int>("itemCount");

    QTest::newRow("one item") << 1;
    QTest::newRow("two items") << 2;
    QTest::newRow("three items") << 3;
}

void TestKeychainStore::deleteRemovesEveryItem() {
    QFETCH(int, itemCount);

    KeychainStore::saveToken(QStringLiteral("saved"));
    for (int i = 1; i < itemCount; ++i)
        QVERIFY(createRawItem(serviceId, accountName, "extra-" + QByteArray::number(i)));
    QCOMPARE(rawItems(serviceId, accountName).size(), itemCount);

    KeychainStore::deleteToken();

    QVERIFY(rawItems(serviceId, accountName).isEmpty());
    QCOMPARE(KeychainStore::readToken(), std::nullopt);
}

void TestKeychainStore::otherItemsAreLeftAlone_data() {
    QTest::addColumn<QByteArray>("service");
    QTest::addColumn<QByteArray>("account");

    QTest::newRow("same service, other account") << QByteArray(serviceId) << QByteArray(otherAccount);
    QTest::newRow("other service, same account") << QByteArray(otherService) << QByteArray(accountName);
}

void TestKeychainStore::otherItemsAreLeftAlone() {
    QFETCH(QByteArray, service);
    QFETCH(QByteArray, account);
    QVERIFY(createRawItem(service.constData(), account.constData(), "not-ours"));

    QCOMPARE(KeychainStore::readToken(), std::nullopt);
    KeychainStore::saveToken(QStringLiteral("ours"));
    QCOMPARE(KeychainStore::readToken(), QStringLiteral("ours"));
    KeychainStore::deleteToken();
    QCOMPARE(KeychainStore::readToken(), std::nullopt);

    const QList<RawItem> others = rawItems(service.constData(), account.constData());
    QCOMPARE(others.size(), 1);
    QCOMPARE(others.first().value, QByteArray("not-ours"));
}

void TestKeychainStore::storedBytesAreDecodedStrictly_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<std::optional<QString>>("expected");

    QTest::newRow("lone continuation byte") << QByteArray("ab\x80"
                                                          "cd")
                                            << std::optional<QString>();
    QTest::newRow("bytes never in UTF-8") << QByteArray("\xff\xfe") << std::optional<QString>();
    QTest::newRow("overlong slash") << QByteArray("a\xc0\xaf") << std::optional<QString>();
    QTest::newRow("encoded surrogate") << QByteArray("\xed\xa0\x80") << std::optional<QString>();
    QTest::newRow("beyond U+10FFFF") << QByteArray("\xf4\x90\x80\x80") << std::optional<QString>();
    QTest::newRow("truncated at the end") << QByteArray("abc\xe4\xb8") << std::optional<QString>();
    QTest::newRow("latin-1 text") << QByteArray("caf\xe9") << std::optional<QString>();
    QTest::newRow("valid multi-byte")
        << QByteArray("\xe9\xb8\xa2\xe4\xba\x95") << std::optional<QString>(QStringLiteral("鸢井"));
    QTest::newRow("valid leading EF BB BF") << QByteArray("\xef\xbb\xbf"
                                                          "A")
                                            << std::optional<QString>(QStringLiteral("\uFEFFA"));
}

void TestKeychainStore::storedBytesAreDecodedStrictly() {
    QFETCH(QByteArray, bytes);
    QFETCH(std::optional<QString>, expected);
    QVERIFY(createRawItem(serviceId, accountName, bytes));

    QCOMPARE(KeychainStore::readToken(), expected);
}

void TestKeychainStore::saveWithoutSecretServiceFails_data() {
    QTest::addColumn<MissingStore>("missing");

    QTest::newRow("no session bus at all") << MissingStore::noBusAtAll;
    QTest::newRow("bus address of a missing socket") << MissingStore::missingBusSocket;
    QTest::newRow("bus without a Secret Service") << MissingStore::busWithoutSecretService;
}

void TestKeychainStore::saveWithoutSecretServiceFails() {
    QFETCH(MissingStore, missing);
    // The real store holds a token; the child must fail without ever seeing it.
    KeychainStore::saveToken(QStringLiteral("kept-in-the-real-session"));

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    // An empty runtime folder: no "bus" socket to fall back on.
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.path());

    QProcess bus;
    switch (missing) {
    case MissingStore::noBusAtAll:
        environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        break;
    case MissingStore::missingBusSocket:
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                           QStringLiteral("unix:path=%1/no-such-bus").arg(dir.path()));
        break;
    case MissingStore::busWithoutSecretService: {
        // A private bus with no service files, so nothing can be activated on it.
        QFile config(dir.filePath(QStringLiteral("bus.conf")));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write(
            QStringLiteral("<busconfig><type>session</type><listen>unix:path=%1/bus-socket</listen>"
                           "<auth>EXTERNAL</auth><policy context=\"default\">"
                           "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                           "<allow own=\"*\"/></policy></busconfig>")
                .arg(dir.path())
                .toUtf8());
        config.close();
        bus.start(QStringLiteral("dbus-daemon"),
                  {QStringLiteral("--config-file=") + config.fileName(), QStringLiteral("--nofork"),
                   QStringLiteral("--print-address=1")});
        QVERIFY2(bus.waitForStarted(), "dbus-daemon could not be started");
        QTRY_VERIFY_WITH_TIMEOUT(bus.canReadLine(), 20000);
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                           QString::fromUtf8(bus.readLine().trimmed()));
        break;
    }
    }

    QProcess child;
    child.setProcessEnvironment(environment);
    child.start(QCoreApplication::applicationFilePath(),
                {QString::fromLatin1(childSaveArgument), QStringLiteral("令牌-token")});
    QVERIFY(child.waitForFinished(60000));
    if (bus.state() != QProcess::NotRunning) {
        bus.kill();
        bus.waitForFinished();
    }
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);

    const QJsonObject outcome = QJsonDocument::fromJson(child.readAllStandardOutput()).object();
    QVERIFY2(outcome.value("threw").toBool(), "the save reported success without a Secret Service");
    const int status = outcome.value("status").toInt();
    QVERIFY(status != 0);
    QCOMPARE(outcome.value("description").toString(),
             QStringLiteral("无法保存登录会话（Keychain 错误 %1）。").arg(QString::number(status)));
    QVERIFY(outcome.value("readAbsent").toBool());
}

void TestKeychainStore::errorDescription_data() {
    QTest::addColumn<qint32>("status");
    QTest::addColumn<QString>("description");

    QTest::newRow("duplicate item") << qint32(-25299)
                                    << QStringLiteral("无法保存登录会话（Keychain 错误 -25299）。");
    QTest::newRow("minus one") << qint32(-1) << QStringLiteral("无法保存登录会话（Keychain 错误 -1）。");
    QTest::newRow("positive") << qint32(2) << QStringLiteral("无法保存登录会话（Keychain 错误 2）。");
    QTest::newRow("large, no grouping")
        << qint32(1234567) << QStringLiteral("无法保存登录会话（Keychain 错误 1234567）。");
    QTest::newRow("lowest") << qint32(-2147483647 - 1)
                            << QStringLiteral("无法保存登录会话（Keychain 错误 -2147483648）。");
}

void TestKeychainStore::errorDescription() {
    QFETCH(qint32, status);
    QFETCH(QString, description);

    try {
        throw KeychainStore::KeychainError(status);
    } catch (const kitewell::Error& error) {
        QCOMPARE(error.description(), description);
        QCOMPARE(QByteArray(error.what()), description.toUtf8());
        const auto* keychainError = dynamic_cast<const KeychainStore::KeychainError*>(&error);
        QVERIFY(keychainError);
        QCOMPARE(keychainError->status(), status);
    }
}

int main(int argc, char** argv) {
    if (argc == 3 && qstrcmp(argv[1], childSaveArgument) == 0)
        return saveInChild(QString::fromUtf8(argv[2]));
    QCoreApplication app(argc, argv);
    TestKeychainStore test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_keychainstore.moc"
