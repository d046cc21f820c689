#pragma once

#include "FileProviderItemProtocol.h"
#include "Result.h"

#include <QDateTime>
#include <QHash>
#include <QList>

#include <chrono>
#include <functional>
#include <mutex>

#include <sys/types.h>

namespace pixavella {

// Decides when each container is listed again. A container is listed on first use; a signal
// marks it changed, and a changed container refreshes at once when it was used within
// `recentUse`, otherwise at its next use. Refreshes of one container never overlap: signals
// that arrive during a refresh fold into one more.
class RefreshScheduler {
public:
    using Ready = std::function<void(Result<void>)>;
    // Starts a refresh of `container`; the host calls finished() exactly once afterwards.
    using StartRefresh = std::function<void(const FileProviderItemIdentifier& container)>;

    explicit RefreshScheduler(StartRefresh start, qint64 recentUseSeconds = 60);

    // A request needs `container` current; `ready` runs once it is, possibly at once on this
    // thread. A container that was listed before stays usable when a refresh fails.
    void use(const FileProviderItemIdentifier& container, Ready ready);
    void signal(const FileProviderItemIdentifier& container);
    // Marks every container listed so far changed.
    void signalAll();
    // Marks every container listed so far changed, to be listed again at its next use only;
    // `writer` is the thread whose drop made the change (0 when none is known).
    void markAllChanged(pid_t writer = 0);
    // Whether `container` is listed and waits for a new listing only because of drops made by
    // `requester` in the last `kWriterWindowSeconds`: a program copying a batch does not wait,
    // at each new name it looks up, for the months its own photos started to be listed.
    bool changedOnlyBy(const FileProviderItemIdentifier& container, pid_t requester) const;
    static constexpr qint64 kWriterWindowSeconds = 2;
    // Once no drop has marked anything for `settled`, starts the listings the marks call for
    // in folders used within `recentUse`, so that the next program to look (or the writer
    // itself at its next batch) finds them done rather than waiting for them.
    void startMarkedOnceSettled(std::chrono::milliseconds settled);
    void finished(const FileProviderItemIdentifier& container, const Result<void>& outcome);
    // The container is gone (its folder was deleted): its state is dropped once idle.
    void forget(const FileProviderItemIdentifier& container);

    bool isListed(const FileProviderItemIdentifier& container) const;

private:
    struct State {
        QDateTime lastUse;
        bool listed = false;
        bool changed = false;
        bool markedOnly = false; // changed by markAllChanged alone, not by a signal
        bool running = false;
        bool runningForMark = false; // the refresh in progress began for such a change only
        bool forgotten = false;
        QList<Ready> runningWaiters; // served by the refresh in progress
        QList<Ready> nextWaiters;    // need a refresh that starts after the last signal
    };
    // Under m_mutex; returns true when a refresh must be started (outside the lock).
    bool beginLocked(State& s);
    bool recentlyUsed(const State& s) const;

    StartRefresh m_start;
    const qint64 m_recentUseSeconds;
    // Guards m_states; never held while calling m_start or a Ready.
    mutable std::mutex m_mutex;
    QHash<FileProviderItemIdentifier, State> m_states;
    pid_t m_writer = 0; // the thread of the last markAllChanged
    QDateTime m_writerMarkedAt;
};

} // namespace pixavella
