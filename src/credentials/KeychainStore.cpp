// glib's headers use `signals` as a name; they come before any Qt header.
#include <libsecret/secret.h>

#include "credentials/KeychainStore.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QStringDecoder>

#include <memory>

namespace kitewell {

namespace {

constexpr const char* serviceId = KITEWELL_KEYCHAIN_SERVICE;
constexpr const char* accountName = "session-token";
constexpr const char* itemLabel = "鸢井同步助手 session token";

// Reported when a call failed with GLib's generic code 0 or without any error at all.
constexpr std::int32_t unknownStatus = -1;

struct ErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
struct ObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
struct HashTableUnref {
    void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};
struct ValueUnref {
    void operator()(SecretValue* value) const { secret_value_unref(value); }
};
struct ItemListFree {
    void operator()(GList* items) const { g_list_free_full(items, g_object_unref); }
};

using ErrorPtr = std::unique_ptr<GError, ErrorFree>;
using ServicePtr = std::unique_ptr<SecretService, ObjectUnref>;
using AttributesPtr = std::unique_ptr<GHashTable, HashTableUnref>;
using ValuePtr = std::unique_ptr<SecretValue, ValueUnref>;
using ItemListPtr = std::unique_ptr<GList, ItemListFree>;

std::int32_t statusOf(const ErrorPtr& error) {
    return error && error->code != 0 ? static_cast<std::int32_t>(error->code) : unknownStatus;
}

ServicePtr connectService(ErrorPtr& error) {
    GError* raw = nullptr;
    ServicePtr service(secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &raw));
    error.reset(raw);
    return service;
}

// The item's two attributes. No schema is passed to libsecret anywhere: with one it would add
// its own "xdg:schema" attribute to the item.
AttributesPtr tokenAttributes() {
    AttributesPtr attributes(g_hash_table_new(g_str_hash, g_str_equal));
    g_hash_table_insert(attributes.get(), const_cast<char*>("service"), const_cast<char*>(serviceId));
    g_hash_table_insert(attributes.get(), const_cast<char*>("account"), const_cast<char*>(accountName));
    return attributes;
}

// Strict decoding: any malformed, overlong, surrogate or truncated sequence gives nothing, and
// a leading U+FEFF is kept as part of the token instead of being dropped as a byte-order mark.
std::optional<QString> decodeUtf8(QByteArrayView bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8,
                           QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    if (text.isNull())
        text = QStringLiteral("");
    return text;
}

} // namespace

KeychainStore::KeychainError::KeychainError(std::int32_t status)
    : Error(QStringLiteral("无法保存登录会话（Keychain 错误 %1）。").arg(status)), m_status(status) {}

std::optional<QString> KeychainStore::readToken() {
    ErrorPtr error;
    const ServicePtr service = connectService(error);
    if (!service)
        return std::nullopt;

    const AttributesPtr attributes = tokenAttributes();
    GError* raw = nullptr;
    const ValuePtr value(secret_service_lookup_sync(service.get(), nullptr, attributes.get(), nullptr, &raw));
    error.reset(raw);
    if (!value)
        return std::nullopt;

    gsize length = 0;
    const gchar* bytes = secret_value_get(value.get(), &length);
    return decodeUtf8(QByteArrayView(bytes, static_cast<qsizetype>(length)));
}

void KeychainStore::deleteToken() {
    ErrorPtr error;
    const ServicePtr service = connectService(error);
    if (!service)
        return;

    // Every matching item goes, also duplicates another writer may have left behind.
    const AttributesPtr attributes = tokenAttributes();
    const auto flags = static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK);
    GError* raw = nullptr;
    const ItemListPtr items(
        secret_service_search_sync(service.get(), nullptr, attributes.get(), flags, nullptr, &raw));
    error.reset(raw);
    for (GList* node = items.get(); node != nullptr; node = node->next) {
        GError* deleteRaw = nullptr;
        secret_item_delete_sync(SECRET_ITEM(node->data), nullptr, &deleteRaw);
        const ErrorPtr ignored(deleteRaw);
    }
}

void KeychainStore::saveToken(const QString& token) {
    deleteToken();

    ErrorPtr error;
    const ServicePtr service = connectService(error);
    if (!service)
        throw KeychainError(statusOf(error));

    const QByteArray utf8 = token.toUtf8();
    const ValuePtr value(secret_value_new(utf8.constData(), utf8.size(), "text/plain"));
    const AttributesPtr attributes = tokenAttributes();
    GError* raw = nullptr;
    // No collection path: the default (login) collection.
    const gboolean stored = secret_service_store_sync(service.get(), nullptr, attributes.get(), nullptr,
                                                      itemLabel, value.get(), nullptr, &raw);
    error.reset(raw);
    if (!stored)
        throw KeychainError(statusOf(error));
}

} // namespace kitewell
