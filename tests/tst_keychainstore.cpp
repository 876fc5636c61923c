// The session token in the Secret Service, as any other client of the service sees it.

// glib's headers use `signals` as a name; they come before any Qt header.
#include <libsecret/secret.h>

#include "app/SyncViewModel.h"
#include "credentials/KeychainStore.h"
#include "support/Fixture.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

using kitewell::KeychainStore;
using namespace Qt::StringLiterals;

namespace {

const QByteArray kService = KITEWELL_KEYCHAIN_SERVICE;
const QByteArray kAccount = "session-token";
const QByteArray kOtherService = "cn.example.other-app";
constexpr const char* kSignInInChild = "--sign-in-in-child";

// Items are written and read through libsecret directly, the way another client would, in the
// login collection.
GHashTable* attributesOf(const QByteArray& service, const QByteArray& account) {
    GHashTable* table = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(table, const_cast<char*>("service"), const_cast<char*>(service.constData()));
    g_hash_table_insert(table, const_cast<char*>("account"), const_cast<char*>(account.constData()));
    return table;
}

SecretCollection* loginCollection() {
    g_autoptr(SecretService) service = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, nullptr);
    return secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE,
                                            nullptr, nullptr);
}

GList* search(const QByteArray& service, const QByteArray& account) {
    g_autoptr(SecretCollection) collection = loginCollection();
    g_autoptr(GHashTable) attributes = attributesOf(service, account);
    const auto flags =
        SecretSearchFlags(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK | SECRET_SEARCH_LOAD_SECRETS);
    return secret_collection_search_sync(collection, nullptr, attributes, flags, nullptr, nullptr);
}

// The values of the items with these two attributes; one that has any other is marked.
QByteArrayList items(const QByteArray& service, const QByteArray& account) {
    QByteArrayList values;
    g_autolist(SecretItem) found = search(service, account);
    for (GList* node = found; node != nullptr; node = node->next) {
        g_autoptr(SecretValue) secret = secret_item_get_secret(SECRET_ITEM(node->data));
        gsize length = 0;
        const gchar* bytes = secret_value_get(secret, &length);
        g_autoptr(GHashTable) all = secret_item_get_attributes(SECRET_ITEM(node->data));
        // GNOME Keyring now and then reports its own default schema for an item stored without one.
        const bool generic = g_strcmp0(static_cast<const char*>(g_hash_table_lookup(all, "xdg:schema")),
                                       "org.freedesktop.Secret.Generic") == 0;
        const QByteArray value(bytes, qsizetype(length));
        values.append(g_hash_table_size(all) == 2u + generic ? value : "more attributes: " + value);
    }
    return values;
}

// A new item even when a matching one exists, as another writer could add.
bool plant(const QByteArray& service, const QByteArray& account, const QByteArray& value) {
    g_autoptr(SecretCollection) collection = loginCollection();
    g_autoptr(GHashTable) attributes = attributesOf(service, account);
    g_autoptr(SecretValue) secret = secret_value_new(value.constData(), value.size(), "text/plain");
    g_autoptr(SecretItem) item = secret_item_create_sync(collection, nullptr, attributes, "raw item", secret,
                                                         SECRET_ITEM_CREATE_NONE, nullptr, nullptr);
    return item != nullptr;
}

// Runs in a copy of this binary started in a world the test made: a sign-in through the
// controller, whose token goes to the store; prints what the controller then shows, and fails
// unless signed in.
int signInInChild() {
    const auto service = testsupport::startService();
    const testsupport::Sandbox sandbox;
    kitewell::SyncViewModel model({.restoreAtStart = false, .serviceOrigin = service->baseUrl().toString()});
    model.setEmail(testsupport::kEmail);
    model.setPassword(testsupport::kPassword);
    testsupport::outcomeOf(model.signIn());
    std::printf("%s", qPrintable(model.message()));
    return model.account() ? 0 : 1;
}

} // namespace

Q_DECLARE_METATYPE(std::optional<QString>)

