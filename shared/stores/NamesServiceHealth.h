#pragma once

#include <QDateTime>
#include <QLoggingCategory>
#include <QMutex>
#include <QString>

#include <chrono>
#include <optional>

Q_DECLARE_LOGGING_CATEGORY(lcNames)

namespace pixavella {

class SettingsSuite;

// Whether the names service answers, as this process last found it, and when it may be asked
// again. After a failure (no answer, time-out, 5xx) the next request waits 5 s, then 30 s,
// then a minute each time, whatever asks (a name list or a queued rename), so a service that
// is down is asked at most once a minute. The change either way is logged once, and written
// to the shared settings for the tray application.
class NamesServiceHealth {
public:
    static constexpr const char* kSettingsKey = "names.unreachableSince";

    // The wait after `failures` failures in a row (at least 1).
    static std::chrono::seconds delayAfter(int failures);
    // The tray application's view: some program found the service unreachable and has not
    // reached it since.
    static bool isMarkedUnreachable(const SettingsSuite& suite);
    // Sign-out: whatever was found belongs to the old account's service.
    static void unmark(SettingsSuite& suite);

    explicit NamesServiceHealth(SettingsSuite& suite);

    // True when a request may go now. While the service is failing, only one request per wait
    // is let through: that request claims the slot, and the next wait starts.
    bool claim(const QDateTime& now);
    // A request started at `startedAt` got no usable answer. Requests that started before the
    // latest counted failure (or at its instant) are not counted again: a burst of renames
    // failing together is one failure.
    void recordFailure(const QDateTime& startedAt, const QDateTime& now, const QString& why);
    // The service answered; true when it had been failing.
    bool recordSuccess();

    bool isFailing() const;
    // When the next request may go; nothing while the service answers.
    std::optional<QDateTime> nextAttempt() const;

private:
    SettingsSuite& m_suite;
    mutable QMutex m_lock;
    int m_failures = 0;
    QDateTime m_lastFailure;
    QDateTime m_nextAttempt;
};

} // namespace pixavella
