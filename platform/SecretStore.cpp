#include "SecretStore.h"

#include "ContainerPaths.h"
#include "Log.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QFile>
#include <QSaveFile>
#include <QStringDecoder>
#include <QThread>
#include <qt6keychain/keychain.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include <sys/stat.h>

namespace pixavella::SecretStore {

namespace {

// Bounded so that a Secret Service that never answers cannot hang the caller forever; long
// enough for a desktop prompt that unlocks the keyring.
constexpr auto kJobTimeout = std::chrono::seconds(30);

struct Outcome {
    QKeychain::Error error = QKeychain::OtherError;
    QString message;
    QByteArray data;
};

// QtKeychain jobs finish through the event loop of the thread that started them: they all run
// on this private thread, so callers on any thread (the main one included) just wait.
class KeychainThread {
public:
    static KeychainThread& instance()
    {
        // Stopped with the application (see stop()), never destroyed: callers may still hold it.
        static KeychainThread* keychain = new KeychainThread;
        return *keychain;
    }

    std::optional<Outcome> run(std::function<QKeychain::Job*()> makeJob)
    {
        struct State {
            std::mutex mutex;
            std::condition_variable finished;
            std::optional<Outcome> outcome;
        };
        if (!m_thread->isRunning())
            return std::nullopt;
        auto state = std::make_shared<State>();
        QMetaObject::invokeMethod(
            m_context,
            [state, makeJob = std::move(makeJob)] {
                QKeychain::Job* job = makeJob();
                job->setAutoDelete(true);
                QObject::connect(job, &QKeychain::Job::finished, job, [state](QKeychain::Job* j) {
                    Outcome outcome{j->error(), j->errorString(), {}};
                    if (auto* read = qobject_cast<QKeychain::ReadPasswordJob*>(j))
                        outcome.data = read->binaryData();
                    std::lock_guard lock(state->mutex);
                    state->outcome = std::move(outcome);
                    state->finished.notify_all();
                });
                job->start();
            },
            Qt::QueuedConnection);
        std::unique_lock lock(state->mutex);
        state->finished.wait_for(lock, kJobTimeout, [&] { return state->outcome.has_value(); });
        return state->outcome;
    }

private:
    KeychainThread()
    {
        m_thread = new QThread;
        m_thread->setObjectName(QStringLiteral("pixavella-keychain"));
        m_context = new QObject;
        m_context->moveToThread(m_thread);
        m_thread->start();
        qAddPostRoutine(&KeychainThread::stop);
    }

    static void stop()
    {
        QThread* thread = instance().m_thread;
        thread->quit();
        thread->wait();
    }

