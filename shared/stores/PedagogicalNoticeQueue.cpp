#include "PedagogicalNoticeQueue.h"

#include "SettingsSuite.h"
#include "SharedSettings.h"
#include "Signals.h"

namespace pixavella {

PedagogicalNoticeQueue::PedagogicalNoticeQueue(SettingsSuite& suite)
    : m_queue(suite, QString::fromLatin1(kSettingsKey))
{
}

void PedagogicalNoticeQueue::post(PedagogicalNotice notice)
{
    m_queue.append(noticeKey(notice));
    Signals::post(QString::fromLatin1(SignalName::noticePosted));
}

QList<PedagogicalNotice> PedagogicalNoticeQueue::drain()
{
    QList<PedagogicalNotice> notices;
    const QStringList keys = m_queue.takeAll();
    for (const QString& key : keys) {
        if (const std::optional<PedagogicalNotice> notice = noticeFromKey(key))
            notices.append(*notice);
    }
    return notices;
}

} // namespace pixavella
