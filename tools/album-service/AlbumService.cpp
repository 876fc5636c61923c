#include "AlbumService.h"

#include "HttpWire.h"
#include "UploadForm.h"

#include <QAbstractHttpServer>
#include <QHttpServerRequest>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTimer>
#include <QUuid>

#include <functional>
#include <map>

namespace albumservice {

std::optional<QByteArray> RecordedRequest::header(const QByteArray& name) const {
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return std::nullopt;
}

namespace {

// Hands every parsed request to one function, which answers it on the socket itself.
class HttpServer : public QAbstractHttpServer {
public:
    using Handler = std::function<void(const QHttpServerRequest&, QTcpSocket*)>;
    explicit HttpServer(Handler handler) : m_handler(std::move(handler)) {}

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override {
        m_handler(request, socket);
        return true;
    }
    void missingHandler(const QHttpServerRequest&, QTcpSocket*) override {}

private:
    Handler m_handler;
};

QByteArray methodName(QHttpServerRequest::Method method) {
    switch (method) {
    case QHttpServerRequest::Method::Get:
        return "GET";
    case QHttpServerRequest::Method::Put:
        return "PUT";
    case QHttpServerRequest::Method::Delete:
        return "DELETE";
    case QHttpServerRequest::Method::Post:
        return "POST";
    case QHttpServerRequest::Method::Head:
        return "HEAD";
    case QHttpServerRequest::Method::Options:
        return "OPTIONS";
    case QHttpServerRequest::Method::Patch:
        return "PATCH";
    case QHttpServerRequest::Method::Connect:
        return "CONNECT";
    case QHttpServerRequest::Method::Trace:
        return "TRACE";
    default:
        return "UNKNOWN";
    }
}

// Which endpoint a request addresses, and the identifiers in its path (percent-decoded).
struct Route {
    Endpoint endpoint = Endpoint::Unknown;
    QString eventId;
    QString photoId;
};

QString decoded(const QString& escaped) {
    return QUrl::fromPercentEncoding(escaped.toLatin1());
}

// Routes match the path's tail, so a base URL with a path prefix works too. An identifier may
// hold "/" (the client leaves it unescaped), hence the greedy groups for the admin paths.
Route routeOf(const QByteArray& method, const QByteArray& target) {
    const qsizetype query = target.indexOf('?');
    const QString path = QString::fromLatin1(query < 0 ? target : target.left(query));
    static const QRegularExpression signIn(QStringLiteral("/api/auth/sign-in/email$"));
    static const QRegularExpression bootstrap(QStringLiteral("/api/publisher/bootstrap$"));
    static const QRegularExpression workspace(QStringLiteral("/api/publisher/events/(.+)/workspace$"));
    static const QRegularExpression original(QStringLiteral("/originals/([^/]+)/([^/]+)$"));
    static const QRegularExpression admin(
        QStringLiteral("/api/admin/events/(.+)/photos/(.+)/(versions|publish)$"));

    if (method == "POST" && signIn.match(path).hasMatch())
        return {Endpoint::SignIn, {}, {}};
    if (method == "POST" && bootstrap.match(path).hasMatch())
        return {Endpoint::Bootstrap, {}, {}};
    if (method == "GET") {
        if (const auto m = workspace.match(path); m.hasMatch())
            return {Endpoint::Workspace, decoded(m.captured(1)), {}};
        if (const auto m = original.match(path); m.hasMatch())
            return {Endpoint::Original, decoded(m.captured(1)), decoded(m.captured(2))};
    }
    if (method == "POST") {
        if (const auto m = admin.match(path); m.hasMatch()) {
            const auto endpoint =
                m.captured(3) == QLatin1String("versions") ? Endpoint::UploadVersion : Endpoint::Publish;
            return {endpoint, decoded(m.captured(1)), decoded(m.captured(2))};
        }
    }
    return {};
}

Answer jsonAnswer(int status, const QJsonObject& object, const HeaderList& extraHeaders = {}) {
    Answer answer;
    answer.status = status;
    answer.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("application/json")));
    answer.headers.append(extraHeaders);
    answer.body = QJsonDocument(object).toJson(QJsonDocument::Compact);
    return answer;
}

Answer errorAnswer(int status, const QString& text) {
    return jsonAnswer(status, QJsonObject{{QStringLiteral("error"), text}});
}

