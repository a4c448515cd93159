#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QTcpServer>

#include <functional>

// A loopback HTTP server for the answers the PHP service never gives (cut bodies, redirects,
// silence). Records every request head; answers each with what the handler returns.
class CannedServer : public QTcpServer
{
public:
    struct Request {
        QByteArray line; // "GET /p?q=1 HTTP/1.1"
        QByteArray head; // the whole head, lower-cased
        qint64 rangeFrom() const; // start of a "Range: bytes=" header, -1 without one
        QByteArray header(const QByteArray &name) const; // value of a header, empty without it
    };
    struct Answer {
        QByteArray head;     // status line and headers without the blank line; empty: no answer
        QByteArray body;
        int sendBytes = -1;  // -1: all of body, else that many bytes and then...
        bool hang = false;   // ...keep the connection open (else close it)
    };
    // A 200, or a 206 for the rest of body from a Range start.
    static Answer ok(const QByteArray &body, qint64 from = -1);

    std::function<Answer(const Request &)> handler;
    QList<Request> requests;
    bool keepAlive = false; // answer every request of a connection (bodiless ones) and keep it open
    int connections = 0;    // connections accepted so far

    CannedServer();
    QString url(const QString &path) const; // path starts with '/'
};
