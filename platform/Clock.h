#pragma once

#include <QDateTime>

#include <atomic>
#include <functional>

namespace pixavella {

// The time every store and model reads, so tests can move it instead of sleeping.
class Clock {
public:
    static QDateTime now();
    // Seconds since 1970 with milliseconds.
    static double nowSeconds();
    // Replaces the source of time for the whole process; an empty function restores the system clock.
    static void setSource(std::function<QDateTime()> source);
};

// A clock for tests: starts at a fixed instant and moves only when told.
class ManualClock {
public:
    explicit ManualClock(QDateTime start = QDateTime::fromSecsSinceEpoch(1'700'000'000, Qt::UTC));
    ~ManualClock();
    void advance(double seconds);
    void set(const QDateTime& t);
    QDateTime now() const;

private:
    std::atomic<qint64> m_msecs;
};

} // namespace pixavella
