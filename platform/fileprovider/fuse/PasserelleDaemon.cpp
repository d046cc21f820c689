#include "PasserelleDaemon.h"

#include "ControlProtocol.h"
#include "FuseLog.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QSocketNotifier>
#include <QtConcurrent>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pixavella {

namespace {

int g_signalPipe[2] = {-1, -1};

void onTerminationSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
}

class Daemon : public QObject {
public:
    Daemon(std::shared_ptr<FileProviderReplicatedExtension> extension, PasserelleOptions options)
        : m_options(std::move(options)), m_host(std::move(extension), m_options.host)
    {
        m_host.setEndedHandler([this] {
            // On the loop's thread: hop to the main thread, which owns the host's life.
            QMetaObject::invokeMethod(
                this,
                [this] {
                    qCInfo(lcFuseHost) << "the mount went away: stopping";
                    stop();
                },
                Qt::QueuedConnection);
        });
    }

    bool listen()
    {
        QLocalServer::removeServer(m_options.socketPath);
        m_server.setSocketOptions(QLocalServer::UserAccessOption);
        if (!m_server.listen(m_options.socketPath)) {
            qCCritical(lcFuseHost).noquote()
                << "cannot listen on" << m_options.socketPath << m_server.errorString();
            return false;
        }
        connect(&m_server, &QLocalServer::newConnection, this, [this] {
            while (QLocalSocket* socket = m_server.nextPendingConnection())
                accept(socket);
        });
        return true;
    }

    void stop()
    {
        m_host.unmount();
        QCoreApplication::quit();
    }

    // Queued to the main thread rather than run on the caller's: a signal may start a listing,
    // whose enumerator must not be asked from a FUSE thread or from inside an extension's
    // completion. The pointer is read on the main thread only, where the daemon goes.
    PasserelleOptions::HostSignal hostSignal()
    {
        return [daemon = QPointer<Daemon>(this)](const FileProviderItemIdentifier& container) {
            QCoreApplication* app = QCoreApplication::instance();
            if (!app)
                return;
            QMetaObject::invokeMethod(
                app,
                [daemon, container] {
                    if (daemon)
                        daemon->m_host.signalEnumerator(container);
                },
                Qt::QueuedConnection);
        };
    }

private:
    void accept(QLocalSocket* socket)
    {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            while (socket->canReadLine())
                handle(socket, socket->readLine());
        });
    }

    static void reply(QLocalSocket* socket, const QJsonObject& answer)
    {
        socket->write(ControlProtocol::encode(answer));
        socket->flush();
    }

    void handle(QLocalSocket* socket, const QByteArray& line)
    {
        const std::optional<QJsonObject> request = ControlProtocol::decode(line);
        const QString command =
            request ? request->value(QLatin1String(ControlProtocol::kCommand)).toString()
                    : QString();
        if (command == QLatin1String(ControlProtocol::kAdd)) {
            add(socket);
        } else if (command == QLatin1String(ControlProtocol::kSignal)) {
            m_host.signalEnumerator(
                request->value(QLatin1String(ControlProtocol::kContainer)).toString());
            reply(socket, ControlProtocol::success());
        } else if (command == QLatin1String(ControlProtocol::kRemove)) {
            m_host.unmount();
            reply(socket, ControlProtocol::success());
            // The manager waits for this socket to close: leave once the answer is out.
            QMetaObject::invokeMethod(
                this, [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
        } else if (command == QLatin1String(ControlProtocol::kPing)) {
            reply(socket, ControlProtocol::success(
                              {{QStringLiteral("pid"), qint64(QCoreApplication::applicationPid())},
                               {QStringLiteral("mounted"), m_host.isMounted()}}));
        } else {
            reply(socket,
                  ControlProtocol::failure(fileError(EINVAL, QStringLiteral("unknown command"))));
        }
    }

    void add(QLocalSocket* socket)
    {
        const Result<void> mounted = m_host.mount();
        if (!mounted) {
            reply(socket, ControlProtocol::failure(mounted.error()));
            return;
        }
        // The answer waits until the mount answers a stat, from a thread that may block.
        const QString mountPoint = m_options.host.mountPoint;
        auto* watcher = new QFutureWatcher<int>(this);
        QPointer<QLocalSocket> target(socket);
        connect(watcher, &QFutureWatcher<int>::finished, this, [watcher, target, mountPoint] {
            const int error = watcher->result();
            watcher->deleteLater();
            if (!target)
                return;
            reply(target, error == 0 ? ControlProtocol::success(
                                           {{QStringLiteral("mountPoint"), mountPoint}})
                                     : ControlProtocol::failure(fileError(error, mountPoint)));
        });
        watcher->setFuture(QtConcurrent::run([mountPoint] {
            struct stat st {};
            return ::stat(QFile::encodeName(mountPoint).constData(), &st) == 0 ? 0 : errno;
        }));
    }

    PasserelleOptions m_options;
    FuseHost m_host;
    QLocalServer m_server;
};

} // namespace

PasserelleOptions PasserelleOptions::defaults()
{
    PasserelleOptions o;
    o.socketPath = ControlProtocol::socketPath();
    o.lockPath = ControlProtocol::lockPath();
    return o;
}

int runPasserelleDaemon(std::unique_ptr<FileProviderReplicatedExtension> extension)
{
    return runPasserelleDaemon(std::move(extension), PasserelleOptions::defaults());
}

int runPasserelleDaemon(std::unique_ptr<FileProviderReplicatedExtension> extension,
                        PasserelleOptions options)
{
    // One daemon per user: the lock lives as long as this process.
    const int lock =
        ::open(QFile::encodeName(options.lockPath).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock < 0 || ::flock(lock, LOCK_EX | LOCK_NB) != 0) {
        qCInfo(lcFuseHost) << "another passerelle is running";
        if (lock >= 0)
            ::close(lock);
        return 3;
    }
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0) {
        ::close(lock);
        return 1;
    }
    int status = 0;
    {
        Daemon daemon(std::shared_ptr<FileProviderReplicatedExtension>(std::move(extension)),
                      options);
        QSocketNotifier terminations(g_signalPipe[0], QSocketNotifier::Read);
        QObject::connect(&terminations, &QSocketNotifier::activated, &daemon, [&daemon] {
            char byte = 0;
            [[maybe_unused]] const ssize_t n = ::read(g_signalPipe[0], &byte, 1);
            qCInfo(lcFuseHost) << "terminating on signal";
            daemon.stop();
        });
        struct sigaction action {};
        action.sa_handler = onTerminationSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(SIGTERM, &action, nullptr);
        ::sigaction(SIGINT, &action, nullptr);
        ::signal(SIGPIPE, SIG_IGN);

        if (daemon.listen()) {
            if (options.hostSignals)
                options.hostSignals(daemon.hostSignal());
            QCoreApplication::exec();
            if (options.hostSignals)
                options.hostSignals({});
            daemon.stop();
        } else {
            status = 1;
        }
        ::signal(SIGTERM, SIG_DFL);
        ::signal(SIGINT, SIG_DFL);
    }
    QLocalServer::removeServer(options.socketPath);
    ::close(g_signalPipe[0]);
    ::close(g_signalPipe[1]);
    g_signalPipe[0] = g_signalPipe[1] = -1;
    ::close(lock);
    return status;
}

} // namespace pixavella
