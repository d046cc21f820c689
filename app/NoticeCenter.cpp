#include "NoticeCenter.h"

#include "NoticeWindow.h"
#include "PedagogicalNoticeQueue.h"
#include "SessionModel.h"
#include "SharedSettings.h"
#include "Signals.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSettings>

namespace pixavella {

namespace {

constexpr const char* kSuppressedPrefix = "notice.suppressed.";
constexpr const char* kDidShowMoveKey = "didShowMoveNotice";

QSettings appSettings()
{
    return QSettings(SessionModel::appSettingsOrganization(), SessionModel::appSettingsName());
}

QString suppressedKey(PedagogicalNotice notice)
{
    return QLatin1String(kSuppressedPrefix) + noticeKey(notice);
}

} // namespace

NoticeCenter::Presenter NoticeCenter::panelPresenter()
{
    // One panel at a time: the centre never opens a second before the first closed.
    return [](PedagogicalNotice notice, std::function<void(bool)> closed) {
        auto* panel = new NoticeWindowController(notice, std::move(closed));
        panel->show();
    };
}

NoticeCenter::NoticeCenter(Presenter presenter, QObject* parent)
    : QObject(parent), m_presenter(std::move(presenter))
{
}

NoticeCenter::~NoticeCenter() = default;

bool NoticeCenter::isSuppressed(PedagogicalNotice notice)
{
    QSettings settings = appSettings();
    if (settings.value(suppressedKey(notice), false).toBool())
        return true;
    return notice == PedagogicalNotice::move &&
           settings.value(QLatin1String(kDidShowMoveKey), false).toBool();
}

void NoticeCenter::suppress(PedagogicalNotice notice)
{
    appSettings().setValue(suppressedKey(notice), true);
}

void NoticeCenter::resetSuppressed()
{
    QSettings settings = appSettings();
    const QStringList keys = settings.allKeys();
    for (const QString& key : keys) {
        if (key.startsWith(QLatin1String(kSuppressedPrefix)) ||
            key == QLatin1String(kDidShowMoveKey))
            settings.remove(key);
    }
}

void NoticeCenter::enqueue(PedagogicalNotice notice)
{
    if (isSuppressed(notice) || m_showing == notice || m_queue.contains(notice))
        return;
    m_queue.append(notice);
    showNext();
}

void NoticeCenter::showNext()
{
    if (m_showing)
        return;
    while (!m_queue.isEmpty()) {
        const PedagogicalNotice next = m_queue.takeFirst();
        if (isSuppressed(next))
            continue;
        m_showing = next;
        if (!m_presenter) {
            m_showing.reset();
            continue;
        }
        QPointer<NoticeCenter> self(this);
        m_presenter(next, [self, next, done = false](bool suppress) mutable {
            if (done || !self)
                return;
            done = true;
            self->closed(next, suppress);
        });
        return;
    }
}

void NoticeCenter::closed(PedagogicalNotice notice, bool suppressFlag)
{
    if (suppressFlag)
        suppress(notice);
    // The library notice already explains moving.
    if (notice == PedagogicalNotice::library)
        suppress(PedagogicalNotice::move);
    if (m_showing == notice)
        m_showing.reset();
    showNext();
}

NoticeObserver::NoticeObserver(NoticeCenter& center, PedagogicalNoticeQueue& queue, QObject* parent)
    : QObject(parent), m_center(center), m_queue(queue)
{
}

NoticeObserver::~NoticeObserver() = default;

void NoticeObserver::start()
{
    if (m_subscription)
        return;
    QPointer<NoticeObserver> self(this);
    m_subscription = Signals::observe(QLatin1String(SignalName::noticePosted), [self] {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self] {
                if (self)
                    self->drain();
            },
            Qt::QueuedConnection);
    });
    QMetaObject::invokeMethod(this, &NoticeObserver::drain, Qt::QueuedConnection);
}

void NoticeObserver::drain()
{
    const QList<PedagogicalNotice> notices = m_queue.drain();
    for (PedagogicalNotice notice : notices)
        m_center.enqueue(notice);
}

} // namespace pixavella