class TestKeychainStore : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Anything a row left, ours or another application's. (With no Secret Service at all, the
    // items planted next fail.)
    void init() {
        for (const auto& [service, account] :
             {std::pair{kService, kAccount}, {kService, "other-account"_ba}, {kOtherService, kAccount}}) {
            g_autolist(SecretItem) found = search(service, account);
            for (GList* node = found; node != nullptr; node = node->next)
                secret_item_delete_sync(SECRET_ITEM(node->data), nullptr, nullptr);
        }
    }

    void roundTrip_data() {
        QTest::addColumn<QString>("token");
        QTest::newRow("chinese and emoji") << u"鸢井令牌-😀📷-é"_s;
        QTest::newRow("empty") << QString();
        QTest::newRow("embedded NUL") << QString::fromUtf16(u"before\0after", 12);
    }
    void roundTrip() {
        QFETCH(QString, token);
        KeychainStore::saveToken(token);
        QCOMPARE(KeychainStore::readToken(), std::optional(token));
        // One item, the bare UTF-8 bytes, exactly the two attributes, in the login collection.
        QCOMPARE(items(kService, kAccount), QByteArrayList{token.toUtf8()});
    }

    // Other applications' items beside ours are never read or touched; ours never pile up.
    void amongOtherItems_data() {
        QTest::addColumn<int>("planted"); // items of ours another writer left
        QTest::newRow("nothing of ours") << 0;
        QTest::newRow("two items from elsewhere") << 2;
    }
    void amongOtherItems() {
        QFETCH(int, planted);
        QVERIFY(plant(kService, "other-account", "not ours") && plant(kOtherService, kAccount, "not ours"));
        for (int i = 0; i < planted; ++i)
            QVERIFY(plant(kService, kAccount, "stale"));
        QCOMPARE(KeychainStore::readToken(), planted ? std::optional(u"stale"_s) : std::nullopt);
        KeychainStore::saveToken(u"second"_s);
        QCOMPARE(items(kService, kAccount), QByteArrayList{"second"});
        // A delete removes every matching item, whoever wrote it.
        QVERIFY(plant(kService, kAccount, "again"));
        KeychainStore::deleteToken();
        QCOMPARE(items(kService, kAccount), QByteArrayList());
        QCOMPARE(items(kService, "other-account").size() + items(kOtherService, kAccount).size(), 2);
    }

    void storedBytesAreDecodedStrictly_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<std::optional<QString>>("expected");
        QTest::newRow("latin-1 text") << QByteArray("caf\xe9") << std::optional<QString>();
        QTest::newRow("truncated at the end") << QByteArray("abc\xe4\xb8") << std::optional<QString>();
        QTest::newRow("leading BOM kept") << QByteArray("\xef\xbb\xbf\x41") << std::optional(u"\uFEFFA"_s);
    }
    void storedBytesAreDecodedStrictly() {
        QFETCH(QByteArray, bytes);
        QFETCH(std::optional<QString>, expected);
        QVERIFY(plant(kService, kAccount, bytes));
        QCOMPARE(KeychainStore::readToken(), expected);
    }

    // A sign-in whose token cannot be saved is no sign-in, and the status shown is never 0,
    // whatever the store answered.
    void failedSaveShowsAStatus_data() {
        QTest::addColumn<QString>("world"); // a shell script that runs "$0" "$1", the signing-in child, last
        QTest::newRow("no bus") << u"DBUS_SESSION_BUS_ADDRESS=unix:path=$HOME/none exec \"$0\" \"$1\""_s;
        // Once a first save has gone through, GNOME Keyring can no longer write its file, and fails
        // with GLib's generic code 0.
        QTest::newRow("keyring that cannot write")
            << u"exec dbus-run-session -- sh -c 'printf pw | gnome-keyring-daemon --unlock "
               u"--components=secrets "
               ">/dev/null && \"$0\" \"$1\" >/dev/null && rm -r \"$2/keyrings\" && touch \"$2/keyrings\" && "
               "exec \"$0\" \"$1\"' \"$0\" \"$1\" \"$2\""_s;
    }
    void failedSaveShowsAStatus() {
        QFETCH(QString, world);
        QTemporaryDir home; // the world's home, data and runtime folder
        QProcess child;
        child.start(u"sh"_s,
                    {u"-c"_s, u"export HOME=\"$2\" XDG_DATA_HOME=\"$2\" XDG_RUNTIME_DIR=\"$2\"; "_s + world,
                     QCoreApplication::applicationFilePath(), QString::fromLatin1(kSignInInChild),
                     home.path()});
        QVERIFY(child.waitForFinished(60000));
        const QString shown = QString::fromUtf8(child.readAllStandardOutput());
        const int status = shown.section(u"错误 "_s, 1).section(u'）', 0, 0).toInt();
        QVERIFY2(status != 0 && child.exitCode() == 1,
                 qPrintable(shown + QString::fromUtf8(child.readAllStandardError())));
        QCOMPARE(shown, u"无法保存登录会话（Keychain 错误 %1）。"_s.arg(status));
    }
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc == 2 && qstrcmp(argv[1], kSignInInChild) == 0)
        return signInInChild();
    TestKeychainStore test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_keychainstore.moc"
