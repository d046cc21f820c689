#pragma once

#include <QDBusConnection>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <optional>

class QDBusPendingCallWatcher;

namespace pixavella {

// The desktop's notification service (org.freedesktop.Notifications on the session bus),
// addressed the way the application thinks of notifications: by a request identifier of its
// own choosing. Posting again under an identifier replaces the notification shown under it;
// withdrawing closes it. The server's numeric ids stay inside this class.
//
// Main thread only. Calls are asynchronous and fire-and-forget: without a notification server
// nothing is shown and nothing is reported.
class DesktopNotifications : public QObject {
    Q_OBJECT

public:
    struct Action {
        QString key;   // "default" is the click on the notification itself
        QString title; // shown on the button; unused for "default"
    };

    static constexpr const char* kService = "org.freedesktop.Notifications";
    static constexpr const char* kPath = "/org/freedesktop/Notifications";
    static constexpr const char* kDefaultAction = "default";

    explicit DesktopNotifications(QDBusConnection bus, QObject* parent = nullptr);
    ~DesktopNotifications() override;

    // Shows `body` under `requestId`, replacing what that identifier shows. `category` tells
    // whose notification it is when the user answers it.
    void post(const QString& requestId, const QString& category, const QString& title,
              const QString& body, const QList<Action>& actions = {});
    // Closes what these identifiers show; unknown identifiers are ignored.
    void withdraw(const QStringList& requestIds);

signals:
    // The user chose `actionKey` on the notification shown under `requestId`.
    void actionInvoked(const QString& requestId, const QString& category, const QString& actionKey);

private slots:
    void onActionInvoked(uint serverId, const QString& actionKey);
    void onNotificationClosed(uint serverId, uint reason);

private:
    struct Content {
        QString title;
        QString body;
        QStringList actions; // key, title, key, title…
    };
    // One request identifier. While the server has not yet answered a Notify, its id is
    // unknown: a newer post waits in `next` (so it replaces rather than adds) and a withdrawal
    // is remembered in `closeWhenKnown`.
    struct Request {
        QString category;
        uint serverId = 0;
        bool awaitingId = false;
        std::optional<Content> next;
        bool closeWhenKnown = false;
    };

    void send(const QString& requestId, Request& request, const Content& content);
    void onNotifyAnswered(const QString& requestId, QDBusPendingCallWatcher* watcher);
    void close(uint serverId);
    QString requestOf(uint serverId) const;
    QString bodyText(const QString& body) const;

    QDBusConnection m_bus;
    QHash<QString, Request> m_requests;
    bool m_bodyMarkup = false; // the server reads the body as markup: escape it
};

} // namespace pixavella
