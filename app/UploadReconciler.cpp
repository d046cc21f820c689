#include "UploadReconciler.h"

#include "MainThread.h"

#include "AssetNameStore.h"
#include "CancelledUploads.h"
#include "Clock.h"
#include "Log.h"
#include "PedagogicalNoticeQueue.h"
#include "PromotedPendingList.h"
#include "SharedSettings.h"
#include "Signals.h"
#include "UploadIssueNotifier.h"
#include "UploadJournal.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QPointer>
#include <QRegularExpression>

namespace pixavella {

namespace {

Q_LOGGING_CATEGORY(lcUploads, "app.pixavella.uploads")

using Entry = UploadQuarantine::Entry;

UploadJournal::Target journalTarget(const Entry& entry)
{
    const QString name = entry.albumName.value_or(QString());
    switch (entry.target.kind) {
    case UploadTargetKind::library:
        break;
    case UploadTargetKind::album:
        return UploadJournal::Target::album(
            name.isEmpty() ? QCoreApplication::translate("UploadReconciler", "Album") : name);
    case UploadTargetKind::sharedAlbum:
        return UploadJournal::Target::sharedAlbum(
            name.isEmpty() ? QCoreApplication::translate("UploadReconciler", "Album partagé")
                           : name);
    }
    return UploadJournal::Target::library();
}

UploadJournal::Event journalEvent(const Entry& entry, UploadJournal::Outcome outcome)
{
    UploadJournal::Event event;
    event.id = entry.id;
    event.filename = entry.filename;
    event.target = journalTarget(entry);
    event.enqueuedAt = entry.enqueuedAt;
    event.resolvedAt = Clock::now();
    event.outcome = outcome;
    return event;
}

} // namespace

UploadReconciler::UploadReconciler(Stores stores, UploadIssueNotifier* notifier, QObject* parent)
    : QObject(parent), m_stores(stores), m_notifier(notifier)
{
    m_timer.setInterval(kSweepInterval);
    connect(&m_timer, &QTimer::timeout, this, &UploadReconciler::kick);
    if (m_notifier)
        connect(m_notifier, &UploadIssueNotifier::retryRequested, this, &UploadReconciler::kick);
    m_disk.setMaxThreadCount(1);
    m_disk.setExpiryTimeout(-1);
    m_disk.setObjectName(QStringLiteral("UploadStores"));
}

// Destroying the subscription waits out a signal callback under way; a kick it queued is
// discarded with this object.
UploadReconciler::~UploadReconciler() = default;

void UploadReconciler::start()
{
    if (!m_timer.isActive()) {
        m_quarantineSignal =
            Signals::observe(QString::fromLatin1(SignalName::quarantineChanged), [this] {
                QMetaObject::invokeMethod(
                    this,
                    [this] {
                        kick();
                        emit statusRefreshRequested();
                    },
                    Qt::QueuedConnection);
            });
        m_timer.start();
    }
    kick();
}

void UploadReconciler::stop()
{
    m_timer.stop();
    m_quarantineSignal.reset();
}

void UploadReconciler::kick()
{
    if (m_sweepQueued)
        return;
    m_sweepQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_sweepQueued = false;
            sweep();
        },
        Qt::QueuedConnection);
}

void UploadReconciler::sweep()
{
    if (m_notifier)
        m_notifier->evaluate();
    m_stores.cancelled.pruneExpired();

    const std::optional<ImmichClient> client = SharedSettings::makeClient();
    if (!client)
        return;

    QSet<QString> known = m_inFlightIds + m_settlingIds;
    for (const Entry& queued : std::as_const(m_pendingQueue))
        known.insert(queued.id);
    const QList<Entry> entries = m_stores.quarantine.list();
    for (const Entry& entry : entries) {
        if (entry.attempts >= kMaxAttempts || known.contains(entry.id))
            continue;
        known.insert(entry.id);
        m_pendingQueue.append(entry);
    }
    pump(*client);
}

void UploadReconciler::pump(const ImmichClient& client)
{
    while (m_inFlightIds.size() < kMaxConcurrent && !m_pendingQueue.isEmpty()) {
        const Entry entry = m_pendingQueue.takeFirst();
        if (m_inFlightIds.contains(entry.id) || m_settlingIds.contains(entry.id))
            continue;
        m_inFlightIds.insert(entry.id);
        if (!startUpload(entry, client))
            m_inFlightIds.remove(entry.id);
    }
}

