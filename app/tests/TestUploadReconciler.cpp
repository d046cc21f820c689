#include "AssetNameStore.h"
#include "CancelledUploads.h"
#include "Clock.h"
#include "HttpSession.h"
#include "ImmichDoubleProcess.h"
#include "PedagogicalNoticeQueue.h"
#include "ProcessStores.h"
#include "PromotedPendingList.h"
#include "SettingsSuite.h"
#include "SharedSettings.h"
#include "UploadJournal.h"
#include "UploadQuarantine.h"
#include "UploadReconciler.h"
#include "UploadTarget.h"

#include <QJsonArray>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace pixavella;
using testing::appStores;
using testing::clearQuarantine;
using testing::ImmichDoubleProcess;
using Target = UploadQuarantine::Target;

namespace {

const QString kApiKey = QStringLiteral("uploads-key");
constexpr int kWait = 30000;

QList<UploadJournal::Event> journal()
{
    QMutexLocker locker(&appStores().journal.lock());
    return appStores().journal.loadEvents();
}

} // namespace

class TestUploadReconciler : public QObject {
    Q_OBJECT

    ImmichDoubleProcess m_double;
    QTemporaryDir m_files;
    std::unique_ptr<ManualClock> m_clock;
    int m_fileCounter = 0;

    // A quarantine entry holding distinct bytes (the server recognises duplicates by SHA-1),
    // enqueued one second after the previous one.
    QString enqueue(const QString& name, const Target& target = Target::library(),
                    const std::optional<QString>& albumName = std::nullopt,
                    const std::optional<QDateTime>& capturedAt = std::nullopt,
                    const QByteArray& bytes = {}, const UploadQuarantine::DropFacts& facts = {})
    {
        const QString path = m_files.filePath(QString::number(++m_fileCounter));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) ||
            !file.write(bytes.isEmpty() ? QByteArray("photo bytes ") + path.toUtf8() : bytes))
            return {};
        file.close();
        m_clock->advance(1);
        const Result<UploadQuarantine::Entry> entry = UploadQuarantine::shared().enqueue(
            path, name, capturedAt, target, albumName, UploadQuarantine::Intake::copy, facts);
        return entry ? entry.value().id : QString();
    }

    // The bodies of the requests the double saw for "METHOD /path".
    QList<QJsonObject> bodies(const QString& call) const
    {
        QList<QJsonObject> found;
        for (const QJsonValue& request : m_double.requests()) {
            if (request["method"].toString() + ' ' + request["path"].toString() == call)
                found << QJsonDocument::fromJson(request["body"].toString().toUtf8()).object();
        }
        return found;
    }
    int uploads() const { return int(bodies("POST /api/assets").size()); }

    // One sweep, waiting until every upload it started has finished.
    static void sweepAndWait(UploadReconciler& reconciler, int expectedStarts)
    {
        QSignalSpy finished(&reconciler, &UploadReconciler::entryFinished);
        QSignalSpy started(&reconciler, &UploadReconciler::uploadStarted);
        reconciler.sweep();
        QCOMPARE(started.size(), expectedStarts);
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), expectedStarts, kWait);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_double.start(
            {QStringLiteral("--user"), QStringLiteral("uploads@pixavella.local:pw:") + kApiKey}));
        QVERIFY(m_files.isValid());
        SharedSettings::setServerURL(m_double.url().toString());
        SharedSettings::setApiKey(kApiKey);
    }

    // Also run before each row of a table: the clock is replaced, not stacked.
    void init()
    {
        m_clock.reset();
        m_clock = std::make_unique<ManualClock>(QDateTime::currentDateTimeUtc());
        m_double.reset();
        clearQuarantine();
        appStores().journal.saveEvents({});
        appStores().cancelled.save({});
        appStores().pedagogicalNotices.drain();
    }

    void cleanup() { m_clock.reset(); }

    void tenEntriesFourAtATimeOldestFirst()
    {
        QStringList ids;
        for (int i = 0; i < 10; ++i)
            ids << enqueue(QStringLiteral("IMG_%1.JPG").arg(i));
        m_double.setLatency(300);

        UploadReconciler reconciler(appStores().forUploads(), nullptr);
        // Wide enough that ten small uploads finish inside it on a loaded machine.
        reconciler.setRefreshDelay(std::chrono::seconds(10));
        QSignalSpy refreshed(&reconciler, &UploadReconciler::refreshRequested);
        QStringList startOrder;
        int mostInFlight = 0;
        connect(&reconciler, &UploadReconciler::uploadStarted, this, [&](const QString& id) {
            startOrder << id;
            mostInFlight = std::max(mostInFlight, reconciler.inFlightCount());
        });
        // Sweeps while uploads run, or while answered ones are being recorded, must not queue
        // an entry a second time.
        connect(&reconciler, &UploadReconciler::entryFinished, &reconciler,
                &UploadReconciler::sweep);
        connect(&reconciler, &UploadReconciler::uploadStarted, &reconciler,
                &UploadReconciler::sweep, Qt::QueuedConnection);
        QSignalSpy finished(&reconciler, &UploadReconciler::entryFinished);

        reconciler.sweep();
        QCOMPARE(reconciler.inFlightCount(), 4);
        QCOMPARE(reconciler.pendingCount(), 6);
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 10, kWait);

        QCOMPARE(startOrder, ids);
        QCOMPARE(mostInFlight, 4);
        QCOMPARE(uploads(), 10);

        const QList<UploadJournal::Event> events = journal();
        QCOMPARE(events.size(), 10);
        QSet<QString> assets;
        for (const UploadJournal::Event& event : events) {
            QCOMPARE(event.outcome, UploadJournal::Outcome::uploaded);
            assets.insert(event.assetId.value_or(QString()));
        }
        QCOMPARE(assets.size(), 10);
        QVERIFY(UploadQuarantine::shared().list().isEmpty());
        const QSet<QString> hidden = appStores().promoted.hiddenPendingIdentifiers();
        for (const QString& id : std::as_const(ids))
            QVERIFY(hidden.contains(QStringLiteral("pending:") + id));
        // Ten completions, one refresh of the drive.
        QTRY_COMPARE_WITH_TIMEOUT(refreshed.size(), 1, kWait);
        QVERIFY(!reconciler.refreshScheduled());
    }

    // Five failed attempts give the entry up with one journal event; each records whether the
    // network failed, which decides whether the session re-arms it (TestSessionModel).
    void givesUpAfterFifthFailure()
    {
        // A server error, a refusal. That a dropped connection counts as the network's is
        // TestImmichUpload's (the error it gives) and TestImmichClientCalls' (transient).
        for (const auto& [status, network] : {std::pair{500, true}, {400, false}}) {
            init();
            const QString id = enqueue(QStringLiteral("IMG_FAIL.JPG"));
            m_double.fail(status, 100, QStringLiteral("/api/assets"));

            UploadReconciler reconciler(appStores().forUploads(), nullptr);
            for (int attempt = 1; attempt <= 5; ++attempt) {
                sweepAndWait(reconciler, 1);
                const std::optional<UploadQuarantine::Entry> entry =
                    UploadQuarantine::shared().entry(id);
                QVERIFY(entry);
                QCOMPARE(entry->attempts, attempt);
                QCOMPARE(entry->lastErrorWasNetwork, std::optional<bool>(network));
                QCOMPARE(journal().size(), attempt < 5 ? 0 : 1);
            }
            const UploadJournal::Event failed = journal().value(0);
            QCOMPARE(failed.id, id);
            QCOMPARE(failed.outcome, UploadJournal::Outcome::failed);
            QCOMPARE(failed.error, UploadQuarantine::shared().entry(id)->lastError);
            sweepAndWait(reconciler, 0);
        }
    }

    // The user deleted the pending file while it uploaded: a new asset goes to the server's
    // trash, a photo the library already held stays; nothing is journaled or refreshed.
    void cancelledUpload()
    {
        for (const bool alreadyInLibrary : {false, true}) {
            init();
            const QByteArray bytes = "cancelled photo " + QByteArray::number(alreadyInLibrary);
            QString existing;
            if (alreadyInLibrary) {
                existing = m_double.addAsset({{"originalFileName", "IMG_OLD.JPG"},
                                              {"base64", QString::fromLatin1(bytes.toBase64())}});
                QVERIFY(!existing.isEmpty());
            }
            const QString id = enqueue(QStringLiteral("IMG_CANCEL.JPG"), Target::library(),
                                       std::nullopt, std::nullopt, bytes);
            appStores().cancelled.add(id);

            UploadReconciler reconciler(appStores().forUploads(), nullptr);
            QSignalSpy refreshed(&reconciler, &UploadReconciler::refreshRequested);
            sweepAndWait(reconciler, 1);

            const QList<QJsonObject> trashed = bodies("DELETE /api/assets");
            QCOMPARE(trashed.size(), alreadyInLibrary ? 0 : 1);
            for (const QJsonObject& body : trashed) {
                QCOMPARE(body["force"].toBool(true), false);
                QCOMPARE(body["ids"].toArray().size(), 1);
                QVERIFY(body["ids"][0].toString() != existing);
            }
            QVERIFY(journal().isEmpty());
            QVERIFY(!appStores().cancelled.contains(id));
            QVERIFY(!UploadQuarantine::shared().entry(id));
            QVERIFY(!reconciler.refreshScheduled());
            QCOMPARE(refreshed.size(), 0);
        }
    }

    // The journal names the album the photo went to, or a default when it has no name.
    void albumTargets()
    {
        const auto row = [this](UploadTargetKind kind, std::optional<QString> albumName,
                                const char* journalName) {
            init();
            const QString albumId =
                m_double.addAlbum({{"albumName", "Vacances"}, {"assetIds", QJsonArray()}});
            QVERIFY(!albumId.isEmpty());
            const bool library = kind == UploadTargetKind::library;
            enqueue(QStringLiteral("IMG_ALBUM.JPG"), {kind, library ? QString() : albumId},
                    albumName);
            UploadReconciler reconciler(appStores().forUploads(), nullptr);
            sweepAndWait(reconciler, 1);
            const QList<UploadJournal::Event> events = journal();
            QCOMPARE(events.size(), 1);
            QCOMPARE(events[0].target.kind, kind);
            QCOMPARE(events[0].target.albumName, QString::fromUtf8(journalName));
            const QList<QJsonObject> added = bodies("PUT /api/albums/" + albumId + "/assets");
            QCOMPARE(added.size(), library ? 0 : 1);
            for (const QJsonObject& body : added)
                QVERIFY(body["ids"].toArray().contains(*events[0].assetId));
        };
        row(UploadTargetKind::library, std::nullopt, "");
        row(UploadTargetKind::album, "Vacances", "Vacances");
        row(UploadTargetKind::album, std::nullopt, "Album");
        row(UploadTargetKind::sharedAlbum, std::nullopt, "Album partagé");
    }

    // A photo whose name and capture month another server photo already has is announced
    // (samename), as is a file the server already held (duplicate, and then no name check).
    void sameNameAndDuplicateNotices()
    {
        m_double.addAsset({{"originalFileName", "IMG_0001.JPG"},
                           {"base64", QString::fromLatin1(QByteArray("server").toBase64())},
                           {"fileCreatedAt", "2024-05-10T10:00:00.000Z"}});
        const QDateTime may = QDateTime(QDate(2024, 5, 20), QTime(12, 0), Qt::UTC);
        const QDateTime june = QDateTime(QDate(2024, 6, 2), QTime(12, 0), Qt::UTC);
        UploadReconciler reconciler(appStores().forUploads(), nullptr);
        const auto upload = [&](const QString& name, const QDateTime& captured,
                                const QByteArray& bytes) {
            enqueue(name, Target::library(), std::nullopt, captured, bytes);
            sweepAndWait(reconciler, 1);
        };
        // Everything posted since the last look; QTRY_COMPARE evaluates it more than once.
        QList<PedagogicalNotice> posted;
        const auto notices = [&posted] {
            posted += appStores().pedagogicalNotices.drain();
            return posted;
        };

        // The first check waits for the library listing and may end after the upload.
        upload(QStringLiteral("IMG_0001.JPG"), may, "first");
        QTRY_COMPARE(notices(), QList<PedagogicalNotice>{PedagogicalNotice::samename});
        posted.clear();
        upload(QStringLiteral("IMG_0002.JPG"), may, "second");
        upload(QStringLiteral("IMG_0002.JPG"), june, "third");
        QCOMPARE(notices(), QList<PedagogicalNotice>());
        upload(QStringLiteral("IMG_0002.JPG"), may, "fourth");
        QCOMPARE(notices(), QList<PedagogicalNotice>{PedagogicalNotice::samename});
        posted.clear();
        upload(QStringLiteral("IMG_0009.JPG"), may, "first");
        QCOMPARE(notices(), QList<PedagogicalNotice>{PedagogicalNotice::duplicate});
        QCOMPARE(journal().size(), 5);
    }

    // New bytes saved over a photo: the new asset takes the old one's albums and favourite
    // (PUT assets/copy), then the old one goes to the trash, recoverable.
    void replacementCarriesAlbumsThenTrashesTheOld()
    {
        const QString old = m_double.addAsset(
            {{"originalFileName", "IMG_EDIT.JPG"},
             {"base64", QString::fromLatin1(QByteArray("before the edit").toBase64())}});
        QVERIFY(!old.isEmpty());
        UploadQuarantine::DropFacts facts;
        facts.replacesAssetId = old;
        const QString id = enqueue(QStringLiteral("IMG_EDIT.JPG"), {}, std::nullopt, std::nullopt,
                                   "after the edit", facts);
        QVERIFY(!id.isEmpty());

        UploadReconciler reconciler(appStores().forUploads(), nullptr);
        sweepAndWait(reconciler, 1);
        const std::optional<QString> fresh = journal().value(0).assetId;
        QVERIFY(fresh && *fresh != old);
        QStringList steps;
        for (const QJsonValue& request : m_double.requests()) {
            const QJsonObject body =
                QJsonDocument::fromJson(request["body"].toString().toUtf8()).object();
            const QString call = request["method"].toString() + ' ' + request["path"].toString();
            if (call == "PUT /api/assets/copy")
                steps << QStringLiteral("copy %1 to %2")
                             .arg(body["sourceId"].toString() == old ? "old" : "?",
                                  body["targetId"].toString() == *fresh ? "new" : "?");
            else if (call == "DELETE /api/assets")
                steps << QStringLiteral("trash %1 (force %2)")
                             .arg(body["ids"].toArray() == QJsonArray{old} ? "old" : "?")
                             .arg(body["force"].toBool() ? "true" : "false");
        }
        QCOMPARE(steps, (QStringList{"copy old to new", "trash old (force false)"}));
        QVERIFY(!UploadQuarantine::shared().entry(id));
    }

    // A file manager sets the time after closing the copy; an upload already under way then
    // sends the photo's new date to the server once it is answered.
    void dateSetDuringUploadReachesTheServer()
    {
        const QDateTime dropped(QDate(2026, 12, 1), QTime(9, 0), Qt::UTC);
        const QDateTime taken(QDate(2001, 2, 3), QTime(14, 0), Qt::UTC);
        const QString id =
            enqueue(QStringLiteral("capture.png"), Target::library(), std::nullopt, dropped);
        m_double.setLatency(500);
        UploadReconciler reconciler(appStores().forUploads(), nullptr);
        QSignalSpy finished(&reconciler, &UploadReconciler::entryFinished);
        connect(&reconciler, &UploadReconciler::uploadStarted, this,
                [&] { QVERIFY(UploadQuarantine::shared().setCaptureDate(id, taken)); });
        reconciler.sweep();
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, kWait);
        const std::optional<QString> asset = journal().value(0).assetId;
        QVERIFY(asset);
        const auto dated = [&] {
            return bodies("PUT /api/assets/" + *asset).value(0)["dateTimeOriginal"].toString();
        };
        QTRY_COMPARE_WITH_TIMEOUT(dated(), QStringLiteral("2001-02-03T14:00:00Z"), kWait);
    }

    // Completions of a reconciler that is gone do nothing (and do not crash).
    void destroyedReconcilerGetsNoCallback()
    {
        const QString id = enqueue(QStringLiteral("IMG_GONE.JPG"));
        m_double.setLatency(300);
        auto reconciler = std::make_unique<UploadReconciler>(appStores().forUploads(), nullptr);
        reconciler->sweep();
        QCOMPARE(reconciler->inFlightCount(), 1);
        reconciler.reset();
        QTRY_COMPARE_WITH_TIMEOUT(uploads(), 1, kWait);
        QTest::qWait(1000); // the answer (300 ms) arrives and is dropped
        const std::optional<UploadQuarantine::Entry> entry = UploadQuarantine::shared().entry(id);
        QVERIFY(entry);
        QCOMPARE(entry->attempts, 0);
        QVERIFY(journal().isEmpty());
    }

    void noSessionUploadsNothing()
    {
        enqueue(QStringLiteral("IMG_NOKEY.JPG"));
        appStores().cancelled.save({{QStringLiteral("OLD"), Clock::nowSeconds() - 3600}});
        SharedSettings::setApiKey(QString());
        UploadReconciler reconciler(appStores().forUploads(), nullptr);
        QSignalSpy started(&reconciler, &UploadReconciler::uploadStarted);
        reconciler.sweep();
        SharedSettings::setApiKey(kApiKey);
        QCOMPARE(started.size(), 0);
        QVERIFY(appStores().cancelled.load().isEmpty());
    }
};

QTEST_MAIN(TestUploadReconciler)
#include "TestUploadReconciler.moc"
