#include "UserNoticeQueue.h"

#include "SettingsShapes.h"
#include "SettingsSuite.h"
#include "SharedSettings.h"
#include "Signals.h"

namespace pixavella {

UserNoticeQueue& UserNoticeQueue::shared()
{
    static UserNoticeQueue instance(SettingsSuite::shared());
    return instance;
}

UserNoticeQueue::UserNoticeQueue(SettingsSuite& suite) : m_suite(suite) {}

// Both operations are one atomic read-modify-write of the suite: the extension appends while
// the application drains, and a plain read then write on either side would lose messages or
// show them twice.
void UserNoticeQueue::append(const QString& message)
{
    m_suite.update(QString::fromLatin1(kSettingsKey), [&message](const QVariant& current) {
        QStringList messages = SettingsShapes::textList(current).value_or(QStringList());
        messages.append(message);
        return QVariant(messages).toList();
    });
    Signals::post(QString::fromLatin1(SignalName::deletionRecorded));
}

QStringList UserNoticeQueue::drain()
{
    QStringList taken;
    m_suite.update(QString::fromLatin1(kSettingsKey), [&taken](const QVariant& current) {
        // Assigned, not appended: the change may be retried and only its last run is written.
        taken = SettingsShapes::textList(current).value_or(QStringList());
        return QVariant();
    });
    return taken;
}

} // namespace pixavella
