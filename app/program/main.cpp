// The tray application `pixavella`: the session, the drive's domain, the upload reconciler
// and its notifications, the tray icon and the windows. Runs once per user: a second start
// hands its switches to the running one. Without a display it runs headless: the session and
// the uploads go on, windows and the tray icon are skipped.
#include "AppDelegate.h"
#include "DeletionNotifier.h"
#include "DomainController.h"
#include "HistoryWindow.h"
#include "InstanceChannel.h"
#include "LaunchOptions.h"
#include "PrivateFiles.h"
#include "Log.h"
#include "LoginWindow.h"
#include "NoticeCenter.h"
#include "QuitSignals.h"
#include "SessionModel.h"
#include "SoftwareUpdater.h"
#include "TrayIcon.h"
#include "UploadReconciler.h"
#include "UploadStatusModel.h"

#include <QApplication>
#include <QSystemTrayIcon>

#include <cstdio>
#include <memory>

using namespace pixavella;

namespace {

// A sign-in through a running application waits for the server's answers.
constexpr std::chrono::seconds kForwardTimeout{120};

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

// Read once and taken out of the environment, so that the drive's daemon never inherits it.
QString takePassword()
{
    const QString password = qEnvironmentVariable(LaunchOptions::kPasswordVariable);
    qunsetenv(LaunchOptions::kPasswordVariable);
    return password;
}

int forwardToRunningApplication(const InstanceChannel::Request& request)
{
    const Result<InstanceChannel::Reply> reply = InstanceChannel::forward(request, kForwardTimeout);
    if (!reply) {
        tell(QStringLiteral("Pixavella: l'application déjà lancée ne répond pas (") +
             reply.error().description + QLatin1Char(')'));
        return 1;
    }
    if (!reply.value().message.isEmpty())
        tell(reply.value().message);
    return reply.value().exitCode;
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
    QObject::connect(&session, &SessionModel::servicesStopping, reconciler,
                     &UploadReconciler::stop);
    QObject::connect(&session, &SessionModel::uploadSweepRequested, reconciler,
                     &UploadReconciler::kick);
}

// What only makes sense with windows: the status model (it opens notice panels), the notices.
void wireStatus(SessionModel& session)
{
    UploadStatusModel* status = UploadStatusModel::shared();
    QObject::connect(&session, &SessionModel::servicesStarting, status, [status] {
        NoticeObserver::shared()->start();
        status->refresh();
    });
    QObject::connect(&session, &SessionModel::servicesStopping, status, &UploadStatusModel::stop);
    QObject::connect(UploadReconciler::shared(), &UploadReconciler::statusRefreshRequested, status,
                     &UploadStatusModel::requestRefresh);
    QObject::connect(&session, &SessionModel::connectionChanged, status,
                     &UploadStatusModel::requestRefresh);
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

    const QStringList arguments = QCoreApplication::arguments();
    const LaunchOptions options = LaunchOptions::parse(arguments);
    Log::configure(options.verbose);
    if (options.help) {
        std::fputs(LaunchOptions::helpText().toLocal8Bit().constData(), stdout);
        return 0;
    }
    PrivateFiles::keepPrivate();
    // Only a sign-in needs it; it travels no further than that.
    const QString password = options.signInEmail ? takePassword() : QString();
    qunsetenv(LaunchOptions::kPasswordVariable);
    InstanceChannel channel;
    if (!channel.claim())
        return forwardToRunningApplication({arguments, password});
    quitOnTerminationSignals(*app);

    DomainController* domain = DomainController::shared();
    SessionModel* session = SessionModel::shared();
    wireUploads(*session, *domain);
    if (gui)
        wireStatus(*session);

    std::unique_ptr<LoginWindowController> login;
    if (gui)
        login = std::make_unique<LoginWindowController>(*session);
    const auto showSignIn = [&login] {
        if (login)
            login->show();
        else
            tell(QStringLiteral("Pixavella: pas d'affichage, fenêtre de connexion ignorée."));
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

    std::unique_ptr<TrayIcon> tray;
    if (gui && QSystemTrayIcon::isSystemTrayAvailable()) {
        const auto quit = [&delegate] {
            delegate.shouldTerminate([](bool quit) {
                if (quit)
                    QCoreApplication::quit();
            });
        };
        MenuActions actions = TrayMenu::productActions(
            *session, *UploadStatusModel::shared(), SoftwareUpdater::shared(),
            [domain] { domain->openInFileManager(); }, showSignIn, quit);
        tray = std::make_unique<TrayIcon>(*session, *UploadStatusModel::shared(),
                                          SoftwareUpdater::shared(), std::move(actions));
        tray->show();
    } else {
        tell(QStringLiteral("Pixavella: pas de zone de notification, icône ignorée; la session "
                            "et les envois continuent."));
    }

    const Result<void> listening = channel.listen(
        [&delegate](const InstanceChannel::Request& request, InstanceChannel::Respond respond) {
            delegate.handleForwarded(request, std::move(respond));
        });
    if (!listening)
        tell(QStringLiteral("Pixavella: les lancements suivants ne pourront pas joindre "
                            "celui-ci (") +
             listening.error().description + QLatin1Char(')'));

    // A start that cannot sign in as asked ends there, with the sign-in window's message.
    delegate.didFinishLaunching(arguments, password, [](const InstanceChannel::Reply& reply) {
        if (reply.exitCode == 0)
            return;
        tell(reply.message);
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [code = reply.exitCode] { QCoreApplication::exit(code); },
            Qt::QueuedConnection);
    });
    const int status = app->exec();
    delegate.willTerminate();
    tray.reset();
    login.reset();
    return status;
}
