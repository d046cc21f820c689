#include "FileProviderManager.h"

#include "ContainerPaths.h"
#include "ControlProtocol.h"
#include "FileProviderError.h"
#include "FuseLog.h"
#include "MountTable.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QPointer>
#include <QProcess>
#include <QSaveFile>
#include <QTimer>

#include <cerrno>

namespace pixavella {

namespace {

constexpr int kRetryIntervalMs = 100;

bool isNoDaemon(const Error& e)
{
    return e.domain == ErrorDomain::File && (e.code == ECONNREFUSED || e.code == ENOENT);
}

} // namespace

FileProviderManager::Options FileProviderManager::Options::defaults()
{
    Options o;
    o.socketPath = ControlProtocol::socketPath();
    o.daemonProgram = qEnvironmentVariable("PIXAVELLA_PASSERELLE");
    if (o.daemonProgram.isEmpty())
        o.daemonProgram = QCoreApplication::applicationDirPath() + QStringLiteral("/passerelle");
    o.mountPoint = ContainerPaths::mountPoint();
    o.cacheDirectory = ContainerPaths::domainCache();
    return o;
}

FileProviderManager::FileProviderManager(FileProviderDomain domain, QObject* parent)
    : FileProviderManager(std::move(domain), Options::defaults(), parent)
{
}

FileProviderManager::FileProviderManager(FileProviderDomain domain, Options options,
                                         QObject* parent)
    : QObject(parent), m_domain(std::move(domain)), m_options(std::move(options))
{
}

QUrl FileProviderManager::userVisibleURL() const
{
    return QUrl::fromLocalFile(m_options.mountPoint);
}

QString FileProviderManager::markerPath() const
{
    return m_options.cacheDirectory + QStringLiteral("/domain.json");
}

void FileProviderManager::exchange(const QJsonObject& request, bool awaitClose,
                                   AnswerHandler handler)
{
    auto* socket = new QLocalSocket(this);
    auto* timer = new QTimer(socket);
    timer->setSingleShot(true);
    // Shared by the slots below; the first outcome wins and ends the exchange.
    struct State {
        QByteArray buffer;
        std::optional<QJsonObject> answer;
        bool done = false;
    };
    auto state = std::make_shared<State>();
    auto finish = [socket, state, handler](Result<QJsonObject> outcome) {
        if (state->done)
            return;
        state->done = true;
        socket->disconnect();
        socket->abort();
        socket->deleteLater();
        handler(std::move(outcome));
    };
    connect(timer, &QTimer::timeout, socket, [finish, state] {
        // A daemon that answered, then took too long to exit, still did what was asked.
        if (state->answer)
            finish(*state->answer);
        else
            finish(fileError(ETIMEDOUT, QStringLiteral("passerelle did not answer")));
    });
    connect(socket, &QLocalSocket::connected, socket,
            [socket, request] { socket->write(ControlProtocol::encode(request)); });
    connect(socket, &QLocalSocket::readyRead, socket, [socket, state, finish, awaitClose] {
        state->buffer.append(socket->readAll());
        const qsizetype newline = state->buffer.indexOf('\n');
        if (newline < 0 || state->answer)
            return;
        const std::optional<QJsonObject> answer =
            ControlProtocol::decode(state->buffer.left(newline));
        if (!answer) {
            finish(fileError(EPROTO, QStringLiteral("passerelle answered nonsense")));
            return;
        }
        state->answer = answer;
        if (!awaitClose)
            finish(*answer);
    });
    connect(socket, &QLocalSocket::disconnected, socket, [state, finish] {
        if (state->answer)
            finish(*state->answer);
        else
            finish(fileError(ECONNRESET, QStringLiteral("passerelle closed the connection")));
    });
    connect(socket, &QLocalSocket::errorOccurred, socket,
            [state, finish](QLocalSocket::LocalSocketError error) {
                if (state->answer) {
                    finish(*state->answer);
                    return;
                }
                switch (error) {
                case QLocalSocket::ServerNotFoundError:
                    finish(fileError(ENOENT, QStringLiteral("no passerelle")));
                    break;
                case QLocalSocket::ConnectionRefusedError:
                    finish(fileError(ECONNREFUSED, QStringLiteral("no passerelle")));
                    break;
                case QLocalSocket::PeerClosedError:
                    finish(fileError(ECONNRESET, QStringLiteral("passerelle closed")));
                    break;
                default:
                    finish(fileError(EIO, QStringLiteral("control socket error %1").arg(error)));
                    break;
                }
            });
    timer->start(m_options.replyTimeoutMs);
    socket->connectToServer(m_options.socketPath);
}

Result<void> FileProviderManager::startDaemon()
{
    qCInfo(lcFuseHost).noquote() << "starting" << m_options.daemonProgram;
    qint64 pid = 0;
    if (!QProcess::startDetached(m_options.daemonProgram, {}, QString(), &pid))
        return fileError(ENOENT, m_options.daemonProgram);
    return Result<void>::success();
}

void FileProviderManager::retryUntilAnswered(const QJsonObject& request, qint64 deadlineMs,
                                             AnswerHandler handler)
{
    QPointer<FileProviderManager> self(this);
    exchange(request, false, [self, request, deadlineMs, handler](Result<QJsonObject> outcome) {
        if (!self)
            return;
        if (outcome || !isNoDaemon(outcome.error()) ||
            QDateTime::currentMSecsSinceEpoch() >= deadlineMs) {
            handler(std::move(outcome));
            return;
        }
        QTimer::singleShot(kRetryIntervalMs, self, [self, request, deadlineMs, handler] {
            self->retryUntilAnswered(request, deadlineMs, handler);
        });
    });
}

void FileProviderManager::exchangeStarting(const QJsonObject& request, AnswerHandler handler)
{
    QPointer<FileProviderManager> self(this);
    exchange(request, false, [self, request, handler](Result<QJsonObject> outcome) {
        if (!self)
            return;
        if (outcome || !isNoDaemon(outcome.error())) {
            handler(std::move(outcome));
            return;
        }
        const Result<void> started = self->startDaemon();
        if (!started) {
            handler(started.error());
            return;
        }
        self->retryUntilAnswered(
            request, QDateTime::currentMSecsSinceEpoch() + self->m_options.startTimeoutMs, handler);
    });
}

void FileProviderManager::add(Completion completion)
{
    QDir().mkpath(m_options.cacheDirectory);
    QSaveFile marker(markerPath());
    if (marker.open(QIODevice::WriteOnly)) {
        marker.write(
            QJsonDocument(QJsonObject{{QStringLiteral("identifier"), m_domain.identifier},
                                      {QStringLiteral("displayName"), m_domain.displayName}})
                .toJson());
        marker.commit();
    }
    exchangeStarting(QJsonObject{{QLatin1String(ControlProtocol::kCommand),
                                  QLatin1String(ControlProtocol::kAdd)}},
                     [completion](Result<QJsonObject> answer) {
                         if (!answer)
                             completion(answer.error());
                         else if (const auto error = ControlProtocol::errorOf(answer.value()))
                             completion(*error);
                         else
                             completion(Result<void>::success());
                     });
}

void FileProviderManager::signalEnumerator(const FileProviderItemIdentifier& container,
                                           Completion completion)
{
    signalEnumerator(QJsonObject{{QLatin1String(ControlProtocol::kCommand),
                                  QLatin1String(ControlProtocol::kSignal)},
                                 {QLatin1String(ControlProtocol::kContainer), container}},
                     std::move(completion), 1);
}

void FileProviderManager::signalEnumerator(const QJsonObject& signal, Completion completion,
                                           int resetsLeft)
{
    auto finish = [completion](Result<QJsonObject> answer) {
        if (!answer)
            completion(answer.error());
        else if (const auto error = ControlProtocol::errorOf(answer.value()))
            completion(*error);
        else
            completion(Result<void>::success());
    };
    QPointer<FileProviderManager> self(this);
    exchange(
        signal, false, [self, signal, finish, completion, resetsLeft](Result<QJsonObject> outcome) {
            if (!self)
                return;
            // A daemon dying this instant may still take the connection, then reset it:
            // asked again, it is either gone or answering.
            if (!outcome && outcome.error().domain == ErrorDomain::File &&
                outcome.error().code == ECONNRESET && resetsLeft > 0) {
                QTimer::singleShot(kRetryIntervalMs, self, [self, signal, completion, resetsLeft] {
                    self->signalEnumerator(signal, completion, resetsLeft - 1);
                });
                return;
            }
            if (outcome || !isNoDaemon(outcome.error())) {
                finish(std::move(outcome));
                return;
            }
            // The daemon died: bring the drive back when the domain is still added.
            if (!QFile::exists(self->markerPath())) {
                completion(fileProviderError(FileProviderErrorCode::noSuchItem));
                return;
            }
            self->add([self, signal, finish, completion](Result<void> added) {
                if (!self)
                    return;
                if (!added) {
                    completion(added);
                    return;
                }
                self->exchange(signal, false, finish);
            });
        });
}

void FileProviderManager::remove(Completion completion)
{
    QPointer<FileProviderManager> self(this);
    exchange(QJsonObject{{QLatin1String(ControlProtocol::kCommand),
                          QLatin1String(ControlProtocol::kRemove)}},
             true, [self, completion](Result<QJsonObject> answer) {
                 if (!self)
                     return;
                 if (answer) {
                     if (const auto error = ControlProtocol::errorOf(answer.value())) {
                         completion(*error);
                         return;
                     }
                     self->dropCache();
                     completion(Result<void>::success());
                     return;
                 }
                 if (!isNoDaemon(answer.error())) {
                     completion(answer.error());
                     return;
                 }
                 // No daemon: only a mount left by a crash may remain.
                 self->detachStaleMount([self, completion] {
                     if (!self)
                         return;
                     self->dropCache();
                     completion(Result<void>::success());
                 });
             });
}

void FileProviderManager::detachStaleMount(std::function<void()> then)
{
    if (!MountTable::find(m_options.mountPoint)) {
        then();
        return;
    }
    auto* process = new QProcess(this);
    connect(process, &QProcess::finished, this, [process, then] {
        process->deleteLater();
        then();
    });
    connect(process, &QProcess::errorOccurred, this, [process, then](QProcess::ProcessError e) {
        if (e != QProcess::FailedToStart)
            return;
        process->deleteLater();
        then();
    });
    process->start(QStringLiteral("fusermount3"), {QStringLiteral("-u"), QStringLiteral("-q"),
                                                   QStringLiteral("-z"), m_options.mountPoint});
}

void FileProviderManager::dropCache()
{
    QDir(m_options.cacheDirectory).removeRecursively();
}

} // namespace pixavella
