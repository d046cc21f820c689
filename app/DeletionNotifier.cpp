#include "DeletionNotifier.h"

#include "SharedSettings.h"
#include "Signals.h"
#include "UserNoticeQueue.h"

#include <QUuid>

namespace pixavella {

DeletionNotifier::DeletionNotifier(DesktopNotifications& center, UserNoticeQueue& queue,
                                   QObject* parent)
    : QObject(parent), m_center(center), m_queue(queue)
{
}

// Destroying the subscription waits out a callback under way; a drain it queued is discarded
// with this object.
DeletionNotifier::~DeletionNotifier() = default;

void DeletionNotifier::start()
{
    if (m_started)
        return;
    m_started = true;
    m_subscription = Signals::observe(QString::fromLatin1(SignalName::deletionRecorded), [this] {
        QMetaObject::invokeMethod(this, &DeletionNotifier::drain, Qt::QueuedConnection);
    });
    drain();
}

void DeletionNotifier::drain()
{
    const QStringList messages = m_queue.drain();
    for (const QString& message : messages) {
        m_center.post(QUuid::createUuid().toString(QUuid::WithoutBraces),
                      QString::fromLatin1(kCategory), QStringLiteral("Pixavella"), message);
    }
}

} // namespace pixavella
