#include "AppDelegate.h"

#include "DomainController.h"
#include "LaunchOptions.h"
#include "Log.h"
#include "LoginItem.h"
#include "NoticeCenter.h"
#include "SessionModel.h"

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

void AppDelegate::didFinishLaunching(const QStringList& arguments)
{
    const LaunchOptions options = LaunchOptions::parse(arguments);
    if (options.server)
        m_session.useServer(*options.server);
    else if (options.serverRejected)
        qCWarning(lcLaunch).noquote()
            << PIXAVELLA_LOG_PREFIX "--server attend une adresse http(s)://…, ignoré";

    if (options.remove)
        m_domain.removeDomain();
    else if (options.reset)
        m_domain.resetDomain();

    run(m_hooks.registerLoginItem);
    run(m_hooks.createUpdater);
    m_session.start();

    if (!m_session.isAuthenticated() || options.showLogin)
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

void AppDelegate::shouldTerminate(std::function<void(bool quit)> reply)
{
    QuitConfirmation::decide(m_session.isAuthenticated(), m_hooks.quitPrompt, std::move(reply));
}

void AppDelegate::willTerminate()
{
    m_domain.removeDomainAndWait(DomainController::kQuitRemovalTimeout);
}

} // namespace pixavella
