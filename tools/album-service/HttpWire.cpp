#include "HttpWire.h"

#include <QList>
#include <QTimer>

#include <functional>
#include <memory>
#include <utility>

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace albumservice {

namespace {

std::optional<QByteArray> headerValue(const HeaderList& headers, QByteArrayView name) {
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return std::nullopt;
}

std::optional<RequestHead> parseHead(QByteArrayView bytes) {
    const auto lines = bytes.toByteArray().split('\n');
    RequestHead head;
    bool first = true;
    for (QByteArray line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (first) {
            const auto parts = line.split(' ');
            if (parts.size() != 3)
                return std::nullopt;
            head.method = parts[0];
            head.target = parts[1];
            first = false;
            continue;
        }
        if (line.isEmpty())
            continue;
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            return std::nullopt;
        head.headers.append({line.left(colon), line.mid(colon + 1).trimmed()});
    }
    return head;
}

} // namespace

// Reads the same bytes as the server's parser, just before it, and keeps each request's head.
// Body bytes are only counted, never copied.
class ConnectionTap : public QObject {
    Q_OBJECT
public:
    ConnectionTap(QTcpSocket* socket, TapServer* server)
        : QObject(socket), m_socket(socket), m_server(server) {
        connect(socket, &QTcpSocket::readyRead, this, &ConnectionTap::readAlong);
    }

    // Reads on after a hold: what the socket kept meanwhile goes to the server's parser.
    void release() {
        m_socket->blockSignals(false);
        m_socket->setReadBufferSize(0);
        QMetaObject::invokeMethod(
            m_socket, [socket = m_socket] { Q_EMIT socket->readyRead(); }, Qt::QueuedConnection);
    }

    std::optional<RequestHead> take() {
        // A chunked body has no length to count: its end is known once the server has read it.
        m_waitForServer = false;
        if (m_heads.isEmpty())
            return std::nullopt;
        return m_heads.takeFirst();
    }

private:
    void readAlong() {
        const qint64 available = m_socket->bytesAvailable();
        qint64 offset = 0;
        QByteArray peeked;
        while (offset < available && !m_waitForServer) {
            if (m_bodyLeft > 0) {
                const qint64 skipped = std::min(m_bodyLeft, available - offset);
                m_bodyLeft -= skipped;
                offset += skipped;
                continue;
            }
            if (peeked.isNull())
                peeked = m_socket->peek(available);
            const QByteArrayView rest = QByteArrayView(peeked).sliced(offset);
            m_headBytes.append(rest);
            // Empty lines between requests are allowed and belong to no head.
            while (m_headBytes.startsWith("\r\n"))
                m_headBytes.remove(0, 2);
            const qsizetype end = m_headBytes.indexOf("\r\n\r\n");
            if (end < 0) {
                offset = available;
                break;
            }
            // Whatever follows the head came in this read: it is the body, or the next request.
            const qsizetype unused = m_headBytes.size() - (end + 4);
            offset += rest.size() - unused;
            headComplete(QByteArrayView(m_headBytes).first(end + 2));
            m_headBytes.clear();
        }
    }

    void headComplete(QByteArrayView bytes) {
        auto head = parseHead(bytes);
        if (!head)
            return;
        if (headerValue(head->headers, "transfer-encoding")
                .value_or(QByteArray())
                .toLower()
                .contains("chunked")) {
            m_waitForServer = true;
        } else {
            m_bodyLeft = headerValue(head->headers, "content-length").value_or("0").trimmed().toLongLong();
        }
        // curl and friends wait for this before a large body; the server would never send it.
        if (headerValue(head->headers, "expect").value_or(QByteArray()).toLower() == "100-continue")
            m_socket->write("HTTP/1.1 100 Continue\r\n\r\n");
        if (m_bodyLeft > 0 && m_server->m_holdRule && m_server->m_holdRule(*head))
            hold(*head);
        m_heads.append(std::move(*head));
    }

    // The server's parser hears of no more data (its readyRead is blocked) and the socket
    // stops reading once its small buffer is full, so the kernel's buffers fill and the
    // client's sending stalls.
    void hold(const RequestHead& head) {
        m_socket->setReadBufferSize(16 * 1024);
        m_socket->blockSignals(true);
        m_server->m_holding.append(this);
        if (m_server->m_held)
            m_server->m_held(head);
    }

    QTcpSocket* m_socket;
    TapServer* m_server;
    QByteArray m_headBytes;
    qint64 m_bodyLeft = 0;
    bool m_waitForServer = false;
    QList<RequestHead> m_heads;
};

std::optional<RequestHead> TapServer::takeHead(QTcpSocket* socket) {
    auto* tap = socket->findChild<ConnectionTap*>(QString(), Qt::FindDirectChildrenOnly);
    return tap ? tap->take() : std::nullopt;
}

void TapServer::setHoldRule(HoldRule rule, HeldCallback held) {
    m_holdRule = std::move(rule);
    m_held = std::move(held);
}

void TapServer::releaseHeld() {
    const QList<QPointer<ConnectionTap>> holding = std::exchange(m_holding, {});
    for (const QPointer<ConnectionTap>& tap : holding) {
        if (tap)
            tap->release();
    }
}

void TapServer::incomingConnection(qintptr handle) {
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(handle)) {
        delete socket;
        return;
    }
    // Head and body go out in separate writes: without this, Nagle and the peer's delayed
    // acknowledgement hold the body back some 40 ms on every answer.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // Connected before the HTTP server connects its own reader, so it sees each byte first.
    new ConnectionTap(socket, this);
    addPendingConnection(socket);
}