// False when the entry has nothing left to upload; it is then removed from the queue.
bool UploadReconciler::startUpload(const Entry& entry, const ImmichClient& client)
{
    const std::optional<QString> payload = m_stores.quarantine.payloadURL(entry.id);
    if (!payload) {
        (void)m_stores.quarantine.remove(entry.id);
        return false;
    }
    // Cut short or changed since it was dropped (a power loss before the disk had it all): the
    // server would keep whatever it is sent, so it is never sent.
    if (!m_stores.quarantine.payloadMatches(entry, *payload)) {
        qCWarning(lcUploads).noquote()
            << PIXAVELLA_LOG_PREFIX "the queued file of" << entry.id << "is damaged; not sent";
        m_inFlightIds.remove(entry.id);
        m_settlingIds.insert(entry.id);
        Settlement settlement{journalEvent(entry, UploadJournal::Outcome::failed), false, true,
                              client};
        settlement.event.error =
            tr("le fichier en attente a été abîmé sur le disque avant son envoi");
        settle(std::move(settlement));
        return true;
    }
    emit uploadStarted(entry.id);
    QPointer<UploadReconciler> guard(this);
    client.uploadAsset(*payload, entry.filename, entry.capturedAt,
                       [guard, entry, client](Result<UploadResult> result) {
                           onMainThread(guard, [entry, client, result = std::move(result)](
                                                   UploadReconciler& self) {
                               self.handleUploadResult(entry, client, result);
                           });
                       });
    return true;
}

void UploadReconciler::handleUploadResult(const Entry& entry, const ImmichClient& client,
                                          const Result<UploadResult>& result)
{
    // The request is over: its slot goes to the next entry while this one is recorded.
    m_inFlightIds.remove(entry.id);
    m_settlingIds.insert(entry.id);
    pump(client);
    if (!result) {
        handleFailure(entry, client, result.error());
        return;
    }
    const UploadResult& uploaded = result.value();
    if (uploaded.duplicate) {
        m_stores.notices.post(PedagogicalNotice::duplicate);
    } else {
        checkSameName(entry, uploaded.assetId, client);
        // The upload announced these characters percent-encoded, which the server keeps as
        // sent: the name the user typed is recorded as the photo's own.
        static const QRegularExpression kEncoded(QStringLiteral("[\"\\r\\n\\\\]"));
        if (entry.filename.contains(kEncoded))
            m_stores.names.setName(uploaded.assetId, entry.filename);
        carryLaterDate(entry, uploaded.assetId, client);
    }

    bool cancelled = false;
    {
        CancelledUploads& store = m_stores.cancelled;
        QMutexLocker locker(&store.lock());
        cancelled = store.load().contains(entry.id);
    }
    if (!cancelled) {
        if (entry.replacesAssetId && !uploaded.duplicate) {
            replaceOld(entry, uploaded.assetId, client);
            return;
        }
        attachToTarget(entry, uploaded.assetId, client);
        return;
    }
    // The user deleted the pending file while it was uploading. A duplicate answer names a
    // photo the library already held (or one just restored from the trash): trashing it would
    // take an unrelated photo away from the user, so only a new asset goes to the trash.
    if (uploaded.duplicate) {
        finishCancelled(entry, client);
        return;
    }
    QPointer<UploadReconciler> guard(this);
    client.trashAssets({uploaded.assetId}, [guard, entry, client](Result<void>) {
        onMainThread(guard, [entry, client](UploadReconciler& self) {
            self.finishCancelled(entry, client);
        });
    });
}

// A time set on the file while it was being sent (file managers set it after closing) is the
// photo's date: the server takes it now.
void UploadReconciler::carryLaterDate(const Entry& sent, const QString& assetId,
                                      const ImmichClient& client)
{
    const std::optional<Entry> now = m_stores.quarantine.entry(sent.id);
    if (!now || !now->capturedAt || now->capturedAt == sent.capturedAt)
        return;
    client.setCaptureDate(assetId, *now->capturedAt, [assetId](Result<void> set) {
        if (!set)
            qCWarning(lcUploads).noquote() << PIXAVELLA_LOG_PREFIX "capture date of" << assetId
                                           << "not changed:" << set.error().description;
    });
}

