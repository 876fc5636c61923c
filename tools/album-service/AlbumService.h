#pragma once

// The local album service: a real HTTP server on 127.0.0.1 that plays the album
// service for tests, the demo and the benchmarks. It keeps its accounts, albums,
// photos, received versions and publications in memory, records every request as
// received, and lets a test script faults per endpoint.

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QUrl>

#include <memory>
#include <optional>

namespace albumservice {

enum class Endpoint { SignIn, Bootstrap, Workspace, Original, UploadVersion, Publish, Unknown };

using HeaderList = QList<QPair<QByteArray, QByteArray>>;

// One request as it reached the server.
struct RecordedRequest {
    Endpoint endpoint = Endpoint::Unknown;
    QByteArray method;  // "GET", "POST", ...
    QByteArray target;  // the request target as sent: path and query, percent-escapes kept
    HeaderList headers; // in the order received
    QByteArray body;
    // Case-insensitive lookup of the first header of that name.
    std::optional<QByteArray> header(const QByteArray& name) const;
};

// What the server does instead of (or on top of) its normal answer.
struct Fault {
    enum class Cut {
        None,
        DropMidBody,  // headers with the full Content-Length, half the body, then reset the connection
        TruncateBody, // headers with the full Content-Length, half the body, then close cleanly
        Stall,        // headers with the full Content-Length, half the body, then send nothing more
        PauseMidBody, // headers with the full Content-Length, then the body in pieces, pauseMs apart
    };
    std::optional<int> status;        // answer with this status...
    std::optional<QByteArray> body;   // ...and this body (default: empty) instead of the normal answer
    HeaderList extraHeaders;          // added to the answer ("Connection: close" also closes it)
    QList<QByteArray> removedHeaders; // left out of the answer (e.g. "set-auth-token"), case-insensitive
    int delayMs = 0;                  // wait before answering
    Cut cut = Cut::None;              // applied to whatever body is sent
    int pauseMs = 0;                  // the pause of PauseMidBody...
    int pauses = 1;                   // ...and how many (the body goes in pauses + 1 pieces)
    // Answer redirectStatus with this Location (same or another origin).
    std::optional<QUrl> redirectTo;
    int redirectStatus = 307;
    int skip = 0;   // let this many matching requests through first
    int count = -1; // then apply to this many (-1: every one)
    // Stop reading the request's body once its head has arrived (bodyHeld tells), until
    // releaseHeldBodies(): the client is still sending meanwhile.
    bool holdBody = false;
    // With status or redirectTo: still carry out the request (issue the token, keep the version,
    // publish) before answering with the fault. Otherwise such a request changes nothing.
    bool performRequest = false;
    // Sent byte for byte in place of the answer's head and body; the connection then closes.
    std::optional<QByteArray> raw;
};

struct Account {
    QString id;
    QString email;
    QString name;
    QString password;
};

struct Event {
    QString id;
    QString title;
    std::optional<QString> collaborationRole;
    bool canManageAllPhotos = true;
    bool canUpload = true;
};

struct Photo {
    QString id;
    std::optional<QString> name;
    // Absent: the server's own URL of the original. Set: sent exactly as given (may be odd on purpose).
    std::optional<QString> originalUrl;
    bool hasOriginal = true; // false: the photo has no "originalUrl" member at all
    std::optional<QString> createdAt;
    std::optional<bool> isPublished;
    QByteArray jpeg; // the original's bytes, served by the server's own URL
};

// One retouched version received through the multipart upload.
struct ReceivedVersion {
    QString eventId;
    QString photoId;
    QByteArray retouched;     // value of the "retouched" part
    QByteArray retouchPreset; // value of the "retouchPreset" part
    QByteArray fileName;      // the "filename" parameter of the "photo" part, raw bytes
    QByteArray contentType;   // the "photo" part's Content-Type
    QByteArray bytes;         // the file's bytes
};

class AlbumService : public QObject {
    Q_OBJECT
public:
    explicit AlbumService(QObject* parent = nullptr);
    ~AlbumService() override;

    // Listens on 127.0.0.1 at port (0: any free port). False when it cannot.
    bool listen(quint16 port = 0);
    quint16 port() const;
    QUrl baseUrl() const; // "http://127.0.0.1:<port>"

    // Accounts and sessions. Sign-in answers the token in "set-auth-token" and in the body "token".
    void addAccount(const Account& account);
    // A valid token for that account, as sign-in would give (useless for an unknown e-mail).
    QString issueToken(const QString& email);
    void revokeAllTokens();

    // Albums visible to every account, in service order.
    void addEvent(const Event& event);
    void updateEvent(const Event& event); // rename, change permissions
    void removeEvent(const QString& eventId);
    // Adds a photo; when photo.jpeg is empty a real JPEG of about jpegSize bytes is generated.
    void addPhoto(const QString& eventId, Photo photo, qsizetype jpegSize = 0);
    // Replaces the first photo with that id; an empty photo.jpeg keeps the bytes it had.
    void updatePhoto(const QString& eventId, const Photo& photo);
    QList<Photo> photos(const QString& eventId) const;
    // The server's own URL of a photo's original: baseUrl() + "/originals/<event>/<photo>", each
    // identifier escaped but for unreserved characters ("/" too). Served without a token.
    QUrl originalUrl(const QString& eventId, const QString& photoId) const;

    // What reached the server.
    QList<RecordedRequest> requests() const;
    QList<RecordedRequest> requests(Endpoint endpoint) const;
    void clearRequests();
    QList<ReceivedVersion> versions() const;
    QList<QPair<QString, QString>> publications() const; // (eventId, photoId) in order
    // Benchmarks send hundreds of large bodies: with false, request bodies and version bytes
    // are dropped once read (everything else is still kept). True by default.
    void setKeepBodies(bool keep);

    // Faults, per endpoint; a later fault for the same endpoint replaces the earlier one.
    void setFault(Endpoint endpoint, const Fault& fault);
    void clearFault(Endpoint endpoint);
    void clearFaults();
    // Reads on the bodies held back by Fault::holdBody.
    void releaseHeldBodies();

    // A real JPEG: a 160x120 picture that varies with the seed, padded with comment segments to
    // exactly the given size, or the bare picture (a few KB) when that leaves no room for one.
    static QByteArray makeJpeg(qsizetype approximateSize, quint32 seed = 0);

Q_SIGNALS:
    // Emitted as each request is recorded, before it is answered; with its body, kept or not.
    void requestReceived(const albumservice::RecordedRequest& request);
    // Emitted when a request's body is held back: its head as received, without the body.
    void bodyHeld(const albumservice::RecordedRequest& head);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace albumservice
