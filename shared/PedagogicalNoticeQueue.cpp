#include "PedagogicalNoticeQueue.h"

#include "SettingsShapes.h"
#include "SettingsSuite.h"
#include "SharedSettings.h"
#include "Signals.h"

namespace pixavella {

PedagogicalNoticeQueue& PedagogicalNoticeQueue::shared()
{
    static PedagogicalNoticeQueue instance(SettingsSuite::shared());
    return instance;
}

PedagogicalNoticeQueue::PedagogicalNoticeQueue(SettingsSuite& suite) : m_suite(suite) {}

// Both sides write the queue (the extension and the application post, the application
// drains), so each operation is one atomic read-modify-write of the suite: nothing posted is
// lost and nothing is presented twice.
void PedagogicalNoticeQueue::post(PedagogicalNotice notice)
{
    const QString key = noticeKey(notice);
    m_suite.update(QString::fromLatin1(kSettingsKey), [&key](const QVariant& current) {
        QStringList keys = SettingsShapes::textList(current).value_or(QStringList());
        keys.append(key);
        return QVariant(keys).toList();
    });
    Signals::post(QString::fromLatin1(SignalName::noticePosted));
}

QList<PedagogicalNotice> PedagogicalNoticeQueue::drain()
{
    QStringList taken;
    m_suite.update(QString::fromLatin1(kSettingsKey), [&taken](const QVariant& current) {
        // Assigned, not appended: the change may be retried and only its last run is written.
        taken = SettingsShapes::textList(current).value_or(QStringList());
        return QVariant();
    });
    QList<PedagogicalNotice> notices;
    for (const QString& key : std::as_const(taken)) {
        if (const std::optional<PedagogicalNotice> notice = noticeFromKey(key))
            notices.append(*notice);
    }
    return notices;
}

} // namespace pixavella