Answer okAnswer() {
    return jsonAnswer(200, QJsonObject{{QStringLiteral("ok"), true}});
}

QJsonObject eventJson(const Event& event) {
    QJsonObject object{{QStringLiteral("id"), event.id}, {QStringLiteral("title"), event.title}};
    if (event.collaborationRole)
        object.insert(QStringLiteral("collaborationRole"), *event.collaborationRole);
    return object;
}

bool wantsClose(const RecordedRequest& request) {
    const QByteArray connection = request.header("connection").value_or(QByteArray()).toLower();
    return connection.contains("close");
}

} // namespace

struct AlbumService::Private {
    struct EventEntry {
        Event event;
        QList<Photo> photos;
        QByteArray workspaceBody; // the workspace answer, built again after each change (empty)
    };
    struct FaultSlot {
        Fault fault;
        int seen = 0;
    };

    explicit Private(AlbumService* owner)
        : q(owner),
          http([this](const QHttpServerRequest& request, QTcpSocket* socket) { handle(request, socket); }) {}

    AlbumService* q;
    HttpServer http;
    quint16 port = 0;
    bool keepBodies = true;
    QList<Account> accounts;
    QHash<QString, QString> tokens; // token -> e-mail
    QList<EventEntry> events;
    QList<RecordedRequest> requests;
    QList<ReceivedVersion> versions;
    QList<QPair<QString, QString>> publications;
    std::map<Endpoint, FaultSlot> faults;

    // The path of a photo's original on this server: every identifier byte but the unreserved
    // ones escaped, "/" too, so the path splits cleanly.
    static QByteArray originalPath(const QString& eventId, const QString& photoId) {
        return "/originals/" + QUrl::toPercentEncoding(eventId) + '/' + QUrl::toPercentEncoding(photoId);
    }

    void forgetWorkspaces() {
        for (auto& entry : events)
            entry.workspaceBody.clear();
    }

    EventEntry* findEvent(const QString& id) {
        for (auto& entry : events) {
            if (entry.event.id == id)
                return &entry;
        }
        return nullptr;
    }

    static Photo* findPhoto(EventEntry& entry, const QString& id) {
        for (auto& photo : entry.photos) {
            if (photo.id == id)
                return &photo;
        }
        return nullptr;
    }

    const Account* findAccount(const QString& email) const {
        for (const auto& account : accounts) {
            if (account.email == email)
                return &account;
        }
        return nullptr;
    }

    QString newToken(const QString& email) {
        const QString token = QUuid::createUuid().toString(QUuid::Id128);
        tokens.insert(token, email);
        return token;
    }

    // The account behind "Authorization: Bearer <token>", or none.
    const Account* bearer(const RecordedRequest& request) const {
        const QByteArray value = request.header("authorization").value_or(QByteArray());
        if (!value.startsWith("Bearer "))
            return nullptr;
        const auto token = tokens.find(QString::fromUtf8(value.mid(7)));
        return token == tokens.end() ? nullptr : findAccount(*token);
    }

    // The fault for the next request to the endpoint; with `count`, that request counts
    // against skip and count.
    std::optional<Fault> faultFor(Endpoint endpoint, bool count = true) {
        const auto slot = faults.find(endpoint);
        if (slot == faults.end())
            return std::nullopt;
        const int index = count ? slot->second.seen++ : slot->second.seen;
        const Fault& fault = slot->second.fault;
        if (index < fault.skip || (fault.count >= 0 && index >= fault.skip + fault.count))
            return std::nullopt;
        return fault;
    }

    void handle(const QHttpServerRequest& request, QTcpSocket* socket);
    Answer answer(const Route& route, const RecordedRequest& request);
    Answer signIn(const RecordedRequest& request);
    Answer bootstrap(const RecordedRequest& request);
    Answer workspace(const Route& route, const RecordedRequest& request);
    Answer original(const Route& route);
    Answer uploadVersion(const Route& route, const RecordedRequest& request);
    Answer publish(const Route& route, const RecordedRequest& request);
};

