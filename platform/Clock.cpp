#include "Clock.h"

#include <QMutex>
#include <atomic>

namespace pixavella {

namespace {
QMutex sourceMutex;
std::function<QDateTime()> source; // protected by sourceMutex
} // namespace

QDateTime Clock::now()
{
    QMutexLocker lock(&sourceMutex);
    if (source)
        return source();
    return QDateTime::currentDateTimeUtc();
}

double Clock::nowSeconds()
{
    return double(now().toMSecsSinceEpoch()) / 1000.0;
}

void Clock::setSource(std::function<QDateTime()> s)
{
    QMutexLocker lock(&sourceMutex);
    source = std::move(s);
}

ManualClock::ManualClock(QDateTime start) : m_msecs(start.toMSecsSinceEpoch())
{
    Clock::setSource([this] { return now(); });
}

ManualClock::~ManualClock()
{
    Clock::setSource({});
}

void ManualClock::advance(double seconds)
{
    m_msecs += qint64(seconds * 1000.0);
}

void ManualClock::set(const QDateTime& t)
{
    m_msecs = t.toMSecsSinceEpoch();
}

QDateTime ManualClock::now() const
{
    return QDateTime::fromMSecsSinceEpoch(m_msecs, Qt::UTC);
}

} // namespace pixavella
