#include "UserNoticeQueue.h"

#include "SettingsSuite.h"
#include "SharedSettings.h"
#include "Signals.h"

namespace pixavella {

UserNoticeQueue::UserNoticeQueue(SettingsSuite& suite)
    : m_queue(suite, QString::fromLatin1(kSettingsKey))
{
}

void UserNoticeQueue::append(const QString& message)
{
    m_queue.append(message);
    Signals::post(QString::fromLatin1(SignalName::deletionRecorded));
}

QStringList UserNoticeQueue::drain()
{
    return m_queue.takeAll();
}

} // namespace pixavella
