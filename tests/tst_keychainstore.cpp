// The session token in the Secret Service, as any other client of the service sees it.

// glib's headers use `signals` as a name; they come before any Qt header.
#include <libsecret/secret.h>

#include "credentials/KeychainStore.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <functional>

using kitewell::KeychainStore;
using namespace Qt::StringLiterals;

namespace {

const QByteArray kService = KITEWELL_KEYCHAIN_SERVICE;
const QByteArray kAccount = "session-token";
const QByteArray kOtherService = "cn.example.other-app";
constexpr const char* kSaveInChild = "--save-token-in-child";

// Items are written and read through libsecret directly, the way another client would.
struct Item {
    QByteArray value;
    QMap<QByteArray, QByteArray> attributes;
    bool inDefaultCollection = false;
    friend bool operator==(const Item&, const Item&) = default;
};

struct Attributes {
    GHashTable* table = g_hash_table_new(g_str_hash, g_str_equal);
    Attributes(const QByteArray& service, const QByteArray& account) {
        g_hash_table_insert(table, const_cast<char*>("service"), const_cast<char*>(service.constData()));
        g_hash_table_insert(table, const_cast<char*>("account"), const_cast<char*>(account.constData()));
    }
    ~Attributes() { g_hash_table_unref(table); }
};

SecretService* connectService() {
    return secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, nullptr);
}

SecretCollection* defaultCollection(SecretService* service) {
    return secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE,
                                            nullptr, nullptr);
}

GList* search(SecretService* service, const QByteArray& name, const QByteArray& account, int flags) {
    const Attributes attributes(name, account);
    return secret_service_search_sync(service, nullptr, attributes.table,
                                      SecretSearchFlags(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK | flags),
                                      nullptr, nullptr);
}

// Every item in any collection carrying these two attribute values (and maybe others).
QList<Item> items(const QByteArray& name, const QByteArray& account) {
    g_autoptr(SecretService) service = connectService();
    g_autoptr(SecretCollection) collection = defaultCollection(service);
    const QByteArray collectionPath = g_dbus_proxy_get_object_path(G_DBUS_PROXY(collection));
    QList<Item> found;
    g_autolist(SecretItem) list = search(service, name, account, SECRET_SEARCH_LOAD_SECRETS);
    for (GList* node = list; node != nullptr; node = node->next) {
        ::SecretItem* item = SECRET_ITEM(node->data);
        Item raw;
        g_autoptr(SecretValue) value = secret_item_get_secret(item);
        gsize length = 0;
        const gchar* bytes = value ? secret_value_get(value, &length) : nullptr;
        raw.value = QByteArray(bytes, qsizetype(length));
        g_autoptr(GHashTable) attributes = secret_item_get_attributes(item);
        GHashTableIter iter;
        gpointer key = nullptr, text = nullptr;
        g_hash_table_iter_init(&iter, attributes);
        while (g_hash_table_iter_next(&iter, &key, &text))
            raw.attributes.insert(static_cast<const char*>(key), static_cast<const char*>(text));
        // GNOME Keyring now and then reports its own default schema for an item stored without one.
        if (raw.attributes.value("xdg:schema") == "org.freedesktop.Secret.Generic")
            raw.attributes.remove("xdg:schema");
        raw.inDefaultCollection =
            QByteArray(g_dbus_proxy_get_object_path(G_DBUS_PROXY(item))).startsWith(collectionPath + '/');
        found.append(raw);
    }
    return found;
}

// A new item in the default collection even when a matching one exists, as another writer could add.
bool plant(const QByteArray& name, const QByteArray& account, const QByteArray& value) {
    g_autoptr(SecretService) service = connectService();
    g_autoptr(SecretCollection) collection = service ? defaultCollection(service) : nullptr;
    const Attributes attributes(name, account);
    g_autoptr(SecretValue) secret = secret_value_new(value.constData(), value.size(), "text/plain");
    g_autoptr(SecretItem) item =
        collection ? secret_item_create_sync(collection, nullptr, attributes.table, "raw item", secret,
                                             SECRET_ITEM_CREATE_NONE, nullptr, nullptr)
                   : nullptr;
    return item != nullptr;
}

void removeItems(const QByteArray& name, const QByteArray& account) {
    g_autoptr(SecretService) service = connectService();
    g_autolist(SecretItem) list = service ? search(service, name, account, 0) : nullptr;
    for (GList* node = list; node != nullptr; node = node->next)
        secret_item_delete_sync(SECRET_ITEM(node->data), nullptr, nullptr);
}

Item ours(const QByteArray& value) {
    return {value, {{"service", kService}, {"account", kAccount}}, true};
}

// Runs in a copy of this binary started in a world the test made: prints the status and text
// of the error the save threw (and fails), or nothing.
int saveInChild(const QString& token) {
    try {
        KeychainStore::saveToken(token);
        return 0;
    } catch (const KeychainStore::KeychainError& error) {
        std::printf("%d %s", error.status(), error.what());
        return 1;
    }
}

} // namespace

Q_DECLARE_METATYPE(std::optional<QString>)
Q_DECLARE_METATYPE(std::function<void()>)

class TestKeychainStore : public QObject {
    Q_OBJECT

    static void removeEverything() {
        for (const auto& [service, account] :
             {std::pair{kService, kAccount}, std::pair{kService, "other-account"_ba},
              std::pair{kOtherService, kAccount}})
            removeItems(service, account);
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY2(plant(kService, kAccount, "probe"),
                 "no Secret Service: run inside the private keyring session");
    }
    void init() { removeEverything(); }
    void cleanup() { removeEverything(); }

