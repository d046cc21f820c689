#include "AppDelegate.h"

#include "DomainController.h"
#include "LaunchOptions.h"
#include "Log.h"
#include "LoginItem.h"
#include "NoticeCenter.h"
#include "SessionModel.h"
#include "SharedSettings.h"

#include <QPointer>

Q_LOGGING_CATEGORY(lcLaunch, "app.pixavella.launch")

namespace pixavella {

namespace {

void run(const std::function<void()>& hook)
{
    if (hook)
        hook();
}

} // namespace

AppDelegate::Hooks AppDelegate::productHooks()
{
    Hooks hooks;
    hooks.registerLoginItem = &LoginItem::registerLoginItem;
    hooks.resetNotices = &NoticeCenter::resetSuppressed;
    hooks.quitPrompt = &QuitConfirmation::showAlert;
    return hooks;
}

AppDelegate::AppDelegate(DomainController& domain, SessionModel& session, Hooks hooks,
                         QObject* parent)
    : QObject(parent), m_domain(domain), m_session(session), m_hooks(std::move(hooks))
{
}

// Gathers the replies of the scripted switches into the one reply of a command line: sent
// when the last step finished, with the highest exit code and the messages of the failures.
class AppDelegate::Outcome {
public:
    explicit Outcome(InstanceChannel::Respond reply) : m_reply(std::move(reply)) {}
    ~Outcome()
    {
        if (m_reply)
            m_reply(m_result);
    }

    void fail(const QString& message)
    {
        m_result.exitCode = 1;
        m_result.message +=
            (m_result.message.isEmpty() ? QString() : QStringLiteral("\n")) + message;
    }

private:
    InstanceChannel::Respond m_reply;
    InstanceChannel::Reply m_result;
};

void AppDelegate::didFinishLaunching(const QStringList& arguments, const QString& password,
                                     InstanceChannel::Respond reply)
{
    // The reply goes out when the last step lets go of the outcome.
    auto outcome = std::make_shared<Outcome>(std::move(reply));
    const LaunchOptions options = LaunchOptions::parse(arguments);
    useServer(options);
    if (options.remove)
        m_domain.removeDomain();
    else if (options.reset)
        m_domain.resetDomain();

    run(m_hooks.registerLoginItem);
    signOut(options, outcome);
    m_session.start();
    openWindows(options);
    signIn(options, password, outcome);
}

void AppDelegate::handleForwarded(const InstanceChannel::Request& request,
                                  InstanceChannel::Respond reply)
{
    auto outcome = std::make_shared<Outcome>(std::move(reply));
    const LaunchOptions options = LaunchOptions::parse(request.arguments);
    useServer(options);
    if (options.remove) {
        m_domain.removeDomain();
        if (m_session.isAuthenticated())
            m_domain.registerDomain();
    } else if (options.reset) {
        m_domain.resetDomain();
    }
    signOut(options, outcome);
    openWindows(options);
    signIn(options, request.password, outcome);
}

void AppDelegate::useServer(const LaunchOptions& options)
{
    if (options.server)
        m_session.useServer(*options.server);
    else if (options.serverRejected)
        qCWarning(lcLaunch).noquote()
            << PIXAVELLA_LOG_PREFIX "--server attend une adresse http(s)://…, ignoré";
}

void AppDelegate::openWindows(const LaunchOptions& options)
{
    // A scripted sign-in stands for the window.
    if ((!m_session.isAuthenticated() && !options.signInEmail) || options.showLogin)
        run(m_hooks.showSignIn);
    if (options.showHistory)
        run(m_hooks.showHistory);
    if (options.resetNotices)
        run(m_hooks.resetNotices);
    if (options.showNotice && m_hooks.showNotice) {
        QMetaObject::invokeMethod(
            this, [this, notice = *options.showNotice] { m_hooks.showNotice(notice); },
            Qt::QueuedConnection);
    }
}

void AppDelegate::signOut(const LaunchOptions& options, const std::shared_ptr<Outcome>& outcome)
{
    if (options.signOut)
        m_session.signOut([outcome] {});
}

void AppDelegate::signIn(const LaunchOptions& options, const QString& password,
                         const std::shared_ptr<Outcome>& outcome)
{
    if (!options.signInEmail)
        return;
    m_session.signIn(SharedSettings::serverURL(), *options.signInEmail, password,
                     [outcome](const std::optional<QString>& error) {
                         if (error)
                             outcome->fail(*error);
                     });
}

void AppDelegate::shouldTerminate(std::function<void(bool quit)> reply)
{
    QuitConfirmation::decide(m_session.isAuthenticated(), m_hooks.quitPrompt, std::move(reply));
}

void AppDelegate::willTerminate()
{
    m_domain.removeDomainAndWait(DomainController::kQuitRemovalTimeout);
}

} // namespace pixavella
