#pragma once

#include "Replica.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QPair>

#include <chrono>
#include <mutex>

namespace pixavella {

// Names the kernel was told do not exist, for as long as it may keep that answer. A name that
// then arrives (from the server's listing, a rename, a new file filed by the extension) is
// invalidated, so that a cached miss never hides it. The kernel keeps a miss only briefly: a
// name whose arrival is not seen here (the registry was full) must not stay hidden for long.
class NegativeEntries {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kCapacity = 4096;

    // `kernelSeconds`: how long the kernel keeps a miss; 0 keeps none.
    explicit NegativeEntries(double kernelSeconds);

    // Notes that `name` in `folder` is about to be answered as missing; false when the
    // registry is full, and the miss must then be answered without a cache time. Call it
    // before the last look for the name, so that an arrival after that look finds the note.
    bool note(InodeNumber folder, const QByteArray& name, Clock::time_point now = Clock::now());
    // The kernel made the name itself (a create, a mkdir, a rename onto it): its miss is gone.
    void forget(InodeNumber folder, const QByteArray& name);
    // Of `arrivals`, those the kernel may hold as missing; they are forgotten here.
    QList<QPair<InodeNumber, QByteArray>>
    takeArrived(const QList<QPair<InodeNumber, QByteArray>>& arrivals,
                Clock::time_point now = Clock::now());
    double kernelSeconds() const { return m_kernelSeconds; }

private:
    void pruneLocked(Clock::time_point now);

    const double m_kernelSeconds;
    // A miss is remembered a second longer than the kernel keeps it: the reply and the
    // kernel's clock come after the note.
    const Clock::duration m_remembered;

    // Guards m_until.
    std::mutex m_mutex;
    QHash<QPair<InodeNumber, QByteArray>, Clock::time_point> m_until;
};

} // namespace pixavella
