#pragma once

#include "ImmichClient.h"
#include "ImmichRecords.h"
#include "UploadJournal.h"
#include "UploadStatus.h"

#include <QList>
#include <QObject>
#include <QSet>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace pixavella {

namespace Signals {
class Subscription;
}

// The batches of one day, newest first.
struct DaySection {
    QString id; // the label
    QString label;
    QList<UploadJournal::Batch> batches;
};

// What the history window shows: the journal grouped by day and batch, the library's counts
// from the server (fetched at creation and at most once per burst of journal changes) and the
// batches the user unfolded. Main thread only.
class HistoryModel : public QObject {
    Q_OBJECT

public:
    using ClientFactory = std::function<std::optional<ImmichClient>()>;
    // Asks the quarantine to retry the entry, wakes the uploads and the status.
    using RetryAction = std::function<void(const QString& entryId)>;

    static constexpr double kBatchGap = 300.0;
    static constexpr std::chrono::milliseconds kStatsDebounce{2500};

    HistoryModel(UploadJournal& journal, ClientFactory makeClient, RetryAction retry,
                 std::chrono::milliseconds statsDebounce = kStatsDebounce,
                 QObject* parent = nullptr);
    ~HistoryModel() override;

    const QList<DaySection>& sections() const { return m_sections; }
    const std::optional<ImmichAssetStatistics>& stats() const { return m_stats; }
    const QSet<QString>& expanded() const { return m_expanded; }
    bool isExpanded(const QString& batchId) const { return m_expanded.contains(batchId); }

    // Observes "app.pixavella.journalChanged" (once).
    void observeJournal();
    void reload();
    void refreshStatistics();
    // Reloads and schedules a statistics refresh; what a journal signal runs.
    void journalChanged();
    void scheduleStatisticsRefresh();
    void toggle(const QString& batchId);
    void retry(const UploadJournal::Event& event);

    // "Aujourd'hui", "Hier", else "3 mars 2025", in local time relative to `now`.
    static QString dayLabel(const QDate& day, const QDate& today);
    static QList<DaySection> daySections(const QList<UploadJournal::Batch>& batches,
                                         const QDateTime& now);
    static QString statisticsText(const std::optional<ImmichAssetStatistics>& stats);
    // While uploads run or wait; empty otherwise.
    static QString statusLine(const UploadStatus& status);
    // The batch's time of day, "14:05".
    static QString timeText(const QDateTime& instant);
    // Album name, or "Mes photos" for the library.
    static QString destination(const UploadJournal::Target& target);

signals:
    void sectionsChanged();
    void statsChanged();
    void expandedChanged();

private:
    UploadJournal& m_journal;
    ClientFactory m_makeClient;
    RetryAction m_retry;
    std::chrono::milliseconds m_statsDebounce;
    QList<DaySection> m_sections;
    std::optional<ImmichAssetStatistics> m_stats;
    QSet<QString> m_expanded;
    bool m_statsRefreshScheduled = false;
    std::unique_ptr<Signals::Subscription> m_observer;
};

} // namespace pixavella
