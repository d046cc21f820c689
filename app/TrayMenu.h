#pragma once

#include <QList>
#include <QString>
#include <QUrl>

#include <functional>

class QMenu;

namespace pixavella {

class HistoryWindowController;
class SessionModel;
class SoftwareUpdater;
class UploadQuarantine;
class UploadReconciler;
class UploadStatusModel;

// One line of the tray menu.
struct MenuRow {
    enum class Kind { header, caption, divider, action, text, footer };
    Kind kind = Kind::action;
    QString title;
    QString symbol; // a bundled symbol's name, actions only
    bool disabled = false;
    std::function<void()> action;
};

// What the menu shows, read from the session, the status model and the updater.
struct MenuState {
    bool signedIn = false;
    QString email;
    QString statusLine;
    bool namesUnsaved = false;
    bool isRebuilding = false;
    qint64 failedCount = 0;
    bool busy = false;
    bool canCheckForUpdates = false;
    QString version;
};

// What the menu's rows do.
struct MenuActions {
    std::function<void()> retryFailed;
    std::function<void()> showFailed;
    std::function<void()> refresh;
    std::function<void()> openDrive;
    std::function<void()> showHistory;
    std::function<void()> openPhotoSpace;
    std::function<void()> openWebSite;
    std::function<void()> checkForUpdates;
    std::function<void()> signOut;
    std::function<void()> quit;
    std::function<void()> signIn;
};

namespace TrayMenu {

// The maker's web site, behind "Notre site internet".
QUrl webSite();

QList<MenuRow> rows(const MenuState& state, const MenuActions& actions);
// Replaces the menu's content with the rows; texts are plain items, disabled.
void fill(QMenu& menu, const QList<MenuRow>& rows);

// The product's state and actions. `updater` may be null (the entry stays disabled); the
// failed uploads are re-armed in `quarantine` and swept by `reconciler`; `openDrive`,
// `showSignIn` and `quit` belong to the program.
MenuState currentState(const SessionModel& session, const UploadStatusModel& status,
                       const SoftwareUpdater* updater);
MenuActions productActions(SessionModel& session, UploadStatusModel& status,
                           SoftwareUpdater* updater, UploadQuarantine& quarantine,
                           UploadReconciler& reconciler, HistoryWindowController& history,
                           std::function<void()> openDrive, std::function<void()> showSignIn,
                           std::function<void()> quit);

// Fills `menu` now and again before each time it opens, and whenever the models change.
void attach(QMenu& menu, SessionModel& session, UploadStatusModel& status, SoftwareUpdater* updater,
            MenuActions actions);

} // namespace TrayMenu
} // namespace pixavella