void AlbumService::Private::handle(const QHttpServerRequest& request, QTcpSocket* socket) {
    // Everything is copied now: the server reuses its request object for the connection's next one.
    RecordedRequest recorded;
    if (auto head = TapServer::takeHead(socket)) {
        recorded.method = head->method;
        recorded.target = head->target;
        recorded.headers = head->headers;
    } else {
        qWarning("album-service: no raw head for a request; recording the parsed one");
        recorded.method = methodName(request.method());
        recorded.target = request.url().toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority);
        recorded.headers = request.headers();
    }
    recorded.body = request.body();
    const Route route = routeOf(recorded.method, recorded.target);
    recorded.endpoint = route.endpoint;

    const std::optional<Fault> fault = faultFor(route.endpoint);
    Answer reply;
    if (fault && (fault->redirectTo || fault->status)) {
        if (fault->performRequest)
            answer(route, recorded);
        if (fault->redirectTo) {
            reply.status = fault->redirectStatus;
            reply.headers.append(qMakePair(QByteArray("Location"), fault->redirectTo->toEncoded()));
        } else {
            reply.status = *fault->status;
            reply.body = fault->body.value_or(QByteArray());
            if (!reply.body.isEmpty())
                reply.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("application/json")));
        }
    } else {
        reply = answer(route, recorded);
    }

    Delivery delivery;
    delivery.headOnly = recorded.method == "HEAD";
    delivery.closeAfter = wantsClose(recorded);
    int delayMs = 0;
    if (fault) {
        for (const QByteArray& removed : fault->removedHeaders) {
            reply.headers.removeIf(
                [&](const auto& header) { return header.first.compare(removed, Qt::CaseInsensitive) == 0; });
            if (removed.compare("content-length", Qt::CaseInsensitive) == 0)
                reply.withLength = false;
        }
        reply.headers.append(fault->extraHeaders);
        delivery.cut = fault->cut;
        delivery.pauseMs = fault->pauseMs;
        delivery.pauses = fault->pauses;
        delivery.raw = fault->raw;
        delayMs = fault->delayMs;
    }

    requests.append(recorded);
    if (!keepBodies)
        requests.last().body.clear();
    // Listeners see the body even when it is not kept.
    Q_EMIT q->requestReceived(recorded);

    if (delayMs > 0) {
        QTimer::singleShot(delayMs, Qt::PreciseTimer, socket,
                           [socket, reply, delivery] { sendAnswer(socket, reply, delivery); });
    } else {
        sendAnswer(socket, reply, delivery);
    }
}

Answer AlbumService::Private::answer(const Route& route, const RecordedRequest& request) {
    switch (route.endpoint) {
    case Endpoint::SignIn:
        return signIn(request);
    case Endpoint::Bootstrap:
        return bootstrap(request);
    case Endpoint::Workspace:
        return workspace(route, request);
    case Endpoint::Original:
        return original(route);
    case Endpoint::UploadVersion:
        return uploadVersion(route, request);
    case Endpoint::Publish:
        return publish(route, request);
    case Endpoint::Unknown:
        break;
    }
    return errorAnswer(404, QStringLiteral("没有这个接口"));
}

Answer AlbumService::Private::signIn(const RecordedRequest& request) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(request.body, &error);
    const QJsonObject object = document.object();
    if (error.error != QJsonParseError::NoError || !document.isObject() ||
        !object.value("email").isString() || !object.value("password").isString())
        return errorAnswer(400, QStringLiteral("请求格式错误：需要 email 和 password"));
    const QString email = object.value("email").toString();
    const Account* account = findAccount(email);
    if (!account || account->password != object.value("password").toString())
        return errorAnswer(401, QStringLiteral("邮箱或密码错误"));
    const QString token = newToken(email);
    return jsonAnswer(200, QJsonObject{{QStringLiteral("token"), token}},
                      {{"set-auth-token", token.toUtf8()}});
}

Answer AlbumService::Private::bootstrap(const RecordedRequest& request) {
    const Account* account = bearer(request);
    if (!account)
        return errorAnswer(401, QStringLiteral("未登录或登录已过期"));
    QJsonArray list;
    for (const auto& entry : events)
        list.append(eventJson(entry.event));
    const QJsonObject accountJson{{QStringLiteral("id"), account->id},
                                  {QStringLiteral("email"), account->email},
                                  {QStringLiteral("name"), account->name}};
    return jsonAnswer(
        200, QJsonObject{{QStringLiteral("account"), accountJson}, {QStringLiteral("events"), list}});
}

