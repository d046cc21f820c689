#include "Clock.h"
#include "NamesServiceHealth.h"
#include "SettingsSuite.h"
#include "SyncActivityState.h"
#include "TrayMenu.h"
#include "UploadJournal.h"
#include "UploadQuarantine.h"
#include "UploadStatusModel.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace pixavella;
using namespace std::chrono_literals;
using Status = UploadStatus;

class TestUploadStatusModel : public QObject {
    Q_OBJECT

    QTemporaryDir m_sources;
    UploadQuarantine m_quarantine;
    UploadJournal m_journal;
    UploadStatusModel::SessionState m_session;
    QList<PedagogicalNotice> m_presented;

    std::unique_ptr<UploadStatusModel> makeModel()
    {
        return std::make_unique<UploadStatusModel>(
            m_quarantine, SettingsSuite::shared(), m_journal, [this] { return m_session; },
            [this](PedagogicalNotice notice) { m_presented.append(notice); });
    }

    QString drop(const QString& name, const UploadQuarantine::Target& target = {})
    {
        const QString path = m_sources.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write("photo") != 5)
            return {};
        file.close();
        auto entry = m_quarantine.enqueue(path, name, std::nullopt, target, std::nullopt);
        return entry ? entry.value().id : QString();
    }

    static Status refreshed(UploadStatusModel& model)
    {
        model.refresh();
        return model.status();
    }

    void giveUp(const QString& id)
    {
        for (int i = 0; i < 5; ++i)
            m_quarantine.recordFailure(id, QStringLiteral("HTTP 500"), false);
    }

