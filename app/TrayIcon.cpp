#include "TrayIcon.h"

#include "SessionModel.h"
#include "SoftwareUpdater.h"
#include "Symbols.h"
#include "UploadStatusModel.h"

#include <QApplication>
#include <QCursor>
#include <QDesktopServices>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSystemTrayIcon>

namespace pixavella {

namespace {

// The symbol of the application itself (a photo over a second one).
const QString kAppSymbol = QStringLiteral("photos");

} // namespace

TrayIcon::TrayIcon(SessionModel& session, UploadStatusModel& status, SoftwareUpdater* updater,
                   MenuActions actions, QObject* parent)
    : QObject(parent), m_session(session), m_status(status), m_menu(std::make_unique<QMenu>()),
      m_icon(std::make_unique<QSystemTrayIcon>())
{
    TrayMenu::attach(*m_menu, session, status, updater, std::move(actions));
    m_icon->setContextMenu(m_menu.get());
    // The left button opens the same menu.
    connect(m_icon.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger && !m_menu->isVisible())
                    m_menu->popup(QCursor::pos());
            });
    for (auto signal : {&UploadStatusModel::statusChanged, &UploadStatusModel::failedCountChanged})
        connect(&status, signal, this, &TrayIcon::updateIcon);
    connect(&session, &SessionModel::isAuthenticatedChanged, this, &TrayIcon::updateIcon);
    connect(&session, &SessionModel::connectionChanged, this, &TrayIcon::updateIcon);
    if (updater)
        connect(updater, &SoftwareUpdater::checkFinished, this, &TrayIcon::updateFinished);
    updateIcon();
}

TrayIcon::~TrayIcon()
{
    m_icon->hide();
}

void TrayIcon::show()
{
    m_icon->show();
}

QColor TrayIcon::symbolColor()
{
    const QString desktop = qEnvironmentVariable("XDG_CURRENT_DESKTOP").toLower();
    for (const char* dark : {"gnome", "unity", "pantheon", "budgie"}) {
        if (desktop.contains(QLatin1String(dark)))
            return QColor(0xf2, 0xf2, 0xf2);
    }
    return QApplication::palette().color(QPalette::Active, QPalette::WindowText);
}

QIcon TrayIcon::statusIcon(const UploadStatus& status, qint64 failedCount, const QColor& color)
{
    QString name = statusIconPath(status, failedCount);
    name = name.isEmpty() ? kAppSymbol : name.section(QLatin1Char('/'), -1).chopped(4);
    QIcon icon;
    for (int size : {kIconSize, 22, 24, 32, 48})
        icon.addPixmap(symbolPixmap(name, color, size, 1.0));
    return icon;
}

void TrayIcon::updateIcon()
{
    m_icon->setIcon(statusIcon(m_status.status(), m_status.failedCount(), symbolColor()));
    m_icon->setToolTip(m_session.isAuthenticated()
                           ? QStringLiteral("Pixavella — ") + m_status.statusLine()
                           : QStringLiteral("Pixavella — ") + tr("Non connecté"));
}

void TrayIcon::updateFinished(bool updateAvailable, const QString& version, const QUrl& url,
                              const QString& errorText)
{
    auto* box = new QMessageBox;
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowTitle(QStringLiteral("Pixavella"));
    if (!errorText.isEmpty()) {
        box->setIcon(QMessageBox::Warning);
        box->setText(tr("Impossible de rechercher les mises à jour."));
        box->setInformativeText(errorText);
    } else if (updateAvailable) {
        box->setIcon(QMessageBox::Information);
        box->setText(tr("Pixavella %1 est disponible.").arg(version));
        box->setInformativeText(
            tr("Vous avez la version %1.").arg(SoftwareUpdater::buildVersion()));
        QPushButton* download = box->addButton(tr("Télécharger"), QMessageBox::AcceptRole);
        box->addButton(tr("Plus tard"), QMessageBox::RejectRole);
        connect(download, &QPushButton::clicked, box, [url] { QDesktopServices::openUrl(url); });
    } else {
        box->setIcon(QMessageBox::Information);
        box->setText(tr("Pixavella est à jour."));
        box->setInformativeText(tr("Version %1").arg(SoftwareUpdater::buildVersion()));
    }
    box->open();
    box->raise();
    box->activateWindow();
}

} // namespace pixavella
