// The tray application `pixavella`: the session, the drive's domain, the upload reconciler
// and its notifications, and the tray icon. Without a display it runs headless: the session
// and the uploads go on, windows and the tray icon are skipped.
#include "AppDelegate.h"
#include "DeletionNotifier.h"
#include "DomainController.h"
#include "HistoryWindow.h"
#include "NoticeCenter.h"
#include "QuitSignals.h"
#include "SessionModel.h"
#include "SignInWindow.h"
#include "SoftwareUpdater.h"
#include "UploadReconciler.h"
#include "UploadStatusModel.h"

#include <QApplication>
#include <QIcon>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QSystemTrayIcon>

#include <cstdio>
#include <memory>

using namespace pixavella;

namespace {

bool hasDisplay()
{
    return !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
           !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

void tell(const QString& line)
{
    std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}

// A photo frame with a mountain, until the product's icon ships.
QIcon trayIcon()
{
    const QIcon themed = QIcon::fromTheme(QStringLiteral("image-x-generic"));
    if (!themed.isNull())
        return themed;
    QPixmap pixmap(22, 22);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::white, 2));
    painter.drawRoundedRect(QRectF(2, 4, 18, 14), 2, 2);
    painter.setBrush(Qt::white);
    painter.drawPolygon(QPolygonF(
        {QPointF(4, 16), QPointF(9, 10), QPointF(13, 14), QPointF(15, 12), QPointF(18, 16)}));
    return QIcon(pixmap);
}

// What only makes sense with windows: the menu's status and the notice panels it opens.
void wireWindows(SessionModel& session)
{
    UploadStatusModel* status = UploadStatusModel::shared();
    QObject::connect(&session, &SessionModel::servicesStarting, status, [status] {
        NoticeObserver::shared()->start();
        status->refresh();
    });
    QObject::connect(&session, &SessionModel::servicesStopping, status, &UploadStatusModel::stop);
}

void wireUploads(SessionModel& session, DomainController& domain)
{
    UploadReconciler* reconciler = UploadReconciler::shared();
    DeletionNotifier* deletions = DeletionNotifier::shared();
    QObject::connect(reconciler, &UploadReconciler::refreshRequested, &domain,
                     [&domain] { domain.signalAllFolders(); });
    QObject::connect(&session, &SessionModel::servicesStarting, reconciler,
                     [reconciler, deletions] {
                         deletions->start();
                         reconciler->start();
                     });
    QObject::connect(&session, &SessionModel::uploadSweepRequested, reconciler,
                     &UploadReconciler::kick);
}

} // namespace

int main(int argc, char** argv)
{
    const bool gui = hasDisplay();
    std::unique_ptr<QCoreApplication> app;
    if (gui) {
        auto* widgets = new QApplication(argc, argv);
        widgets->setQuitOnLastWindowClosed(false);
        app.reset(widgets);
    } else {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }
    QCoreApplication::setApplicationName(QStringLiteral("Pixavella"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PIXAVELLA_VERSION));
    quitOnTerminationSignals(*app);

    DomainController* domain = DomainController::shared();
    SessionModel* session = SessionModel::shared();
    wireUploads(*session, *domain);
    if (gui)
        wireWindows(*session);

    std::unique_ptr<SignInWindow> signInWindow;
    const auto showSignIn = [&signInWindow, session, gui] {
        if (!gui) {
            tell(QStringLiteral("Pixavella: pas d'affichage, fenêtre de connexion ignorée."));
            return;
        }
        if (!signInWindow)
            signInWindow = std::make_unique<SignInWindow>(*session);
        signInWindow->present();
    };
    QObject::connect(session, &SessionModel::signInWindowRequested, session, showSignIn);

    AppDelegate::Hooks hooks = AppDelegate::productHooks();
    hooks.showSignIn = showSignIn;
    if (gui) {
        hooks.showHistory = [] { HistoryWindowController::shared()->show(); };
        hooks.showNotice = [](PedagogicalNotice notice) {
            NoticeCenter::shared()->enqueue(notice);
        };
    }
    hooks.createUpdater = [] { SoftwareUpdater::shared(); };
    AppDelegate delegate(*domain, *session, hooks);

    std::unique_ptr<QSystemTrayIcon> tray;
    std::unique_ptr<QMenu> menu;
    if (gui && QSystemTrayIcon::isSystemTrayAvailable()) {
        menu = std::make_unique<QMenu>();
        QObject::connect(menu->addAction(QObject::tr("Quitter")), &QAction::triggered, &delegate,
                         [&delegate] {
                             delegate.shouldTerminate([](bool quit) {
                                 if (quit)
                                     QCoreApplication::quit();
                             });
                         });
        tray = std::make_unique<QSystemTrayIcon>(trayIcon());
        tray->setToolTip(QStringLiteral("Pixavella"));
        tray->setContextMenu(menu.get());
        tray->show();
    } else {
        tell(QStringLiteral("Pixavella: pas de zone de notification, icône ignorée; la session "
                            "et les envois continuent."));
    }

    delegate.didFinishLaunching(QCoreApplication::arguments());
    const int status = app->exec();
    delegate.willTerminate();
    signInWindow.reset();
    tray.reset();
    menu.reset();
    return status;
}
