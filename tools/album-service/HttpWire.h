#pragma once

// The byte level of the album service's HTTP: reading request heads exactly as they arrive,
// and writing answers (whole, late, or cut on purpose) straight onto the connection.

#include "AlbumService.h"

#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>
#include <optional>

namespace albumservice {

// The request line and header fields of one request, byte for byte as sent.
struct RequestHead {
    QByteArray method;
    QByteArray target;
    HeaderList headers;
};

class ConnectionTap;

// Accepts the connections of the HTTP server and reads along on each of them, because the
// server's own parser keeps neither the raw request target nor the order of the header fields.
// It can also stop reading a request's body, so that the client is held in mid-send.
class TapServer : public QTcpServer {
    Q_OBJECT
public:
    using QTcpServer::QTcpServer;
    // Whether to hold back the body of the request with this head; called once the head is in.
    using HoldRule = std::function<bool(const RequestHead&)>;
    using HeldCallback = std::function<void(const RequestHead&)>;

    // The head of the oldest request on that connection that was not taken yet.
    static std::optional<RequestHead> takeHead(QTcpSocket* socket);

    void setHoldRule(HoldRule rule, HeldCallback held);
    // Reads on every held body.
    void releaseHeld();

protected:
    void incomingConnection(qintptr handle) override;

private:
    friend class ConnectionTap;
    HoldRule m_holdRule;
    HeldCallback m_held;
    QList<QPointer<ConnectionTap>> m_holding;
};

// One answer as it goes on the wire. Content-Length is added when it is sent, from the
// full body, unless withLength is false (the connection then closes after the body).
struct Answer {
    int status = 200;
    HeaderList headers;
    QByteArray body;
    bool withLength = true;
};

struct Delivery {
    Fault::Cut cut = Fault::Cut::None;
    int pauseMs = 0;               // of PauseMidBody...
    int pauses = 1;                // ...and how many
    std::optional<QByteArray> raw; // sent instead of the answer
    bool headOnly = false;         // answering a HEAD request
    bool closeAfter = false;       // the client asked to close the connection
};

// Writes the answer onto the connection; does nothing when it is gone already.
void sendAnswer(QTcpSocket* socket, const Answer& answer, const Delivery& delivery);

} // namespace albumservice
