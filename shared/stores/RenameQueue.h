#pragma once

#include <QList>
#include <QMutex>
#include <QString>

#include <functional>
#include <optional>

namespace pixavella {

// Photo renames the names service has not stored yet: "pending-renames.json" in the container,
// so that a rename outlives a restart of either program until the service takes it. One entry
// per asset: the last rename wins. Both programs rewrite the file (the drive for the user's
// renames, the application for the names of its uploads), so every change is one load, change
// and save under a StoreFileLock.
class RenameQueue {
public:
    struct Entry {
        QString assetId;
        QString name;
        // The name the service held before the first rename still queued for the asset;
        // nothing when it held none (the photo shows its original file name then).
        std::optional<QString> previousName;
        double queuedAt = 0; // seconds since 1970, of the latest rename

        bool operator==(const Entry&) const = default;
    };

    RenameQueue() = default;

    std::optional<QString> fileURL() const;

    // Oldest first. A missing or unreadable file is an empty queue; malformed entries are
    // skipped, so one bad entry costs that entry only.
    QList<Entry> list() const;
    std::optional<Entry> find(const QString& assetId) const;

    // Queues `name` for the asset. A rename already queued for it is replaced, but keeps its
    // previousName: the service still holds that one, not the replaced name.
    void put(const QString& assetId, const QString& name,
             const std::optional<QString>& previousName);
    // Removes the asset's entry if it still names `name`, and says whether it did: a newer
    // rename queued while `name` was on its way stays.
    bool remove(const QString& assetId, const QString& name);
    // Deletes the file (sign-out: the renames belong to the account).
    void clear();

private:
    void save(const QList<Entry>& entries) const;
    QList<Entry> update(const std::function<bool(QList<Entry>&)>& change);

    mutable QMutex m_lock;
};

} // namespace pixavella