Answer AlbumService::Private::workspace(const Route& route, const RecordedRequest& request) {
    if (!bearer(request))
        return errorAnswer(401, QStringLiteral("未登录或登录已过期"));
    EventEntry* entry = findEvent(route.eventId);
    if (!entry)
        return errorAnswer(404, QStringLiteral("相册不存在"));
    // Albums of 20,000 photos are polled in benchmarks: the answer is built once per change.
    if (entry->workspaceBody.isEmpty()) {
        const QString origin = q->baseUrl().toString();
        QJsonArray photos;
        for (const Photo& photo : entry->photos) {
            QJsonObject object{{QStringLiteral("id"), photo.id}};
            if (photo.name)
                object.insert(QStringLiteral("name"), *photo.name);
            if (photo.hasOriginal) {
                object.insert(QStringLiteral("originalUrl"),
                              photo.originalUrl.value_or(
                                  origin + QString::fromLatin1(originalPath(entry->event.id, photo.id))));
            }
            if (photo.createdAt)
                object.insert(QStringLiteral("createdAt"), *photo.createdAt);
            if (photo.isPublished)
                object.insert(QStringLiteral("isPublished"), *photo.isPublished);
            photos.append(object);
        }
        const QJsonObject permissions{{QStringLiteral("canManageAllPhotos"), entry->event.canManageAllPhotos},
                                      {QStringLiteral("canUpload"), entry->event.canUpload}};
        entry->workspaceBody = jsonAnswer(200, QJsonObject{{QStringLiteral("event"), eventJson(entry->event)},
                                                           {QStringLiteral("photos"), photos},
                                                           {QStringLiteral("permissions"), permissions}})
                                   .body;
    }
    Answer answer = jsonAnswer(200, {});
    answer.body = entry->workspaceBody;
    return answer;
}

Answer AlbumService::Private::original(const Route& route) {
    EventEntry* entry = findEvent(route.eventId);
    const Photo* photo = entry ? findPhoto(*entry, route.photoId) : nullptr;
    if (!photo)
        return errorAnswer(404, QStringLiteral("原图不存在"));
    Answer answer;
    answer.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("image/jpeg")));
    answer.body = photo->jpeg; // shared, not copied
    return answer;
}

Answer AlbumService::Private::uploadVersion(const Route& route, const RecordedRequest& request) {
    if (!bearer(request))
        return errorAnswer(401, QStringLiteral("未登录或登录已过期"));
    EventEntry* entry = findEvent(route.eventId);
    if (!entry || !findPhoto(*entry, route.photoId))
        return errorAnswer(404, QStringLiteral("照片不存在"));
    if (!entry->event.canUpload)
        return errorAnswer(403, QStringLiteral("没有上传精修图的权限"));
    const auto parsed = parseUploadForm(request.header("content-type").value_or(QByteArray()), request.body);
    if (!parsed.form)
        return errorAnswer(400, QStringLiteral("上传的表单无法解析：") + parsed.problem);
    ReceivedVersion version;
    version.eventId = route.eventId;
    version.photoId = route.photoId;
    version.retouched = parsed.form->retouched;
    version.retouchPreset = parsed.form->retouchPreset;
    version.fileName = parsed.form->fileName;
    version.contentType = parsed.form->contentType;
    if (keepBodies)
        version.bytes = parsed.form->bytes.toByteArray();
    versions.append(version);
    return okAnswer();
}

Answer AlbumService::Private::publish(const Route& route, const RecordedRequest& request) {
    if (!bearer(request))
        return errorAnswer(401, QStringLiteral("未登录或登录已过期"));
    if (!QJsonDocument::fromJson(request.body).isObject())
        return errorAnswer(400, QStringLiteral("请求格式错误：需要一个 JSON 对象"));
    EventEntry* entry = findEvent(route.eventId);
    Photo* photo = entry ? findPhoto(*entry, route.photoId) : nullptr;
    if (!photo)
        return errorAnswer(404, QStringLiteral("照片不存在"));
    photo->isPublished = true;
    entry->workspaceBody.clear();
    publications.append({route.eventId, route.photoId});
    return okAnswer();
}

AlbumService::AlbumService(QObject* parent) : QObject(parent), d(std::make_unique<Private>(this)) {}

AlbumService::~AlbumService() = default;

