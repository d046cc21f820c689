// The tray application `pixavella`: the session, the drive's domain, the upload reconciler
// and its notifications, the tray icon and the windows. Runs once per user: a second start
// hands its switches to the running one. Without a display it runs headless: the session and
// the uploads go on, windows and the tray icon are skipped.
#include "AppDelegate.h"
#include "AppServices.h"
#include "HttpSession.h"
#include "InstanceChannel.h"
#include "LaunchOptions.h"
#include "Log.h"
#include "LoginWindow.h"
#include "PrivateFiles.h"
#include "QuitSignals.h"
#include "SettingsSuite.h"
#include "TrayIcon.h"
#include "TrayMenu.h"
#include "UploadQuarantine.h"

#include <QApplication>
#include <QSystemTrayIcon>

#include <cstdio>
#include <memory>
#include <optional>

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

void wireUploads(AppServices& services)
{
    SessionModel& session = services.session;
    DomainController& domain = services.domain;
    UploadReconciler* reconciler = &services.reconciler;
    DeletionNotifier* deletions = &services.deletions;
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
void wireStatus(AppServices& services)
{
    SessionModel& session = services.session;
    UploadStatusModel* status = services.status.get();
    NoticeObserver* notices = services.noticeObserver.get();
    QObject::connect(&session, &SessionModel::servicesStarting, status, [status, notices] {
        notices->start();
        status->refresh();
    });
    QObject::connect(&session, &SessionModel::servicesStopping, status, &UploadStatusModel::stop);
    QObject::connect(&services.reconciler, &UploadReconciler::statusRefreshRequested, status,
                     &UploadStatusModel::requestRefresh);
    QObject::connect(&session, &SessionModel::connectionChanged, status,
                     &UploadStatusModel::requestRefresh);
}

} // namespace

int main(int argc, char** argv)
{
    const bool gui = hasDisplay();
    // Declared before the application so that it goes after it: answers still on their way
    // when it quits may reach the stores until then.
    std::optional<AppStores> stores;
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

    // Destroyed after the windows, the tray and the delegate below, which use what it holds.
    stores.emplace(SettingsSuite::shared(), HttpSession::shared(), UploadQuarantine::shared());
    AppServices services(gui, *stores, SettingsSuite::shared(), HttpSession::shared());
    DomainController* domain = &services.domain;
    SessionModel* session = &services.session;
    wireUploads(services);
    if (gui)
        wireStatus(services);

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
        hooks.showHistory = [&services] { services.history->show(); };
        hooks.showNotice = [&services](PedagogicalNotice notice) {
            services.notices->enqueue(notice);
        };
    }
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
            *session, *services.status, &services.updater, services.quarantine, services.reconciler,
            *services.history, [domain] { domain->openInFileManager(); }, showSignIn, quit);
        tray = std::make_unique<TrayIcon>(*session, *services.status, &services.updater,
                                          std::move(actions));
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
