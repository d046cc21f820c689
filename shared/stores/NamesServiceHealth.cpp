#include "NamesServiceHealth.h"

#include "Log.h"
#include "SettingsSuite.h"

Q_LOGGING_CATEGORY(lcNames, "app.pixavella.names")

namespace pixavella {

std::chrono::seconds NamesServiceHealth::delayAfter(int failures)
{
    using namespace std::chrono_literals;
    if (failures <= 1)
        return 5s;
    if (failures == 2)
        return 30s;
    return 60s;
}

bool NamesServiceHealth::isMarkedUnreachable(const SettingsSuite& suite)
{
    return suite.value(QString::fromLatin1(kSettingsKey)).isValid();
}

void NamesServiceHealth::unmark(SettingsSuite& suite)
{
    suite.remove(QString::fromLatin1(kSettingsKey));
}

NamesServiceHealth::NamesServiceHealth(SettingsSuite& suite) : m_suite(suite) {}

bool NamesServiceHealth::claim(const QDateTime& now)
{
    QMutexLocker locker(&m_lock);
    if (m_failures == 0)
        return true;
    if (now < m_nextAttempt)
        return false;
    m_nextAttempt = now.addSecs(delayAfter(m_failures).count());
    return true;
}

void NamesServiceHealth::recordFailure(const QDateTime& startedAt, const QDateTime& now,
                                       const QString& why)
{
    {
        QMutexLocker locker(&m_lock);
        if (m_failures > 0 && startedAt <= m_lastFailure)
            return;
        ++m_failures;
        m_lastFailure = now;
        m_nextAttempt = now.addSecs(delayAfter(m_failures).count());
        if (m_failures > 1)
            return;
    }
    qCWarning(lcNames).noquote() << PIXAVELLA_LOG_PREFIX "names service unreachable (" + why +
                                        "); renames are kept until it answers";
    m_suite.setValue(QString::fromLatin1(kSettingsKey), now.toSecsSinceEpoch());
}

bool NamesServiceHealth::recordSuccess()
{
    {
        QMutexLocker locker(&m_lock);
        if (m_failures == 0)
            return false;
        m_failures = 0;
        m_nextAttempt = QDateTime();
    }
    qCInfo(lcNames).noquote() << PIXAVELLA_LOG_PREFIX "names service reachable again";
    unmark(m_suite);
    return true;
}

bool NamesServiceHealth::isFailing() const
{
    QMutexLocker locker(&m_lock);
    return m_failures > 0;
}

std::optional<QDateTime> NamesServiceHealth::nextAttempt() const
{
    QMutexLocker locker(&m_lock);
    if (m_failures == 0)
        return std::nullopt;
    return m_nextAttempt;
}

} // namespace pixavella