    void roundTrip_data() {
        QTest::addColumn<QString>("token");
        QTest::newRow("chinese and emoji") << u"鸢井令牌-😀📷-é"_s;
        QTest::newRow("empty") << QString();
        QTest::newRow("embedded NUL") << QString::fromUtf16(u"before\0after", 12);
    }
    void roundTrip() {
        QFETCH(QString, token);
        QCOMPARE(KeychainStore::readToken(), std::nullopt);
        KeychainStore::saveToken(token);
        QCOMPARE(KeychainStore::readToken(), std::optional(token));
        // One item, the bare UTF-8 bytes, exactly the two attributes, in the login collection.
        QCOMPARE(items(kService, kAccount), QList{ours(token.toUtf8())});
        KeychainStore::deleteToken();
        QCOMPARE(KeychainStore::readToken(), std::nullopt);
    }

    // Other applications' items beside ours are never read or touched; ours never pile up.
    void amongOtherItems_data() {
        QTest::addColumn<std::function<void()>>("arrange");
        QTest::addColumn<std::optional<QString>>("before"); // what a read finds before the save
        QTest::newRow("nothing of ours") << std::function<void()>([] {}) << std::optional<QString>();
        QTest::newRow("saved before") << std::function<void()>([] { KeychainStore::saveToken(u"first"_s); })
                                      << std::optional(u"first"_s);
        QTest::newRow("two items from elsewhere") << std::function<void()>([] {
            plant(kService, kAccount, "stale");
            plant(kService, kAccount, "stale");
        }) << std::optional(u"stale"_s);
    }
    void amongOtherItems() {
        QFETCH(std::function<void()>, arrange);
        QFETCH(std::optional<QString>, before);
        QVERIFY(plant(kService, "other-account", "not ours") && plant(kOtherService, kAccount, "not ours"));
        arrange();
        QCOMPARE(KeychainStore::readToken(), before);
        KeychainStore::saveToken(u"second"_s);
        QCOMPARE(items(kService, kAccount), QList{ours("second")});
        QCOMPARE(KeychainStore::readToken(), u"second"_s);
        // A delete removes every matching item, whoever wrote it.
        QVERIFY(plant(kService, kAccount, "again"));
        KeychainStore::deleteToken();
        QCOMPARE(items(kService, kAccount), QList<Item>());
        QCOMPARE(items(kService, "other-account").size() + items(kOtherService, kAccount).size(), 2);
    }

    void storedBytesAreDecodedStrictly_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<std::optional<QString>>("expected");
        QTest::newRow("latin-1 text") << QByteArray("caf\xe9") << std::optional<QString>();
        QTest::newRow("encoded surrogate") << QByteArray("\xed\xa0\x80") << std::optional<QString>();
        QTest::newRow("truncated at the end") << QByteArray("abc\xe4\xb8") << std::optional<QString>();
        QTest::newRow("leading EF BB BF kept")
            << QByteArray("\xef\xbb\xbf\x41") << std::optional(u"\uFEFFA"_s);
    }
    void storedBytesAreDecodedStrictly() {
        QFETCH(QByteArray, bytes);
        QFETCH(std::optional<QString>, expected);
        QVERIFY(plant(kService, kAccount, bytes));
        QCOMPARE(KeychainStore::readToken(), expected);
    }

    // A save that fails throws, and its status is never 0, whatever the store answered.
    void failedSaveShowsAStatus_data() {
        QTest::addColumn<QString>("world"); // a shell script that runs "$0" "$1", the saving child, last
        QTest::newRow("no bus at all")
            << u"DBUS_SESSION_BUS_ADDRESS=unix:path=$HOME/none exec \"$0\" \"$1\""_s;
        // Once a first save has gone through, GNOME Keyring can no longer write its file, and fails
        // with GLib's generic code 0.
        QTest::newRow("keyring that cannot write")
            << u"exec dbus-run-session -- sh -c 'printf pw | gnome-keyring-daemon --unlock "
               u"--components=secrets "
               ">/dev/null && \"$0\" \"$1\" >/dev/null && rm -r \"$XDG_DATA_HOME/keyrings\" && "
               "touch \"$XDG_DATA_HOME/keyrings\" && exec \"$0\" \"$1\"' \"$0\" \"$1\""_s;
    }
    void failedSaveShowsAStatus() {
        QFETCH(QString, world);
        QTemporaryDir home;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const QString& name : {u"HOME"_s, u"XDG_DATA_HOME"_s, u"XDG_RUNTIME_DIR"_s})
            environment.insert(name, home.path());
        QProcess child;
        child.setProcessEnvironment(environment);
        child.start(u"sh"_s, {u"-c"_s, world, QCoreApplication::applicationFilePath(),
                              QString::fromLatin1(kSaveInChild)});
        QVERIFY(child.waitForFinished(60000));
        const QString thrown = QString::fromUtf8(child.readAllStandardOutput());
        const int status = thrown.section(u' ', 0, 0).toInt();
        QVERIFY2(status != 0, qPrintable(thrown));
        QCOMPARE(thrown.section(u' ', 1), u"无法保存登录会话（Keychain 错误 %1）。"_s.arg(status));
    }
};

int main(int argc, char** argv) {
    if (argc == 2 && qstrcmp(argv[1], kSaveInChild) == 0)
        return saveInChild(u"令牌"_s);
    QCoreApplication app(argc, argv);
    TestKeychainStore test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_keychainstore.moc"
