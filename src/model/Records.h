#pragma once

// The records in which the album service answers. Decoding is strict: a missing
// required member, a null one or a value of the wrong type fails the whole document.
// Every decode throws json::DecodingError.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>
#include <QVariant>
#include <QtCore/qobjectdefs.h>

#include <optional>

namespace kitewell {

struct Account {
    Q_GADGET
    Q_PROPERTY(QString id MEMBER id CONSTANT)
    Q_PROPERTY(QString email MEMBER email CONSTANT)
    Q_PROPERTY(QString name MEMBER name CONSTANT)
public:
    QString id;
    QString email;
    QString name;
};

struct AlbumEvent {
    Q_GADGET
    Q_PROPERTY(QString id MEMBER id CONSTANT)
    Q_PROPERTY(QString title MEMBER title CONSTANT)
    // null when absent
    Q_PROPERTY(QVariant collaborationRole READ collaborationRoleValue CONSTANT)
public:
    QString id;
    QString title;
    std::optional<QString> collaborationRole;

    QVariant collaborationRoleValue() const {
        return collaborationRole ? QVariant(*collaborationRole) : QVariant();
    }

    bool operator==(const AlbumEvent&) const = default;
};

struct Photo {
    QString id;
    std::optional<QString> name;
    std::optional<QString> originalUrl; // a URL reference as sent (checked to be one), never resolved
    std::optional<QString> createdAt;
    std::optional<bool> isPublished;

    bool operator==(const Photo&) const = default;
};

struct ProjectPermissions {
    bool canManageAllPhotos = false;
    bool canUpload = false;
};

struct WorkspaceBootstrap {
    Account account;
    QList<AlbumEvent> events;

    static WorkspaceBootstrap decode(const QByteArray& bytes);
};

struct EventWorkspace {
    AlbumEvent event;
    QList<Photo> photos;
    ProjectPermissions permissions;

    static EventWorkspace decode(const QByteArray& bytes);
};

struct SignInResponse {
    std::optional<QString> token;

    static SignInResponse decode(const QByteArray& bytes);
};

struct ErrorResponse {
    std::optional<QString> error;
    std::optional<QString> message;

    static ErrorResponse decode(const QByteArray& bytes);
};

// Stands for an answer that must be JSON but whose content does not matter: any
// well-formed document decodes, whatever its top-level value.
struct EmptyResponse {
    static EmptyResponse decode(const QByteArray& bytes);
};

} // namespace kitewell