bool AlbumService::listen(quint16 port) {
    if (d->port != 0)
        return false;
    // Our own listener reads along on every connection (see TapServer); the HTTP server owns it.
    auto* tcp = new TapServer(&d->http);
    if (!tcp->listen(QHostAddress::LocalHost, port)) {
        delete tcp;
        return false;
    }
    // A body is held before its request is handled, so the fault is looked up without counting.
    tcp->setHoldRule(
        [this](const RequestHead& head) {
            const std::optional<Fault> fault = d->faultFor(routeOf(head.method, head.target).endpoint, false);
            return fault && fault->holdBody;
        },
        [this](const RequestHead& head) {
            RecordedRequest recorded;
            recorded.endpoint = routeOf(head.method, head.target).endpoint;
            recorded.method = head.method;
            recorded.target = head.target;
            recorded.headers = head.headers;
            Q_EMIT bodyHeld(recorded);
        });
    d->http.bind(tcp);
    d->port = tcp->serverPort();
    d->forgetWorkspaces();
    return true;
}

quint16 AlbumService::port() const {
    return d->port;
}

QUrl AlbumService::baseUrl() const {
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(d->port));
}

void AlbumService::addAccount(const Account& account) {
    d->accounts.append(account);
}

QString AlbumService::issueToken(const QString& email) {
    return d->newToken(email);
}

void AlbumService::revokeAllTokens() {
    d->tokens.clear();
}

void AlbumService::addEvent(const Event& event) {
    d->events.append({event, {}, {}});
}

void AlbumService::updateEvent(const Event& event) {
    if (auto* entry = d->findEvent(event.id)) {
        entry->event = event;
        entry->workspaceBody.clear();
    } else {
        qWarning("album-service: updateEvent for an unknown album");
    }
}

void AlbumService::removeEvent(const QString& eventId) {
    d->events.removeIf([&](const auto& entry) { return entry.event.id == eventId; });
}

void AlbumService::addPhoto(const QString& eventId, Photo photo, qsizetype jpegSize) {
    auto* entry = d->findEvent(eventId);
    if (!entry) {
        qWarning("album-service: addPhoto to an unknown album");
        return;
    }
    if (photo.jpeg.isEmpty())
        photo.jpeg = makeJpeg(jpegSize, quint32(qHash(eventId + QLatin1Char('/') + photo.id, 0)));
    entry->photos.append(std::move(photo));
    entry->workspaceBody.clear();
}

void AlbumService::updatePhoto(const QString& eventId, const Photo& photo) {
    auto* entry = d->findEvent(eventId);
    Photo* existing = entry ? Private::findPhoto(*entry, photo.id) : nullptr;
    if (!existing) {
        qWarning("album-service: updatePhoto for an unknown photo");
        return;
    }
    const QByteArray jpeg = existing->jpeg;
    *existing = photo;
    if (existing->jpeg.isEmpty())
        existing->jpeg = jpeg;
    entry->workspaceBody.clear();
}

QList<Photo> AlbumService::photos(const QString& eventId) const {
    const auto* entry = d->findEvent(eventId);
    return entry ? entry->photos : QList<Photo>();
}

QUrl AlbumService::originalUrl(const QString& eventId, const QString& photoId) const {
    return QUrl::fromEncoded(baseUrl().toEncoded() + Private::originalPath(eventId, photoId),
                             QUrl::StrictMode);
}

QList<RecordedRequest> AlbumService::requests() const {
    return d->requests;
}

QList<RecordedRequest> AlbumService::requests(Endpoint endpoint) const {
    QList<RecordedRequest> matching;
    for (const auto& request : d->requests) {
        if (request.endpoint == endpoint)
            matching.append(request);
    }
    return matching;
}

void AlbumService::clearRequests() {
    d->requests.clear();
}

QList<ReceivedVersion> AlbumService::versions() const {
    return d->versions;
}

QList<QPair<QString, QString>> AlbumService::publications() const {
    return d->publications;
}

void AlbumService::setKeepBodies(bool keep) {
    d->keepBodies = keep;
}

void AlbumService::setFault(Endpoint endpoint, const Fault& fault) {
    d->faults[endpoint] = {fault, 0};
}

void AlbumService::clearFault(Endpoint endpoint) {
    d->faults.erase(endpoint);
}

void AlbumService::clearFaults() {
    d->faults.clear();
}

void AlbumService::releaseHeldBodies() {
    for (auto* tap : d->http.findChildren<TapServer*>())
        tap->releaseHeld();
}

} // namespace albumservice
