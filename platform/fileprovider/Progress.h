#pragma once

#include <QList>
#include <QtGlobal>

#include <functional>
#include <memory>
#include <mutex>

namespace pixavella {

// Progress of one request, shown and possibly cancelled by the framework while the extension
// advances it from any thread. A child covers `pendingUnitCount` units of its parent: the
// parent's fraction counts the child's fraction of those units.
class Progress {
public:
    // An empty progress (no units) is what requests answered at once return.
    static std::shared_ptr<Progress> make(qint64 totalUnitCount = 0);
    explicit Progress(qint64 totalUnitCount) : m_total(totalUnitCount) {}
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    qint64 totalUnitCount() const;
    void setTotalUnitCount(qint64 total);
    qint64 completedUnitCount() const;
    void setCompletedUnitCount(qint64 completed);
    void addCompletedUnitCount(qint64 units);

    void addChild(std::shared_ptr<Progress> child, qint64 pendingUnitCount);
    // 0 to 1; 0 while the total is unknown (0 or less).
    double fractionCompleted() const;

    // Cancels this progress and its children; the handler runs once, on the cancelling thread.
    void cancel();
    bool isCancelled() const;
    // Runs `handler` at once when already cancelled.
    void setCancellationHandler(std::function<void()> handler);

private:
    struct Child {
        std::shared_ptr<Progress> progress;
        qint64 pendingUnitCount;
    };
    // Guards every field below; never held while calling into a child or a handler.
    mutable std::mutex m_mutex;
    qint64 m_total = 0;
    qint64 m_completed = 0;
    bool m_cancelled = false;
    QList<Child> m_children;
    std::function<void()> m_cancellationHandler;
};

using ProgressRef = std::shared_ptr<Progress>;

} // namespace pixavella
