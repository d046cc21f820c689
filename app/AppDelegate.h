#pragma once

#include "PedagogicalNotice.h"
#include "QuitConfirmation.h"

#include <QObject>
#include <QStringList>

#include <functional>

namespace pixavella {

class DomainController;
class SessionModel;

// What happens between launch and quit: the command-line switches, the login item, the
// session's start, the windows asked for at launch, the quit confirmation and the removal of
// the domain at quit. Main thread only.
class AppDelegate : public QObject {
    Q_OBJECT

public:
    // Pieces that live elsewhere; an empty one is skipped.
    struct Hooks {
        std::function<void()> registerLoginItem;
        std::function<void()> createUpdater;
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

    void didFinishLaunching(const QStringList& arguments);
    // Replies true when the application may quit now (possibly after the alert).
    void shouldTerminate(std::function<void(bool quit)> reply);
    // Removes the domain, blocking at most five seconds.
    void willTerminate();

private:
    DomainController& m_domain;
    SessionModel& m_session;
    Hooks m_hooks;
};

} // namespace pixavella