namespace {

QByteArray reasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 204:
        return "No Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 304:
        return "Not Modified";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

bool statusHasNoBody(int status) {
    return (status >= 100 && status < 200) || status == 204 || status == 304;
}

// Bytes the kernel still holds for this connection: not sent, or sent but not acknowledged.
int unacknowledged(QTcpSocket* socket) {
    int queued = 0;
    if (::ioctl(int(socket->socketDescriptor()), SIOCOUTQ, &queued) != 0)
        return 0;
    return queued;
}

// Calls then() once the client's kernel has what was written (ours holds nothing unacknowledged).
// A reset earlier would make the kernel discard what it still holds, cutting somewhere else.
void whenDelivered(QTcpSocket* socket, std::function<void()> then, int patienceMs = 2000) {
    if (socket->state() != QAbstractSocket::ConnectedState)
        return;
    if (socket->bytesToWrite() > 0) {
        auto written = std::make_shared<QMetaObject::Connection>();
        *written =
            QObject::connect(socket, &QTcpSocket::bytesWritten, socket, [socket, then, patienceMs, written] {
                if (socket->bytesToWrite() == 0) {
                    QObject::disconnect(*written);
                    whenDelivered(socket, then, patienceMs);
                }
            });
        return;
    }
    if (unacknowledged(socket) > 0 && patienceMs > 0) {
        constexpr int pollMs = 2;
        QTimer::singleShot(pollMs, socket,
                           [socket, then, patienceMs] { whenDelivered(socket, then, patienceMs - pollMs); });
        return;
    }
    then();
}

// Writes the body `piece` bytes at a time, pauseMs apart.
void writePieces(QTcpSocket* socket, QByteArray rest, qsizetype piece, int pauseMs, bool closeAfter) {
    socket->write(rest.first(std::min(piece, rest.size())));
    rest = rest.sliced(std::min(piece, rest.size()));
    if (rest.isEmpty()) {
        if (closeAfter)
            socket->disconnectFromHost();
        return;
    }
    QTimer::singleShot(pauseMs, Qt::PreciseTimer, socket, [=] {
        if (socket->state() == QAbstractSocket::ConnectedState)
            writePieces(socket, rest, piece, pauseMs, closeAfter);
    });
}

void resetConnection(QTcpSocket* socket) {
    const linger hard{1, 0};
    ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    socket->abort();
}

} // namespace

void sendAnswer(QTcpSocket* socket, const Answer& answer, const Delivery& delivery) {
    if (!socket || socket->state() != QAbstractSocket::ConnectedState)
        return;
    if (delivery.raw) {
        socket->write(*delivery.raw);
        socket->disconnectFromHost();
        return;
    }
    const bool noBody = statusHasNoBody(answer.status);
    const bool closeAfter =
        delivery.closeAfter || (!answer.withLength && !noBody) ||
        headerValue(answer.headers, "connection").value_or(QByteArray()).toLower() == "close";

    QByteArray head =
        "HTTP/1.1 " + QByteArray::number(answer.status) + ' ' + reasonPhrase(answer.status) + "\r\n";
    for (const auto& [name, value] : answer.headers)
        head += name + ": " + value + "\r\n";
    if (answer.withLength && !noBody)
        head += "Content-Length: " + QByteArray::number(answer.body.size()) + "\r\n";
    if (closeAfter && !headerValue(answer.headers, "connection"))
        head += "Connection: close\r\n";
    head += "\r\n";
    socket->write(head);

    const QByteArray& body = (delivery.headOnly || noBody) ? QByteArray() : answer.body;
    if (delivery.cut == Fault::Cut::PauseMidBody) {
        const int pieces = delivery.pauses + 1;
        writePieces(socket, body, (body.size() + pieces - 1) / pieces, delivery.pauseMs, closeAfter);
        return;
    }
    if (delivery.cut == Fault::Cut::None) {
        // Written separately: a large body is shared with the socket's buffer, not copied.
        if (!body.isEmpty())
            socket->write(body);
        if (closeAfter)
            socket->disconnectFromHost();
        return;
    }
    const QByteArray half = body.first(body.size() / 2);
    if (!half.isEmpty())
        socket->write(half);
    switch (delivery.cut) {
    case Fault::Cut::DropMidBody:
        whenDelivered(socket, [socket] { resetConnection(socket); });
        break;
    case Fault::Cut::TruncateBody:
        whenDelivered(socket, [socket] { socket->disconnectFromHost(); });
        break;
    case Fault::Cut::Stall:
    case Fault::Cut::PauseMidBody:
    case Fault::Cut::None:
        break;
    }
}

} // namespace albumservice

#include "HttpWire.moc"
