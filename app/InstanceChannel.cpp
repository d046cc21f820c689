#include "InstanceChannel.h"

#include "ContainerPaths.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QThread>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace pixavella {

namespace {

// A request carries a command line and a password: anything longer is not one of ours.
constexpr qint64 kMaxLine = 64 * 1024;

Error channelError(const QString& description)
{
    return fileError(ECONNREFUSED, description);
}

QByteArray line(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

} // namespace

QString InstanceChannel::socketPath()
{
    return ContainerPaths::runtimeDirectory() + QStringLiteral("/pixavella-app.sock");
}

QString InstanceChannel::lockPath()
{
    return ContainerPaths::runtimeDirectory() + QStringLiteral("/pixavella-app.lock");
}

InstanceChannel::InstanceChannel(QObject* parent) : QObject(parent) {}

InstanceChannel::~InstanceChannel()
{
    if (m_server)
        m_server->close();
    if (m_lock >= 0)
        ::close(m_lock);
}

bool InstanceChannel::claim()
{
    if (m_lock >= 0)
        return true;
    // Close-on-exec: the drive's daemon, started from here, must not inherit the lock.
    const int fd =
        ::open(QFile::encodeName(lockPath()).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return true; // no lock can be taken: run rather than refuse to start
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    m_lock = fd;
    return true;
}

Result<void> InstanceChannel::listen(Handler handler)
{
    m_handler = std::move(handler);
    // Whoever made a socket file there has died: the lock is ours.
    QLocalServer::removeServer(socketPath());
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(socketPath()))
        return channelError(m_server->errorString());
    connect(m_server, &QLocalServer::newConnection, this, &InstanceChannel::accept);
    return Result<void>::success();
}

void InstanceChannel::accept()
{
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { serve(socket); });
    }
}

void InstanceChannel::serve(QLocalSocket* socket)
{
    if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > kMaxLine)
            socket->abort();
        return;
    }
    // One request per connection.
    disconnect(socket, &QLocalSocket::readyRead, this, nullptr);
    const QJsonObject object = QJsonDocument::fromJson(socket->readLine(kMaxLine)).object();
    Request request;
    for (const QJsonValue& argument : object.value(QLatin1String("arguments")).toArray())
        request.arguments << argument.toString();
    request.password = object.value(QLatin1String("password")).toString();
    if (request.arguments.isEmpty()) {
        socket->abort();
        return;
    }
    QPointer<QLocalSocket> guard(socket);
    m_handler(request, [guard](const Reply& reply) {
        if (!guard)
            return; // the other process gave up waiting
        guard->write(line({{QLatin1String("exitCode"), reply.exitCode},
                           {QLatin1String("message"), reply.message}}));
        guard->disconnectFromServer();
    });
}

Result<InstanceChannel::Reply> InstanceChannel::forward(const Request& request,
                                                        std::chrono::milliseconds timeout)
{
    const QDeadlineTimer deadline(timeout);
    QLocalSocket socket;
    // The running application takes the lock before it listens: give it a moment.
    for (;;) {
        socket.connectToServer(socketPath());
        if (socket.waitForConnected(1000))
            break;
        if (deadline.hasExpired())
            return channelError(socket.errorString());
        QThread::msleep(100);
    }
    QJsonArray arguments;
    for (const QString& argument : request.arguments)
        arguments.append(argument);
    socket.write(line(
        {{QLatin1String("arguments"), arguments}, {QLatin1String("password"), request.password}}));
    if (!socket.waitForBytesWritten(int(qMax<qint64>(1, deadline.remainingTime()))))
        return channelError(socket.errorString());
    while (!socket.canReadLine()) {
        if (deadline.hasExpired() ||
            !socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())))) {
            if (socket.canReadLine())
                break;
            return channelError(QStringLiteral("no answer from the running application: ") +
                                socket.errorString());
        }
    }
    const QJsonObject object = QJsonDocument::fromJson(socket.readLine(kMaxLine)).object();
    Reply reply;
    reply.exitCode = object.value(QLatin1String("exitCode")).toInt(1);
    reply.message = object.value(QLatin1String("message")).toString();
    return Result<Reply>::success(reply);
}

} // namespace pixavella
