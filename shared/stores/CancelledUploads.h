#pragma once

#include <QHash>
#include <QMutex>
#include <QString>

#include <functional>
#include <optional>

namespace pixavella {

// Pending uploads the user cancelled, so that the application does not upload them after all:
// "cancelled-uploads.json" in the container, quarantine entry id → time of cancellation in
// seconds since 1970. Both programs rewrite it (the drive adds, the application prunes and
// removes): every change is one load, change and save under a StoreFileLock, so neither
// process loses what the other wrote in between.
class CancelledUploads {
public:
    using Map = QHash<QString, double>;

    CancelledUploads() = default;

    // Entries older than this (or exactly this old) are dropped by pruneExpired.
    static constexpr double ttl = 3600.0;

    // Held by callers of load and save within this process. A change made with them, rather
    // than with the operations below, must also hold a StoreFileLock on fileURL().
    QMutex& lock() { return m_lock; }

    std::optional<QString> fileURL() const;
    // Missing, unreadable or malformed file: an empty map.
    Map load() const;
    // Replaces the file atomically; failures are dropped. Does nothing without a container.
    void save(const Map& map) const;

    // The operations below take lock() and the file lock themselves.
    void add(const QString& entryId);
    void remove(const QString& entryId);
    bool contains(const QString& entryId);
    // Keeps the entries recorded less than ttl seconds ago and returns them; the file is
    // rewritten only when something was dropped.
    Map pruneExpired();

private:
    // Loads the map under both locks and saves it when `change` says it changed it; returns
    // the map as it then stands (empty without a container).
    Map update(const std::function<bool(Map&)>& change);

    QMutex m_lock;
};

} // namespace pixavella
