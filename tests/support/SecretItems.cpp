// glib's headers use `signals` as a name; they come before any Qt header.
#include <libsecret/secret.h>

#include "support/SecretItems.h"

namespace testsupport {

namespace {

struct Attributes {
    GHashTable* table = g_hash_table_new(g_str_hash, g_str_equal);
    Attributes(const QByteArray& service, const QByteArray& account) {
        g_hash_table_insert(table, const_cast<char*>("service"), const_cast<char*>(service.constData()));
        g_hash_table_insert(table, const_cast<char*>("account"), const_cast<char*>(account.constData()));
    }
    ~Attributes() { g_hash_table_unref(table); }
};

SecretService* connect() {
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

} // namespace

bool secretServiceReady() {
    g_autoptr(SecretService) service = connect();
    g_autoptr(SecretCollection) collection = service ? defaultCollection(service) : nullptr;
    return collection != nullptr;
}

QList<StoredSecret> secretItems(const QByteArray& name, const QByteArray& account) {
    QList<StoredSecret> found;
    g_autoptr(SecretService) service = connect();
    g_autoptr(SecretCollection) collection = service ? defaultCollection(service) : nullptr;
    if (!collection)
        return found;
    const QByteArray collectionPath = g_dbus_proxy_get_object_path(G_DBUS_PROXY(collection));
    g_autolist(SecretItem) items = search(service, name, account, SECRET_SEARCH_LOAD_SECRETS);
    for (GList* node = items; node != nullptr; node = node->next) {
        ::SecretItem* item = SECRET_ITEM(node->data);
        StoredSecret raw;
        if (g_autoptr(SecretValue) value = secret_item_get_secret(item)) {
            gsize length = 0;
            const gchar* bytes = secret_value_get(value, &length);
            raw.value = QByteArray(bytes, qsizetype(length));
        }
        g_autoptr(GHashTable) attributes = secret_item_get_attributes(item);
        GHashTableIter iter;
        gpointer key = nullptr, value = nullptr;
        g_hash_table_iter_init(&iter, attributes);
        while (g_hash_table_iter_next(&iter, &key, &value))
            raw.attributes.insert(static_cast<const char*>(key), static_cast<const char*>(value));
        // GNOME Keyring now and then reports its own default schema for an item stored without one.
        if (raw.attributes.value("xdg:schema") == "org.freedesktop.Secret.Generic")
            raw.attributes.remove("xdg:schema");
        raw.inDefaultCollection =
            QByteArray(g_dbus_proxy_get_object_path(G_DBUS_PROXY(item))).startsWith(collectionPath + '/');
        found.append(raw);
    }
    return found;
}

bool createSecretItem(const QByteArray& name, const QByteArray& account, const QByteArray& value) {
    g_autoptr(SecretService) service = connect();
    g_autoptr(SecretCollection) collection = service ? defaultCollection(service) : nullptr;
    if (!collection)
        return false;
    const Attributes attributes(name, account);
    g_autoptr(SecretValue) secret = secret_value_new(value.constData(), value.size(), "text/plain");
    g_autoptr(SecretItem) item =
        secret_item_create_sync(collection, nullptr, attributes.table, "raw test item", secret,
                                SECRET_ITEM_CREATE_NONE, nullptr, nullptr);
    return item != nullptr;
}

void removeSecretItems(const QByteArray& name, const QByteArray& account) {
    g_autoptr(SecretService) service = connect();
    if (!service)
        return;
    g_autolist(SecretItem) items = search(service, name, account, 0);
    for (GList* node = items; node != nullptr; node = node->next)
        secret_item_delete_sync(SECRET_ITEM(node->data), nullptr, nullptr);
}

} // namespace testsupport
