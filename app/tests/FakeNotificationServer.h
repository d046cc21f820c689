#pragma once

// A notification server (org.freedesktop.Notifications) for tests, on its own connection to
// the session bus and its own thread, so the product's calls cross the real bus. It records
// Notify and CloseNotification and can send ActionInvoked as a desktop would.

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QMutex>
#include <QMutexLocker>
#include <QObject>
#include <QStringList>
#include <QThread>
#include <QVariantMap>

#include <memory>

namespace pixavella::testing {

inline const QString kNotificationsName = QStringLiteral("org.freedesktop.Notifications");
inline const QString kNotificationsPath = QStringLiteral("/org/freedesktop/Notifications");

struct NotifyCall {
    uint replacesId = 0;
    QString summary;
    QString body;
    QStringList actions; // key, title, key, title…
    uint id = 0;         // the id answered
};

class NotificationRecorder : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    QList<NotifyCall> notifies() const
    {
        QMutexLocker locker(&m_mutex);
        return m_notifies;
    }
    QList<uint> closes() const
    {
        QMutexLocker locker(&m_mutex);
        return m_closes;
    }
    void setCapabilities(const QStringList& capabilities)
    {
        QMutexLocker locker(&m_mutex);
        m_capabilities = capabilities;
    }
    void clear()
    {
        QMutexLocker locker(&m_mutex);
        m_notifies.clear();
        m_closes.clear();
    }

    QDBusConnection* connection = nullptr;

public slots:
    uint Notify(const QString& /*appName*/, uint replacesId, const QString& /*icon*/,
                const QString& summary, const QString& body, const QStringList& actions,
                const QVariantMap& /*hints*/, int /*timeout*/)
    {
        QMutexLocker locker(&m_mutex);
        const uint id = replacesId != 0 ? replacesId : ++m_lastId;
        m_notifies.append({replacesId, summary, body, actions, id});
        return id;
    }
    void CloseNotification(uint id)
    {
        {
            QMutexLocker locker(&m_mutex);
            m_closes.append(id);
        }
        connection->send(QDBusMessage::createSignal(kNotificationsPath, kNotificationsName,
                                                    QStringLiteral("NotificationClosed"))
                         << id << uint(3));
    }
    QStringList GetCapabilities()
    {
        QMutexLocker locker(&m_mutex);
        return m_capabilities;
    }
    QString GetServerInformation(QString& vendor, QString& version, QString& specVersion)
    {
        vendor = QStringLiteral("Pixavella tests");
        version = QStringLiteral("1");
        specVersion = QStringLiteral("1.2");
        return QStringLiteral("fake");
    }

private:
    mutable QMutex m_mutex;
    QList<NotifyCall> m_notifies;
    QList<uint> m_closes;
    QStringList m_capabilities{QStringLiteral("actions"), QStringLiteral("body")};
    uint m_lastId = 0;
};

class FakeNotificationServer {
public:
    FakeNotificationServer()
        : m_connection(QDBusConnection::connectToBus(QDBusConnection::SessionBus,
                                                     QStringLiteral("fake-notifications")))
    {
        m_recorder.connection = &m_connection;
        m_recorder.moveToThread(&m_thread);
        m_thread.start();
    }
    ~FakeNotificationServer()
    {
        m_connection.unregisterObject(kNotificationsPath);
        m_connection.unregisterService(kNotificationsName);
        m_thread.quit();
        m_thread.wait();
        QDBusConnection::disconnectFromBus(QStringLiteral("fake-notifications"));
    }

    bool start()
    {
        return m_connection.isConnected() &&
               m_connection.registerObject(kNotificationsPath, &m_recorder,
                                           QDBusConnection::ExportAllSlots) &&
               m_connection.registerService(kNotificationsName);
    }

    NotificationRecorder& recorder() { return m_recorder; }
    QList<NotifyCall> notifies() const { return m_recorder.notifies(); }
    QList<uint> closes() const { return m_recorder.closes(); }

    // The desktop reports a click on `actionKey` of notification `id`.
    void invoke(uint id, const QString& actionKey)
    {
        m_connection.send(QDBusMessage::createSignal(kNotificationsPath, kNotificationsName,
                                                     QStringLiteral("ActionInvoked"))
                          << id << actionKey);
    }

    // Returns once every call the application's connection sent before has been recorded:
    // one bus connection delivers in order, and the recorder answers in order.
    static void flush()
    {
        QDBusConnection::sessionBus().call(QDBusMessage::createMethodCall(
            kNotificationsName, kNotificationsPath, kNotificationsName,
            QStringLiteral("GetServerInformation")));
    }

private:
    QDBusConnection m_connection;
    QThread m_thread;
    NotificationRecorder m_recorder;
};

} // namespace pixavella::testing
