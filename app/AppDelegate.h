#pragma once

#include "InstanceChannel.h"
#include "PedagogicalNotice.h"
#include "QuitConfirmation.h"

#include <QObject>
#include <QStringList>

#include <functional>
#include <memory>

namespace pixavella {

class DomainController;
struct LaunchOptions;
class SessionModel;

// What happens between launch and quit: the command-line switches (at launch and those a later
// start of the program hands over), the login item, the session's start, the windows asked
// for, the quit confirmation and the removal of the domain at quit. Main thread only.
class AppDelegate : public QObject {
    Q_OBJECT

public:
    // Pieces that live elsewhere; an empty one is skipped.
    struct Hooks {
        std::function<void()> registerLoginItem;
        std::function<void()> showSignIn;
        std::function<void()> showHistory;
        std::function<void()> resetNotices;
        std::function<void(PedagogicalNotice)> showNotice;
        QuitConfirmation::Prompt quitPrompt;
    };

    // The product's hooks: the autostart entry, the alert, the notices' suppression flags;
    // the windows are left to the program.
    static Hooks productHooks();

    AppDelegate(DomainController& domain, SessionModel& session, Hooks hooks,
                QObject* parent = nullptr);

    // `reply` runs once the scripted switches ("--sign-out", then "--sign-in" with `password`)
    // are done, at once without them; a non-zero code means a start that cannot go on.
    void didFinishLaunching(const QStringList& arguments, const QString& password = {},
                            InstanceChannel::Respond reply = {});
    // The switches of a later start of the program, applied to the running session.
    void handleForwarded(const InstanceChannel::Request& request, InstanceChannel::Respond reply);
    // Replies true when the application may quit now (possibly after the alert).
    void shouldTerminate(std::function<void(bool quit)> reply);
    // Removes the domain, blocking at most five seconds.
    void willTerminate();

private:
    class Outcome;

    void useServer(const LaunchOptions& options);
    void openWindows(const LaunchOptions& options);
    void signOut(const LaunchOptions& options, const std::shared_ptr<Outcome>& outcome);
    void signIn(const LaunchOptions& options, const QString& password,
                const std::shared_ptr<Outcome>& outcome);

    DomainController& m_domain;
    SessionModel& m_session;
    Hooks m_hooks;
};

} // namespace pixavella