// New bytes of a photo saved over in the drive, done as the server's own "replace": the new
// asset takes the old one's albums and favourite, then the old one goes to the trash (where the
// user can still find it). Either step failing leaves both photos: nothing is lost.
void UploadReconciler::replaceOld(const Entry& entry, const QString& assetId,
                                  const ImmichClient& client)
{
    const QString old = *entry.replacesAssetId;
    QPointer<UploadReconciler> guard(this);
    const auto carryOn = [guard, entry, assetId, client] {
        onMainThread(guard, [entry, assetId, client](UploadReconciler& self) {
            self.attachToTarget(entry, assetId, client);
        });
    };
    client.copyAssetProperties(old, assetId, [old, client, carryOn](Result<void> copied) {
        if (!copied) {
            qCWarning(lcUploads).noquote() << PIXAVELLA_LOG_PREFIX "albums of" << old
                                           << "not carried over:" << copied.error().description;
            return carryOn();
        }
        client.trashAssets({old}, [old, carryOn](Result<void> trashed) {
            if (!trashed)
                qCWarning(lcUploads).noquote() << PIXAVELLA_LOG_PREFIX "replaced photo" << old
                                               << "not trashed:" << trashed.error().description;
            carryOn();
        });
    });
}

void UploadReconciler::handleFailure(const Entry& entry, const ImmichClient& client,
                                     const Error& error)
{
    qCInfo(lcUploads).noquote() << PIXAVELLA_LOG_PREFIX "upload of" << entry.id
                                << "failed:" << error.description;
    Settlement settlement{journalEvent(entry, UploadJournal::Outcome::failed),
                          isTransientError(error), false, client};
    settlement.event.error = error.description;
    settle(std::move(settlement));
}

void UploadReconciler::finishCancelled(const Entry& entry, const ImmichClient& client)
{
    m_stores.cancelled.remove(entry.id);
    // Normally already gone (the drive removes the entry when it cancels); an entry left
    // behind would be uploaded again and undo the cancellation.
    (void)m_stores.quarantine.remove(entry.id);
    finishEntry(entry.id, client);
}

void UploadReconciler::attachToTarget(const Entry& entry, const QString& assetId,
                                      const ImmichClient& client)
{
    if (entry.target.kind == UploadTargetKind::library) {
        readBack(entry, assetId, client);
        return;
    }
    // An album that refuses the photo does not undo the upload: the photo is in the library.
    QPointer<UploadReconciler> guard(this);
    client.addAssetsToAlbum(
        entry.target.albumId, {assetId}, [guard, entry, assetId, client](Result<void>) {
            onMainThread(guard, [entry, assetId, client](UploadReconciler& self) {
                self.readBack(entry, assetId, client);
            });
        });
}

void UploadReconciler::readBack(const Entry& entry, const QString& assetId,
                                const ImmichClient& client)
{
    QPointer<UploadReconciler> guard(this);
    client.getAsset(assetId, [guard, entry, assetId, client](Result<ImmichAsset> asset) {
        const bool read = asset.ok();
        onMainThread(guard, [entry, assetId, client, read](UploadReconciler& self) {
            self.finishUpload(entry, assetId, read, client);
        });
    });
}

void UploadReconciler::finishUpload(const Entry& entry, const QString& assetId, bool assetRead,
                                    const ImmichClient& client)
{
    // Unconfirmed: the entry stays as it is and the next sweep sends it again, which the
    // server answers as a duplicate.
    if (!assetRead) {
        finishEntry(entry.id, client);
        return;
    }
    Settlement settlement{journalEvent(entry, UploadJournal::Outcome::uploaded), false, false,
                          client};
    settlement.event.assetId = assetId;
    settle(std::move(settlement));
}

void UploadReconciler::settle(Settlement settlement)
{
    m_settlements.append(std::move(settlement));
    if (!m_writingSettlements)
        startSettling();
}

// Everything answered since the last batch is written in one go: one journal write for all.
void UploadReconciler::startSettling()
{
    m_writingSettlements = true;
    QPointer<UploadReconciler> guard(this);
    m_disk.start([guard, stores = m_stores, batch = std::exchange(m_settlements, {})] {
        writeSettlements(stores, batch);
        onMainThread(guard, [batch](UploadReconciler& self) { self.settled(batch); });
    });
}

