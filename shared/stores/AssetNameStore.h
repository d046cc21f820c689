#pragma once

#include <QDateTime>
#include <QHash>
#include <QMutex>
#include <QSet>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace pixavella {

class DelayedCall;
class HttpSession;
class NamesServiceHealth;
class RenameQueue;
class SettingsSuite;
class UserNoticeQueue;

// The names the user gave photos in the file manager, kept by the names service and mirrored
// in "names-cache.json" in the container so that they show at once after a restart. A rename
// goes to the RenameQueue first and leaves it only once the service stored it (or refused it
// for good), so it survives the service being down and either program restarting.
class AssetNameStore {
public:
    using Names = QHash<QString, QString>;
    // A rename the service refused for good, already undone here: the drive shows the photo
    // under its previous name again.
    using RefusalListener = std::function<void(const QString& assetId)>;

    // Creating a store loads the cache file. Renames wait in `queue`; what the service answers goes
    // to `health` (and, on sign-out, the mark it left in `suite`); requests go through `http`; a
    // refused rename is told to the user through `notices`.
    AssetNameStore(RenameQueue& queue, NamesServiceHealth& health, SettingsSuite& suite,
                   HttpSession& http, UserNoticeQueue& notices);
    ~AssetNameStore();

    // A refresh that is not forced is skipped while the last successful one is younger.
    static constexpr double ttl = 10.0;

    // The user-given name, or nothing (callers fall back to the original file name).
    std::optional<QString> name(const QString& assetId) const;
    // Replaces the names with the service's list, blocking at most waitSeconds. Only a 2xx
    // answer holding an object of texts replaces them, and names still queued stay. Skipped
    // while the service is failing and not yet due to be asked again.
    void refresh(bool force, double waitSeconds);
    // Records a rename at once and queues it for the service, then sends what is queued.
    void setName(const QString& assetId, const QString& name);
    // Sends every queued rename not already on its way, if the service may be asked now;
    // otherwise arranges to try when it may. Without waiting for answers.
    void sendQueued();
    void setRefusalListener(RefusalListener listener);
    // Deletes the cache file; failures are ignored.
    static void removeCacheFile();
    // Sign-out: the cache file, the queued renames and what was found of the service go.
    void forgetAccount();

    Names names() const;

private:
    struct Life;
    static std::optional<QString> cacheFilePath();
    static void writeCacheFile(const Names& names);
    void answered(const QString& assetId, const QString& name, const QDateTime& startedAt,
                  int status, const QString& failure);
    void undo(const QString& assetId, const QString& name,
              const std::optional<QString>& previousName, int status);
    void scheduleRetry();

    RenameQueue& m_queue;
    NamesServiceHealth& m_health;
    SettingsSuite& m_suite;
    HttpSession& m_http;
    UserNoticeQueue& m_notices;
    mutable QMutex m_lock; // guards the members below; never held across I/O
    Names m_cache;
    std::optional<QDateTime> m_lastRefresh;
    QSet<QString> m_inFlight; // assets whose rename is on its way
    RefusalListener m_refusalListener;
    std::unique_ptr<DelayedCall> m_retry;
    // Reached by the completions of renames on their way; emptied first by the destructor.
    std::shared_ptr<Life> m_life;
};

} // namespace pixavella
