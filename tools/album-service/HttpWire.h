#pragma once

// The byte level of the album service's HTTP: reading request heads exactly as they arrive,
// and writing answers (whole, late, or cut on purpose) straight onto the connection.

#include "AlbumService.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <optional>

namespace albumservice {

// The request line and header fields of one request, byte for byte as sent.
struct RequestHead {
    QByteArray method;
    QByteArray target;
    HeaderList headers;
};

// Accepts the connections of the HTTP server and reads along on each of them, because the
// server's own parser keeps neither the raw request target nor the order of the header fields.
class TapServer : public QTcpServer {
    Q_OBJECT
public:
    using QTcpServer::QTcpServer;

    // The head of the oldest request on that connection that was not taken yet.
    static std::optional<RequestHead> takeHead(QTcpSocket* socket);

protected:
    void incomingConnection(qintptr handle) override;
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
    int pauseMs = 0;         // of PauseMidBody
    bool headOnly = false;   // answering a HEAD request
    bool closeAfter = false; // the client asked to close the connection
};

// Writes the answer onto the connection; does nothing when it is gone already.
void sendAnswer(QTcpSocket* socket, const Answer& answer, const Delivery& delivery);

} // namespace albumservice
