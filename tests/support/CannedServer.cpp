#include "CannedServer.h"

#include <QTcpSocket>

qint64 CannedServer::Request::rangeFrom() const
{
    const QByteArray range = header("range");
    return range.startsWith("bytes=") ? range.mid(6).split('-').value(0).toLongLong() : -1;
}

QByteArray CannedServer::Request::header(const QByteArray &name) const
{
    const int at = head.indexOf("\r\n" + name + ":");
    if (at < 0)
        return QByteArray();
    const int from = at + name.size() + 3;
    return head.mid(from, head.indexOf("\r\n", from) - from).trimmed();
}

CannedServer::Answer CannedServer::ok(const QByteArray &body, qint64 from)
{
    if (from <= 0)
        return {"HTTP/1.0 200 OK\r\nContent-Length: " + QByteArray::number(body.size()), body};
    return {"HTTP/1.0 206 Partial Content\r\nContent-Length: " + QByteArray::number(body.size() - from) +
                "\r\nContent-Range: bytes " + QByteArray::number(from) + "-" + QByteArray::number(body.size() - 1) +
                "/" + QByteArray::number(body.size()),
            body.mid(int(from))};
}

CannedServer::CannedServer()
{
    listen(QHostAddress::LocalHost);
    connect(this, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *s = nextPendingConnection()) {
            ++connections;
            connect(s, &QTcpSocket::readyRead, s, [this, s] {
                // One answer per connection unless kept alive; a request body after the head is
                // read and ignored.
                while (keepAlive || !s->property("answered").toBool()) {
                    const QByteArray request = s->peek(1 << 20);
                    const int end = request.indexOf("\r\n\r\n");
                    if (end < 0)
                        return;
                    keepAlive ? s->read(end + 4) : s->readAll();
                    s->setProperty("answered", true);
                    const Request r{request.left(request.indexOf("\r\n")), request.left(end + 2).toLower()};
                    requests << r;
                    const Answer a = handler ? handler(r) : ok("ok");
                    if (a.head.isEmpty())
                        return;
                    s->write(a.head + "\r\n\r\n");
                    s->write(a.sendBytes < 0 ? a.body : a.body.left(a.sendBytes));
                    if (!a.hang && !keepAlive)
                        s->disconnectFromHost();
                }
                s->readAll();
            });
        }
    });
}

QString CannedServer::url(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(serverPort()).arg(path);
}
