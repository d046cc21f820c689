#include "DesktopNotifications.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QLoggingCategory>
#include <QVariantMap>

namespace pixavella {

namespace {

Q_LOGGING_CATEGORY(lcNotifications, "app.pixavella.notifications")

const QString kInterface = QString::fromLatin1(DesktopNotifications::kService);

QDBusMessage methodCall(const QString& method)
{
    return QDBusMessage::createMethodCall(
        kInterface, QString::fromLatin1(DesktopNotifications::kPath), kInterface, method);
}

} // namespace

DesktopNotifications::DesktopNotifications(QDBusConnection bus, QObject* parent)
    : QObject(parent), m_bus(std::move(bus))
{
    if (!m_bus.isConnected()) {
        qCWarning(lcNotifications) << "Pixavella: no session bus, notifications are not shown";
        return;
    }
    const QString path = QString::fromLatin1(kPath);
    m_bus.connect(kInterface, path, kInterface, QStringLiteral("ActionInvoked"), this,
                  SLOT(onActionInvoked(uint, QString)));
    m_bus.connect(kInterface, path, kInterface, QStringLiteral("NotificationClosed"), this,
                  SLOT(onNotificationClosed(uint, uint)));

    // Servers that read the body as markup would swallow a file name holding "<" or "&".
    auto* watcher = new QDBusPendingCallWatcher(
        m_bus.asyncCall(methodCall(QStringLiteral("GetCapabilities"))), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* call) {
                const QDBusPendingReply<QStringList> reply = *call;
                if (!reply.isError())
                    m_bodyMarkup = reply.value().contains(QStringLiteral("body-markup"));
                call->deleteLater();
            });
}

DesktopNotifications::~DesktopNotifications() = default;

void DesktopNotifications::post(const QString& requestId, const QString& category,
                                const QString& title, const QString& body,
                                const QList<Action>& actions)
{
    if (!m_bus.isConnected())
        return;
    Content content{title, bodyText(body), {}};
    for (const Action& action : actions)
        content.actions << action.key << action.title;

    Request& request = m_requests[requestId];
    request.category = category;
    request.closeWhenKnown = false;
    if (request.awaitingId) {
        request.next = std::move(content);
        return;
    }
    send(requestId, request, content);
}

void DesktopNotifications::withdraw(const QStringList& requestIds)
{
    for (const QString& requestId : requestIds) {
        auto it = m_requests.find(requestId);
        if (it == m_requests.end())
            continue;
        if (it->awaitingId) {
            it->next.reset();
            it->closeWhenKnown = true;
            continue;
        }
        close(it->serverId);
        m_requests.erase(it);
    }
}

void DesktopNotifications::send(const QString& requestId, Request& request, const Content& content)
{
    QDBusMessage call = methodCall(QStringLiteral("Notify"));
    call << QStringLiteral("Pixavella") << request.serverId << QString() << content.title
         << content.body << content.actions
         << QVariantMap{{QStringLiteral("desktop-entry"), QStringLiteral("pixavella")}}
         << qint32(-1);
    request.awaitingId = true;
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, requestId](QDBusPendingCallWatcher* answered) {
                onNotifyAnswered(requestId, answered);
            });
}

void DesktopNotifications::onNotifyAnswered(const QString& requestId,
                                            QDBusPendingCallWatcher* watcher)
{
    watcher->deleteLater();
    const QDBusPendingReply<uint> reply = *watcher;
    auto it = m_requests.find(requestId);
    if (it == m_requests.end())
        return;
    it->awaitingId = false;
    if (reply.isError()) {
        qCDebug(lcNotifications) << "Pixavella: notification not shown:" << reply.error().message();
        it->serverId = 0;
    } else {
        it->serverId = reply.value();
    }
    if (it->closeWhenKnown) {
        close(it->serverId);
        m_requests.erase(it);
        return;
    }
    if (it->next) {
        const Content content = std::move(*it->next);
        it->next.reset();
        send(requestId, *it, content);
    }
}

void DesktopNotifications::close(uint serverId)
{
    if (serverId == 0)
        return;
    QDBusMessage call = methodCall(QStringLiteral("CloseNotification"));
    call << serverId;
    m_bus.call(call, QDBus::NoBlock);
}

QString DesktopNotifications::requestOf(uint serverId) const
{
    for (auto it = m_requests.cbegin(); it != m_requests.cend(); ++it) {
        if (it->serverId == serverId)
            return it.key();
    }
    return {};
}

QString DesktopNotifications::bodyText(const QString& body) const
{
    return m_bodyMarkup ? body.toHtmlEscaped() : body;
}

void DesktopNotifications::onActionInvoked(uint serverId, const QString& actionKey)
{
    const QString requestId = requestOf(serverId);
    if (requestId.isEmpty())
        return; // another application's notification, or one we no longer show
    emit actionInvoked(requestId, m_requests.value(requestId).category, actionKey);
}

void DesktopNotifications::onNotificationClosed(uint serverId, uint /*reason*/)
{
    // The server id is spent: the next post under that identifier must not name it.
    // A post under way keeps its entry: its answer brings the new id.
    const QString requestId = requestOf(serverId);
    if (requestId.isEmpty())
        return;
    Request& request = m_requests[requestId];
    if (request.awaitingId)
        request.serverId = 0;
    else
        m_requests.remove(requestId);
}

} // namespace pixavella