    QThread* m_thread = nullptr;
    QObject* m_context = nullptr; // lives on m_thread
};

enum class Backend { Undecided, Keychain, File };

// Protects backend and serialises the calls, so that a write (delete then add) is not
// interleaved with another call of this process.
std::mutex storeMutex;
Backend backend = Backend::Undecided;

bool isValidAccount(const QString& account)
{
    return !account.isEmpty() && !account.startsWith(QLatin1Char('.')) &&
           !account.contains(QLatin1Char('/')) && !account.contains(QChar(0));
}

QString secretsDirectory()
{
    return ContainerPaths::container() + QStringLiteral("/secrets");
}

QString secretFile(const QString& account)
{
    return secretsDirectory() + QLatin1Char('/') + account;
}

std::optional<QString> fromUtf8(const QByteArray& bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

// Whether the job failed because nothing usable answers: QtKeychain reports D-Bus failures
// (no Secret Service, a keyring that cannot be created) as OtherError.
bool unavailable(const Outcome& outcome)
{
    return outcome.error == QKeychain::NoBackendAvailable || outcome.error == QKeychain::OtherError;
}

void warnFileFallback()
{
    static std::once_flag once;
    std::call_once(once, [] {
        qCWarning(lcSecrets).noquote()
            << PIXAVELLA_LOG_PREFIX "no Secret Service answers; secrets are kept in"
            << secretsDirectory() << "readable by this user only";
    });
}

// Called with storeMutex held.
Backend currentBackend()
{
    if (backend == Backend::Undecided && !QDBusConnection::sessionBus().isConnected()) {
        backend = Backend::File;
        warnFileFallback();
    }
    return backend;
}

// The decision is taken once per process. A keychain that finds nothing or deletes nothing
// proves little (a keyring that cannot be created still answers so), so only data read back or
// written settles on the keychain; an unavailable answer settles on the file. Called with
// storeMutex held.
void settle(const Outcome& outcome, bool successProvesKeychain)
{
    if (backend != Backend::Undecided)
        return;
    if (unavailable(outcome)) {
        backend = Backend::File;
        warnFileFallback();
    } else if (successProvesKeychain && outcome.error == QKeychain::NoError) {
        backend = Backend::Keychain;
    }
}

void warnNoAnswer(const QString& account)
{
    qCWarning(lcSecrets).noquote()
        << PIXAVELLA_LOG_PREFIX "the Secret Service did not answer for" << account;
}

std::optional<Outcome> runRead(const QString& account)
{
    return KeychainThread::instance().run([account] {
        auto* job = new QKeychain::ReadPasswordJob(QLatin1String(kService));
        job->setKey(account);
        return job;
    });
}

std::optional<Outcome> runDelete(const QString& account)
{
    return KeychainThread::instance().run([account] {
        auto* job = new QKeychain::DeletePasswordJob(QLatin1String(kService));
        job->setKey(account);
        return job;
    });
}

std::optional<Outcome> runWrite(const QString& account, const QString& secret)
{
    return KeychainThread::instance().run([account, secret] {
        auto* job = new QKeychain::WritePasswordJob(QLatin1String(kService));
        job->setKey(account);
        job->setTextData(secret);
        return job;
    });
}

std::optional<QString> readFile(const QString& account)
{
    QFile file(secretFile(account));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return fromUtf8(file.readAll());
}

bool ensureSecretsDirectory()
{
    const QByteArray path = QFile::encodeName(secretsDirectory());
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
        return false;
    return ::chmod(path.constData(), 0700) == 0;
}

void writeFile(const QString& account, const QString& secret)
{
    QSaveFile file(secretFile(account));
    // Permissions first: the data must never sit in a file others may read.
    const bool written = ensureSecretsDirectory() && file.open(QIODevice::WriteOnly) &&
                         file.setPermissions(QFile::ReadOwner | QFile::WriteOwner) &&
                         file.write(secret.toUtf8()) >= 0 && file.commit();
    if (!written)
        qCWarning(lcSecrets).noquote() << PIXAVELLA_LOG_PREFIX "cannot store the secret for"
                                       << account << "-" << file.errorString();
}

void removeFile(const QString& account)
{
    QFile::remove(secretFile(account));
}

} // namespace

std::optional<QString> readSecret(const QString& account)
{
    if (!isValidAccount(account))
        return std::nullopt;
    std::lock_guard lock(storeMutex);
    if (currentBackend() != Backend::File) {
        const auto outcome = runRead(account);
        if (!outcome) {
            warnNoAnswer(account);
            return std::nullopt;
        }
        settle(*outcome, outcome->error == QKeychain::NoError);
        if (outcome->error == QKeychain::NoError)
            return fromUtf8(outcome->data);
        // Undecided: the secret may be in the file written by an earlier run without a
        // Secret Service.
        if (backend == Backend::Keychain || outcome->error == QKeychain::AccessDenied)
            return std::nullopt;
    }
    return readFile(account);
}

void writeSecret(const QString& account, const QString& secret)
{
    if (!isValidAccount(account)) {
        qCWarning(lcSecrets).noquote() << PIXAVELLA_LOG_PREFIX "invalid account name" << account;
        return;
    }
    std::lock_guard lock(storeMutex);
    if (currentBackend() != Backend::File) {
        // Whether the delete finds anything does not matter.
        const auto deleted = runDelete(account);
        if (!deleted) {
            warnNoAnswer(account);
            return;
        }
        settle(*deleted, false);
        if (backend != Backend::File) {
            const auto written = runWrite(account, secret);
            if (!written) {
                warnNoAnswer(account);
                return;
            }
            settle(*written, true);
            if (written->error == QKeychain::NoError) {
                // A copy left by an earlier fallback would outlive the keychain item.
                removeFile(account);
                return;
            }
            if (backend != Backend::File) {
                qCWarning(lcSecrets).noquote() << PIXAVELLA_LOG_PREFIX "cannot store the secret for"
                                               << account << "-" << written->message;
                return;
            }
        }
    }
    writeFile(account, secret);
}

void deleteSecret(const QString& account)
{
    if (!isValidAccount(account))
        return;
    std::lock_guard lock(storeMutex);
    if (currentBackend() != Backend::File) {
        if (const auto deleted = runDelete(account))
            settle(*deleted, false);
        else
            warnNoAnswer(account);
    }
    removeFile(account);
}

} // namespace pixavella::SecretStore
