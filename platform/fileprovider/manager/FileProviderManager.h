#pragma once

#include "FileProviderReplicatedExtension.h"
#include "Result.h"

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>

namespace pixavella {

// The domain manager the tray application uses: adds, removes and signals the drive served by
// the daemon `passerelle`, over the daemon's control socket. Calls return at once; each
// completion runs exactly once on this object's thread, unless the manager is destroyed first
// (then it never runs). A daemon that died is started again by the next add or signal.
class FileProviderManager : public QObject {
    Q_OBJECT
public:
    using Completion = std::function<void(Result<void>)>;

    struct Options {
        QString socketPath;
        // The daemon: PIXAVELLA_PASSERELLE, else "passerelle" next to the calling program.
        QString daemonProgram;
        QString mountPoint;
        // The domain's cache (replica, contents, staging), dropped by remove().
        QString cacheDirectory;
        int startTimeoutMs = 10'000;
        int replyTimeoutMs = 60'000;

        static Options defaults();
    };

    explicit FileProviderManager(FileProviderDomain domain, QObject* parent = nullptr);
    FileProviderManager(FileProviderDomain domain, Options options, QObject* parent = nullptr);

    // Starts the daemon when it is not running; completes once the mount answers.
    void add(Completion completion);
    // Unmounts, stops the daemon and deletes the domain's cache.
    void remove(Completion completion);
    // Marks `container` changed (the working-set identifier: every container).
    void signalEnumerator(const FileProviderItemIdentifier& container, Completion completion);
    QUrl userVisibleURL() const;

    const FileProviderDomain& domain() const { return m_domain; }

private:
    using AnswerHandler = std::function<void(Result<QJsonObject>)>;
    // One request on a fresh connection. `awaitClose`: complete only once the daemon closed it.
    void exchange(const QJsonObject& request, bool awaitClose, AnswerHandler handler);
    // As exchange, but starts the daemon when none answers and retries until it does.
    void exchangeStarting(const QJsonObject& request, AnswerHandler handler);
    void signalEnumerator(const QJsonObject& signal, Completion completion, int resetsLeft);
    void retryUntilAnswered(const QJsonObject& request, qint64 deadlineMs, AnswerHandler handler);
    Result<void> startDaemon();
    QString markerPath() const;
    void dropCache();
    void detachStaleMount(std::function<void()> then);

    FileProviderDomain m_domain;
    Options m_options;
};

} // namespace pixavella
