#pragma once

#include "TrayMenu.h"
#include "UploadStatus.h"

#include <QColor>
#include <QIcon>
#include <QObject>

#include <memory>

class QMenu;
class QSystemTrayIcon;

namespace pixavella {

class SessionModel;
class SoftwareUpdater;
class UploadStatusModel;

// The tray icon: a monochrome symbol chosen by the upload status, and the menu of TrayMenu,
// opened by either button. Also tells the outcome of a manual update check.
class TrayIcon : public QObject {
    Q_OBJECT

public:
    static constexpr int kIconSize = 18;

    TrayIcon(SessionModel& session, UploadStatusModel& status, SoftwareUpdater* updater,
             MenuActions actions, QObject* parent = nullptr);
    ~TrayIcon() override;

    void show();
    QMenu* menu() const { return m_menu.get(); }
    QSystemTrayIcon* icon() const { return m_icon.get(); }

    // The status's symbol, or the application's own photo symbol, tinted `color`.
    static QIcon statusIcon(const UploadStatus& status, qint64 failedCount, const QColor& color);
    // Panels of GNOME-like desktops are dark whatever the theme; elsewhere the theme's text.
    static QColor symbolColor();

private:
    void updateIcon();
    void updateFinished(bool updateAvailable, const QString& version, const QUrl& url,
                        const QString& errorText);

    SessionModel& m_session;
    UploadStatusModel& m_status;
    std::unique_ptr<QMenu> m_menu;
    std::unique_ptr<QSystemTrayIcon> m_icon;
};

} // namespace pixavella
