#include "app/InstanceChannel.h"

#include "log/Log.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>

#include <unistd.h>

namespace {

const QByteArray kRequest("activate\n");
const QByteArray kAnswer("shown\n");

} // namespace

InstanceChannel::InstanceChannel(QObject *parent) : QObject(parent) {}

InstanceChannel::~InstanceChannel()
{
    if (m_server)
        m_server->close();
}

QString InstanceChannel::socketName(const QString &appDataPath)
{
    const QByteArray folder = QDir::cleanPath(QDir::fromNativeSeparators(appDataPath)).toUtf8();
    const QByteArray hash = QCryptographicHash::hash(folder, QCryptographicHash::Sha1).toHex().left(16);
    return QStringLiteral("inkboat-%1-%2").arg(::getuid()).arg(QString::fromLatin1(hash));
}

bool InstanceChannel::listen(const QString &appDataPath)
{
    const QString name = socketName(appDataPath);
    delete m_server;
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    // Whoever listened here before us no longer runs: we hold the instance lock.
    QLocalServer::removeServer(name);
    if (!m_server->listen(name)) {
        // The program works without it; a second start then gets the "already running" message.
        writeLog(QStringLiteral("err"), QStringLiteral("无法建立本地连接 %1：%2").arg(name, m_server->errorString()));
        delete m_server;
        m_server = nullptr;
        return false;
    }
    connect(m_server, &QLocalServer::newConnection, this, &InstanceChannel::serve);
    return true;
}

void InstanceChannel::serve()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket]() {
            if (!socket->canReadLine())
                return;
            if (socket->readLine(64) == kRequest) {
                emit activationRequested();
                socket->write(kAnswer);
                socket->flush();
            }
            socket->disconnectFromServer();
        });
    }
}

bool InstanceChannel::activateRunning(const QString &appDataPath, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    socket.connectToServer(socketName(appDataPath));
    if (!socket.waitForConnected(int(deadline.remainingTime())))
        return false;
    socket.write(kRequest);
    if (!socket.waitForBytesWritten(int(deadline.remainingTime())))
        return false;
    QByteArray answer;
    while (!answer.endsWith('\n') && !deadline.hasExpired()) {
        if (!socket.waitForReadyRead(int(deadline.remainingTime())))
            break;
        answer += socket.readAll();
    }
    return answer == kAnswer;
}
