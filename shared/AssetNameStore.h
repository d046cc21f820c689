#pragma once

#include <QDateTime>
#include <QHash>
#include <QMutex>
#include <QString>

#include <optional>

namespace pixavella {

// The names the user gave photos in the file manager, kept by the names service and mirrored
// in "names-cache.json" in the container so that they show at once after a restart.
class AssetNameStore {
public:
    using Names = QHash<QString, QString>;

    // The process-wide instance; creating it loads the cache file.
    static AssetNameStore& shared();
    AssetNameStore();

    // A refresh that is not forced is skipped while the last successful one is younger.
    static constexpr double ttl = 10.0;

    // The user-given name, or nothing (callers fall back to the original file name).
    std::optional<QString> name(const QString& assetId) const;
    // Replaces the names with the service's list, blocking at most waitSeconds. A failed,
    // late or malformed answer leaves the names as they were.
    void refresh(bool force, double waitSeconds);
    // Records a rename at once, then tells the service without waiting for its answer.
    void setName(const QString& assetId, const QString& name);
    // Deletes the cache file (sign-out); failures are ignored.
    static void removeCacheFile();

    Names names() const;

private:
    static std::optional<QString> cacheFilePath();
    static void writeCacheFile(const Names& names);

    mutable QMutex m_lock; // guards m_cache and m_lastRefresh; never held across I/O
    Names m_cache;
    std::optional<QDateTime> m_lastRefresh;
};

} // namespace pixavella
