#pragma once

#include <QHash>
#include <QMutex>
#include <QString>

#include <optional>

namespace pixavella {

// Pending uploads the user cancelled, so that the application does not upload them after all:
// "cancelled-uploads.json" in the container, quarantine entry id → time of cancellation in
// seconds since 1970. Both programs write it; the last writer wins.
class CancelledUploads {
public:
    using Map = QHash<QString, double>;

    static CancelledUploads& shared();
    CancelledUploads() = default;

    // Entries older than this (or exactly this old) are dropped by pruneExpired.
    static constexpr double ttl = 3600.0;

    // Held by callers of load and save around their whole load, change, save.
    QMutex& lock() { return m_lock; }

    std::optional<QString> fileURL() const;
    // Missing, unreadable or malformed file: an empty map.
    Map load() const;
    // Replaces the file atomically; failures are dropped. Does nothing without a container.
    void save(const Map& map) const;

    // The operations below take lock() themselves.
    void add(const QString& entryId);
    void remove(const QString& entryId);
    bool contains(const QString& entryId);
    // Keeps the entries recorded less than ttl seconds ago, saves them and returns them.
    Map pruneExpired();

private:
    QMutex m_lock;
};

} // namespace pixavella
