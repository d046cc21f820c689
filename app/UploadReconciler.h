#pragma once

#include "ImmichClient.h"
#include "UploadJournal.h"
#include "UploadQuarantine.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QThreadPool>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace pixavella {

class AssetNameStore;
class CancelledUploads;
class PedagogicalNoticeQueue;
class PromotedPendingList;
class UploadIssueNotifier;
namespace Signals {
class Subscription;
}

// Empties the upload queue that the drive fills: uploads the entries of the quarantine, at
// most four at a time and oldest first, files them into their album, records the outcome in
// the upload journal and removes the entry once the server holds the photo. Failures are
// counted on the entry; an entry that failed five times waits until it is re-armed (by the
// user, or by the session when the network returns).
//
// A slot is taken while the upload request is under way: once the server has answered, the
// next entry starts at once, while the answered one is filed, read back and recorded.
//
// Main thread only. Network completions arrive on the HTTP callback pool and hop back to the
// main thread; those of a destroyed reconciler are dropped. The stores' writes, each flushed
// to the disk, run on a thread of their own so that neither the main thread nor a slot waits
// for the disk.
class UploadReconciler : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::seconds kSweepInterval{30};
    static constexpr int kMaxConcurrent = 4;
    // Entries are uploaded while their attempts stay below this; the failure that reaches it
    // is journaled.
    static constexpr qint64 kMaxAttempts = 5;
    static constexpr std::chrono::milliseconds kRefreshDelay{2000};

    // What the reconciler reads and writes; each is also written from the disk thread.
    struct Stores {
        UploadQuarantine& quarantine;
        UploadJournal& journal;
        CancelledUploads& cancelled;
        AssetNameStore& names;
        PedagogicalNoticeQueue& notices;
        PromotedPendingList& promoted;
    };

    // `notifier` (may be null) is evaluated at every sweep and its retry action kicks.
    UploadReconciler(Stores stores, UploadIssueNotifier* notifier, QObject* parent = nullptr);
    ~UploadReconciler() override;

    // Kicks; the first time also starts the sweep timer and watches the quarantine signal.
    void start();
    // Stops the timer and the quarantine signal (a session ended); uploads under way finish.
    // A later start() starts them again.
    void stop();
    bool isStarted() const { return m_timer.isActive(); }
    // Queues a sweep on the main thread. Callable from any thread.
    void kick();
    // Evaluates the notifier, prunes cancelled uploads, queues the entries due for upload and
    // starts as many as the limit allows. Does nothing more while no session is stored.
    void sweep();

    // Upload requests under way.
    int inFlightCount() const { return int(m_inFlightIds.size()); }
    int pendingCount() const { return int(m_pendingQueue.size()); }
    bool refreshScheduled() const { return m_signalScheduled; }
    // How long refresh requests are gathered before refreshRequested (kRefreshDelay).
    void setRefreshDelay(std::chrono::milliseconds delay) { m_refreshDelay = delay; }

    // "2024-05": year and two-digit month of `instant` in UTC, as the drive's month folders.
    static QString monthKey(const QDateTime& instant);

signals:
    // The drive's folders should be listed again (the domain's signalAllFolders). Coalesced:
    // emitted once, kRefreshDelay after the first of any number of requests.
    void refreshRequested();
    // The status model should read the state again.
    void statusRefreshRequested();
    void uploadStarted(const QString& entryId);
    // The entry is done with, whatever the outcome, and what it left to write is written.
    void entryFinished(const QString& entryId);

private:
    using Entry = UploadQuarantine::Entry;
    // File name → month key → asset ids.
    using NameIndex = QHash<QString, QHash<QString, QSet<QString>>>;

    void pump(const ImmichClient& client);
    bool startUpload(const Entry& entry, const ImmichClient& client);
    void handleUploadResult(const Entry& entry, const ImmichClient& client,
                            const Result<UploadResult>& result);
    void replaceOld(const Entry& entry, const QString& assetId, const ImmichClient& client);
    void carryLaterDate(const Entry& sent, const QString& assetId, const ImmichClient& client);
    void handleFailure(const Entry& entry, const ImmichClient& client, const Error& error);
    void finishCancelled(const Entry& entry, const ImmichClient& client);
    void attachToTarget(const Entry& entry, const QString& assetId, const ImmichClient& client);
    void readBack(const Entry& entry, const QString& assetId, const ImmichClient& client);
    void finishUpload(const Entry& entry, const QString& assetId, bool assetRead,
                      const ImmichClient& client);
    void finishEntry(const QString& id, const ImmichClient& client);
    // What an answered upload leaves to write: the journal event, the quarantine's update.
    struct Settlement {
        UploadJournal::Event event; // failed: journaled only at the last attempt
        bool network = false;       // failed: the error was the network's
        bool givenUp = false;       // failed for good at once (a damaged payload)
        ImmichClient client;
    };
    void settle(Settlement settlement);
    void startSettling();
    void settled(const QList<Settlement>& batch);
    static void writeSettlements(const Stores& stores, const QList<Settlement>& batch);
    void scheduleSignal();
    void checkSameName(const Entry& entry, const QString& assetId, const ImmichClient& client);
    void sameNameCheck(const QString& filename, const QString& month, const QString& assetId);
    void nameIndexLoaded(NameIndex index);

    Stores m_stores;
    UploadIssueNotifier* m_notifier;
    QSet<QString> m_inFlightIds;
    // Answered, not yet recorded: never queued again meanwhile.
    QSet<QString> m_settlingIds;
    QList<Entry> m_pendingQueue;
    bool m_signalScheduled = false;
    std::chrono::milliseconds m_refreshDelay = kRefreshDelay;
    QTimer m_timer;
    // A sweep is queued: more kicks before it runs join it (a drop of many files posts one
    // signal per file, and each sweep reads every manifest).
    bool m_sweepQueued = false;
    std::unique_ptr<Signals::Subscription> m_quarantineSignal;
    std::optional<NameIndex> m_nameIndex;
    bool m_nameIndexLoading = false;
    QList<std::function<void()>> m_nameIndexWaiters;
    // Settlements wait here while the disk thread writes a batch; the next batch takes them all.
    QList<Settlement> m_settlements;
    bool m_writingSettlements = false;
    // Destroyed first: waits for the batch under way.
    QThreadPool m_disk;
};

} // namespace pixavella