// Disk thread. A failure is counted on the entry before its journal event; an upload is
// journaled before its entry goes.
void UploadReconciler::writeSettlements(const Stores& stores, const QList<Settlement>& batch)
{
    UploadQuarantine& quarantine = stores.quarantine;
    QList<UploadJournal::Event> journaled;
    for (const Settlement& settlement : batch) {
        const UploadJournal::Event& event = settlement.event;
        if (event.outcome == UploadJournal::Outcome::uploaded) {
            journaled.append(event);
            continue;
        }
        if (settlement.givenUp)
            quarantine.giveUp(event.id, event.error.value_or(QString()));
        else
            quarantine.recordFailure(event.id, event.error.value_or(QString()), settlement.network);
        // The count on disk, not the one queued: the user may have re-armed the entry, or
        // removed it, while it was uploading, and neither is a fifth failure.
        const std::optional<Entry> stored = quarantine.entry(event.id);
        if (stored && stored->attempts >= kMaxAttempts)
            journaled.append(event);
    }
    stores.journal.record(journaled);
    for (const Settlement& settlement : batch) {
        if (settlement.event.outcome != UploadJournal::Outcome::uploaded)
            continue;
        (void)quarantine.remove(settlement.event.id);
        stores.promoted.promote(QStringLiteral("pending:") + settlement.event.id);
    }
}

void UploadReconciler::settled(const QList<Settlement>& batch)
{
    m_writingSettlements = false;
    if (!m_settlements.isEmpty())
        startSettling();
    scheduleSignal();
    emit statusRefreshRequested();
    for (const Settlement& settlement : batch)
        finishEntry(settlement.event.id, settlement.client);
}

void UploadReconciler::finishEntry(const QString& id, const ImmichClient& client)
{
    m_settlingIds.remove(id);
    emit entryFinished(id);
    pump(client);
}

void UploadReconciler::scheduleSignal()
{
    if (m_signalScheduled)
        return;
    m_signalScheduled = true;
    QTimer::singleShot(m_refreshDelay, this, [this] {
        m_signalScheduled = false;
        emit refreshRequested();
    });
}

QString UploadReconciler::monthKey(const QDateTime& instant)
{
    const QDate date = instant.toUTC().date();
    return QStringLiteral("%1-%2").arg(date.year()).arg(date.month(), 2, 10, QLatin1Char('0'));
}

void UploadReconciler::checkSameName(const Entry& entry, const QString& assetId,
                                     const ImmichClient& client)
{
    if (!entry.capturedAt)
        return;
    const QString month = monthKey(*entry.capturedAt);
    const QString filename = entry.filename;
    if (m_nameIndex) {
        sameNameCheck(filename, month, assetId);
        return;
    }
    m_nameIndexWaiters.append(
        [this, filename, month, assetId] { sameNameCheck(filename, month, assetId); });
    if (m_nameIndexLoading)
        return;
    m_nameIndexLoading = true;
    QPointer<UploadReconciler> guard(this);
    // The index of a large library is built on the callback pool, not on the main thread.
    client.searchAssets([guard](Result<QList<ImmichAsset>> assets) {
        NameIndex index;
        if (assets) {
            for (const ImmichAsset& asset : assets.value()) {
                std::optional<QString> date;
                if (asset.exifInfo && asset.exifInfo->dateTimeOriginal)
                    date = asset.exifInfo->dateTimeOriginal;
                else
                    date = asset.fileCreatedAt;
                const std::optional<QDateTime> when = parseImmichDate(date);
                if (!when)
                    continue;
                index[asset.originalFileName][monthKey(*when)].insert(asset.id);
            }
        }
        onMainThread(guard, [index = std::move(index)](UploadReconciler& self) mutable {
            self.nameIndexLoaded(std::move(index));
        });
    });
}

void UploadReconciler::nameIndexLoaded(NameIndex index)
{
    m_nameIndex = std::move(index);
    m_nameIndexLoading = false;
    const QList<std::function<void()>> waiters = std::exchange(m_nameIndexWaiters, {});
    for (const std::function<void()>& waiter : waiters)
        waiter();
}

void UploadReconciler::sameNameCheck(const QString& filename, const QString& month,
                                     const QString& assetId)
{
    QSet<QString>& ids = (*m_nameIndex)[filename][month];
    const bool other = std::any_of(ids.cbegin(), ids.cend(),
                                   [&assetId](const QString& id) { return id != assetId; });
    if (other)
        m_stores.notices.post(PedagogicalNotice::samename);
    ids.insert(assetId);
}

} // namespace pixavella