private slots:
    void init()
    {
        for (const auto& entry : m_quarantine.list())
            QVERIFY(m_quarantine.remove(entry.id));
        m_session = {};
        m_presented.clear();
        QSettings(QStringLiteral("Pixavella"), QStringLiteral("pixavella")).clear();
        SettingsSuite::shared().remove(QLatin1String(SyncActivityState::kSettingsKey));
        QMutexLocker locker(&m_journal.lock());
        m_journal.saveEvents({});
    }

    void tenDropsRunABatchToCompletion()
    {
        ManualClock clock;
        auto model = makeModel();
        QStringList ids;
        for (int i = 0; i < 10; ++i)
            ids << drop(QStringLiteral("IMG_%1.JPG").arg(i));
        QCOMPARE(refreshed(*model), Status::uploading(0, 10));
        QCOMPARE(model->timerInterval(), std::optional(UploadStatusModel::kBusyInterval));
        QCOMPARE(UploadStatusModel::batchTotal(), 10);

        for (int i = 0; i < 10; ++i)
            QVERIFY(m_quarantine.remove(ids[i]));
        QCOMPARE(refreshed(*model), Status::completed(10));
        QCOMPARE(model->statusLine(), QStringLiteral("✓ 10 photos envoyées"));
        QCOMPARE(UploadStatusModel::batchTotal(), 0);

        clock.advance(3.9);
        QCOMPARE(refreshed(*model), Status::completed(10));
        QCOMPARE(model->timerInterval(), std::optional(UploadStatusModel::kBusyInterval));
        clock.advance(0.2);
        QCOMPARE(refreshed(*model).kind, Status::Kind::idle);
        QCOMPARE(model->timerInterval(), std::optional(UploadStatusModel::kIdleInterval));
    }

    void batchCountSurvivesARestart()
    {
        drop(QStringLiteral("A.JPG"));
        drop(QStringLiteral("B.JPG"));
        makeModel()->refresh();
        auto restarted = makeModel();
        restarted->refresh();
        // The entries it finds were counted before the restart; the drop after it adds one.
        QCOMPARE(restarted->status(), Status::uploading(0, 2));
        QCOMPARE(m_presented.size(), 2);
        drop(QStringLiteral("C.JPG"));
        QCOMPARE(refreshed(*restarted), Status::uploading(0, 3));
        QCOMPARE(UploadStatusModel::batchTotal(), 3);

        // Without a network the batch is paused where it stands.
        m_session.connection = ConnectionState::offline;
        QCOMPARE(refreshed(*restarted), Status::paused(0, 3));
    }

    void givenUpEntryKeepsTheBatchOpen()
    {
        ManualClock clock;
        auto model = makeModel();
        const QString a = drop(QStringLiteral("A.JPG"));
        const QString b = drop(QStringLiteral("B.JPG"));
        const QString c = drop(QStringLiteral("C.JPG"));
        model->refresh();
        giveUp(c);
        QVERIFY(m_quarantine.remove(a));
        QVERIFY(m_quarantine.remove(b));
        model->refresh();
        // Nothing left with retries: the status stays where the batch stopped.
        QCOMPARE(model->failedCount(), 1);
        QCOMPARE(model->status().kind, Status::Kind::idle);
        QCOMPARE(UploadStatusModel::batchTotal(), 3);

        // A re-armed entry is pending again: the batch shows 2 of 3.
        m_quarantine.resetAttempts(c);
        QCOMPARE(refreshed(*model), Status::uploading(2, 3));
        giveUp(c);
        drop(QStringLiteral("D.JPG"));
        QCOMPARE(refreshed(*model), Status::uploading(2, 4));
        QCOMPARE(model->statusLine(), QStringLiteral("⬆ Envoi de 4 photos… (2/4) · ⚠ 1 en échec"));
    }

    void freshDownloadShowsUntilStale()
    {
        ManualClock clock;
        auto model = makeModel();
        SyncActivityState activity;
        activity.kind = SyncActivityState::Kind::downloading;
        activity.updatedAt = clock.now();
        SettingsSuite::shared().setValue(QLatin1String(SyncActivityState::kSettingsKey),
                                         activity.encode());
        QCOMPARE(refreshed(*model), Status::downloading());
        QVERIFY(model->isBusy());
        clock.advance(4.0);
        QCOMPARE(refreshed(*model).kind, Status::Kind::idle);
        QVERIFY(!model->isBusy());
    }

    void namesTheDriveCannotSaveShowInTheMenu()
    {
        auto model = makeModel();
        NamesServiceHealth drive(SettingsSuite::shared());
        const auto shownInMenu = [&model] {
            MenuState state;
            state.signedIn = true;
            state.namesUnsaved = model->namesUnsaved();
            const QList<MenuRow> rows = TrayMenu::rows(state, {});
            return std::any_of(rows.begin(), rows.end(), [](const MenuRow& row) {
                return row.title.contains("Les nouveaux noms de photos ne peuvent pas être");
            });
        };
        model->refresh();
        QVERIFY(!shownInMenu());

        QSignalSpy changed(model.get(), &UploadStatusModel::statusChanged);
        drive.recordFailure(Clock::now(), Clock::now(), "HTTP 502");
        model->refresh();
        QVERIFY(shownInMenu());
        QCOMPARE(changed.size(), 1);

        QVERIFY(drive.recordSuccess());
        model->refresh();
        QVERIFY(!shownInMenu());
    }

    void newDropsPresentTheirNoticesOncePerBatch()
    {
        auto model = makeModel();
        drop(QStringLiteral("A.JPG"), UploadQuarantine::Target::sharedAlbum(QStringLiteral("x")));
        drop(QStringLiteral("B.JPG"));
        model->refresh();
        QCOMPARE(m_presented, (QList{PedagogicalNotice::library, PedagogicalNotice::shared,
                                     PedagogicalNotice::move}));
        drop(QStringLiteral("C.JPG"));
        model->refresh();
        QCOMPARE(m_presented.size(), 3);

        for (const auto& entry : m_quarantine.list())
            QVERIFY(m_quarantine.remove(entry.id));
        model->refresh();
        drop(QStringLiteral("D.JPG"), UploadQuarantine::Target::album(QStringLiteral("y")));
        model->refresh();
        QCOMPARE(m_presented.size(), 4);
        QCOMPARE(m_presented.last(), PedagogicalNotice::move);
    }

    void texts()
    {
        const QDateTime now = QDateTime::fromSecsSinceEpoch(1'700'000'000, Qt::UTC);
        const std::pair<qint64, const char*> times[] = {{59, "à l'instant"},
                                                        {60, "il y a 1 min"},
                                                        {3600, "il y a 1 h"},
                                                        {2 * 86400, "il y a 2 j"}};
        for (const auto& [secondsAgo, text] : times)
            QCOMPARE(relativeTime(now.addSecs(-secondsAgo), now), QString::fromUtf8(text));
        QCOMPARE(relativeTime(std::nullopt, now), QStringLiteral("jamais"));

        const auto ok = ConnectionState::ok;
        const auto offline = ConnectionState::offline;
        const std::tuple<Status, qint64, ConnectionState, const char*> lines[] = {
            {Status::downloading(), 2, ok, "⬇ Téléchargement…"},
            {Status::paused(0, 0), 0, ok, "⏸ En pause — réseau indisponible, reprise auto"},
            {Status::paused(1, 3), 1, offline,
             "⏸ En pause — réseau indisponible, reprise auto (1/3) · ⚠ 1 en échec"},
            {Status::uploading(0, 0), 0, ok, "⬆ Envoi en cours…"},
            {Status::idle(), 2, offline, "⚠ 2 photos en échec"},
            {Status::idle(), 0, ok, "UP-TO-DATE"},
            {Status::idle(), 0, offline, "⚠ Hors ligne · dernière sync il y a 2 h"},
            {Status::idle(), 0, ConnectionState::expired, "Session expirée"}};
        for (const auto& [status, failed, connection, line] : lines)
            QCOMPARE(statusLine(status, failed, connection, now.addSecs(-7200),
                                QStringLiteral("UP-TO-DATE"), now),
                     QString::fromUtf8(line));
    }

    // The last upload 90 s ago, two days ago, or none.
    void upToDateLineNamesRecentUploadsOnly()
    {
        ManualClock clock;
        const auto line = [this, &clock](std::optional<qint64> secondsAgo) {
            QList<UploadJournal::Event> events{{}, {}};
            events[0].id = QStringLiteral("F");
            events[0].outcome = UploadJournal::Outcome::failed;
            events[0].enqueuedAt = events[0].resolvedAt = clock.now().addSecs(-5);
            events[1].id = QStringLiteral("D");
            events[1].enqueuedAt = events[1].resolvedAt =
                clock.now().addSecs(-secondsAgo.value_or(0));
            QMutexLocker locker(&m_journal.lock());
            m_journal.saveEvents(secondsAgo ? events : QList<UploadJournal::Event>());
            locker.unlock();
            auto model = makeModel();
            model->refresh();
            return model->statusLine();
        };
        QCOMPARE(line(90), QStringLiteral("✓ À jour · dernier envoi il y a 1 min"));
        QCOMPARE(line(2 * 86400), QStringLiteral("✓ À jour"));
        QCOMPARE(line(std::nullopt), QStringLiteral("✓ À jour"));
    }
};

QTEST_GUILESS_MAIN(TestUploadStatusModel)
#include "TestUploadStatusModel.moc"
