#include "TrayMenu.h"

#include "DomainController.h"
#include "HistoryWindow.h"
#include "SessionModel.h"
#include "SharedSettings.h"
#include "SoftwareUpdater.h"
#include "Symbols.h"
#include "UploadQuarantine.h"
#include "UploadReconciler.h"
#include "UploadStatusModel.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QVBoxLayout>
#include <QWidgetAction>

namespace pixavella::TrayMenu {

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("TrayMenu", text);
}

constexpr qint64 kGivenUpAttempts = 5;

MenuRow row(const QString& title, const char* symbol, std::function<void()> action,
            bool disabled = false)
{
    return {MenuRow::Kind::action, title, QLatin1String(symbol), disabled, std::move(action)};
}

MenuRow text(MenuRow::Kind kind, const QString& title)
{
    return {kind, title, {}, true, {}};
}

MenuRow divider()
{
    return {MenuRow::Kind::divider, {}, {}, true, {}};
}

QWidgetAction* labelAction(QMenu& menu, const MenuRow& row)
{
    auto* label = new QLabel(row.title);
    label->setTextFormat(Qt::PlainText);
    QFont font = label->font();
    int top = 2;
    int bottom = 2;
    switch (row.kind) {
    case MenuRow::Kind::header:
        font.setWeight(QFont::DemiBold);
        top = 6;
        break;
    case MenuRow::Kind::caption:
    case MenuRow::Kind::footer:
        font.setPointSizeF(font.pointSizeF() * 0.9);
        label->setForegroundRole(QPalette::PlaceholderText);
        bottom = row.kind == MenuRow::Kind::footer ? 6 : 2;
        break;
    default:
        top = 6;
        bottom = 6;
        break;
    }
    label->setFont(font);
    // The row is disabled so that it never highlights; its text keeps the enabled colours.
    QPalette palette = label->palette();
    for (auto role : {QPalette::WindowText, QPalette::PlaceholderText})
        palette.setColor(QPalette::Disabled, role, palette.color(QPalette::Active, role));
    label->setPalette(palette);
    // Lined up with the titles of the rows, past the icon column.
    label->setContentsMargins(12, top, 16, bottom);
    auto* action = new QWidgetAction(&menu);
    action->setDefaultWidget(label);
    // Menus exported over D-Bus (StatusNotifierItem) show the text, not the widget.
    action->setText(row.title);
    action->setEnabled(false);
    return action;
}

void openUrl(const QUrl& url)
{
    QDesktopServices::openUrl(url);
}

} // namespace

QUrl webSite()
{
    return QUrl(QStringLiteral("https://pixavella.app"));
}

QList<MenuRow> rows(const MenuState& state, const MenuActions& actions)
{
    const MenuRow checkUpdates = row(tr("Rechercher les mises à jour…"), "updates",
                                     actions.checkForUpdates, !state.canCheckForUpdates);
    const MenuRow quit = row(tr("Quitter Pixavella"), "power", actions.quit);
    const MenuRow footer = text(MenuRow::Kind::footer, tr("Version ") + state.version);

    if (!state.signedIn) {
        return {text(MenuRow::Kind::text, tr("Non connecté")),
                row(tr("Se connecter…"), "person", actions.signIn),
                divider(),
                checkUpdates,
                quit,
                footer};
    }

    QList<MenuRow> rows;
    rows << text(MenuRow::Kind::header, tr("Connecté en tant que ") + state.email);
    rows << text(MenuRow::Kind::caption, state.statusLine);
    if (state.namesUnsaved)
        rows << text(MenuRow::Kind::caption,
                     tr("⚠ Les nouveaux noms de photos ne peuvent pas être enregistrés pour le "
                        "moment"));
    if (state.isRebuilding)
        rows << text(MenuRow::Kind::caption, tr("Rafraîchissement en cours…"));
    rows << divider();
    if (state.failedCount >= 1) {
        rows << row(tr("Réessayer ") + QString::number(state.failedCount) + tr(" envois en échec"),
                    "retry", actions.retryFailed);
        rows << row(tr("Voir les envois échoués"), "warning", actions.showFailed);
        rows << divider();
    }
    rows << row(state.isRebuilding ? tr("Rafraîchissement…") : tr("Rafraîchir"), "refresh",
                actions.refresh, state.isRebuilding || state.busy);
    rows << row(tr("Ouvrir le dossier Pixavella"), "folder", actions.openDrive);
    rows << row(tr("Historique des envois"), "history", actions.showHistory);
    rows << divider();
    rows << row(tr("Votre espace photos"), "photos", actions.openPhotoSpace);
    rows << row(tr("Notre site internet"), "globe", actions.openWebSite);
    rows << divider();
    rows << checkUpdates;
    rows << row(tr("Se déconnecter"), "sign-out", actions.signOut);
    rows << quit;
    rows << footer;
    return rows;
}

void fill(QMenu& menu, const QList<MenuRow>& rows)
{
    menu.clear();
    const QColor color = menu.palette().color(QPalette::Active, QPalette::Text);
    for (const MenuRow& row : rows) {
        switch (row.kind) {
        case MenuRow::Kind::divider:
            menu.addSeparator();
            break;
        case MenuRow::Kind::action: {
            QAction* action = menu.addAction(symbolIcon(row.symbol, color), row.title);
            action->setEnabled(!row.disabled);
            action->setIconVisibleInMenu(true);
            if (row.action)
                QObject::connect(action, &QAction::triggered, &menu, row.action);
            break;
        }
        default:
            menu.addAction(labelAction(menu, row));
            break;
        }
    }
}

MenuState currentState(const SessionModel& session, const UploadStatusModel& status,
                       const SoftwareUpdater* updater)
{
    MenuState state;
    state.signedIn = session.isAuthenticated();
    state.email = session.email();
    state.statusLine = status.statusLine();
    state.namesUnsaved = status.namesUnsaved();
    state.isRebuilding = session.isRebuilding();
    state.failedCount = status.failedCount();
    state.busy = status.isBusy();
    state.canCheckForUpdates = updater && updater->canCheckForUpdates();
    state.version = SoftwareUpdater::buildVersion();
    return state;
}

MenuActions productActions(SessionModel& session, UploadStatusModel& status,
                           SoftwareUpdater* updater, UploadQuarantine& quarantine,
                           UploadReconciler& reconciler, HistoryWindowController& history,
                           std::function<void()> openDrive, std::function<void()> showSignIn,
                           std::function<void()> quit)
{
    QPointer<SessionModel> sessionRef(&session);
    QPointer<UploadStatusModel> statusRef(&status);
    QPointer<SoftwareUpdater> updaterRef(updater);
    QPointer<UploadReconciler> reconcilerRef(&reconciler);
    QPointer<HistoryWindowController> historyRef(&history);
    MenuActions actions;
    actions.retryFailed = [&quarantine, reconcilerRef, statusRef] {
        for (const auto& entry : quarantine.list()) {
            if (entry.attempts >= kGivenUpAttempts)
                quarantine.resetAttempts(entry.id);
        }
        if (reconcilerRef)
            reconcilerRef->kick();
        if (statusRef)
            statusRef->requestRefresh();
    };
    actions.showFailed = [] {
        const QString drive = DomainController::fallbackFolder().toLocalFile();
        openUrl(QUrl::fromLocalFile(QDir(drive).filePath(
            QCoreApplication::translate("TrayMenu", "Mes photos") + QLatin1Char('/') +
            QCoreApplication::translate("TrayMenu", "Envois échoués"))));
    };
    actions.refresh = [sessionRef] {
        if (sessionRef)
            sessionRef->rebuild();
    };
    actions.openDrive = std::move(openDrive);
    actions.showHistory = [historyRef] {
        if (historyRef)
            historyRef->show();
    };
    actions.openPhotoSpace = [] { openUrl(QUrl(SharedSettings::serverURL())); };
    actions.openWebSite = [] { openUrl(webSite()); };
    actions.checkForUpdates = [updaterRef] {
        if (updaterRef)
            updaterRef->checkForUpdates();
    };
    actions.signOut = [sessionRef] {
        if (sessionRef)
            sessionRef->signOut();
    };
    actions.quit = std::move(quit);
    actions.signIn = std::move(showSignIn);
    return actions;
}

void attach(QMenu& menu, SessionModel& session, UploadStatusModel& status, SoftwareUpdater* updater,
            MenuActions actions)
{
    QPointer<QMenu> menuRef(&menu);
    QPointer<SessionModel> sessionRef(&session);
    QPointer<UploadStatusModel> statusRef(&status);
    QPointer<SoftwareUpdater> updaterRef(updater);
    auto refill = [menuRef, sessionRef, statusRef, updaterRef, actions] {
        if (!menuRef || !sessionRef || !statusRef)
            return;
        fill(*menuRef, rows(currentState(*sessionRef, *statusRef, updaterRef), actions));
    };
    refill();
    QObject::connect(&menu, &QMenu::aboutToShow, &menu, refill);
    for (auto signal : {&UploadStatusModel::statusChanged, &UploadStatusModel::failedCountChanged,
                        &UploadStatusModel::busyChanged})
        QObject::connect(&status, signal, &menu, refill);
    QObject::connect(&session, &SessionModel::isAuthenticatedChanged, &menu, refill);
    QObject::connect(&session, &SessionModel::isRebuildingChanged, &menu, refill);
    QObject::connect(&session, &SessionModel::emailChanged, &menu, refill);
    QObject::connect(&session, &SessionModel::connectionChanged, &menu, refill);
    if (updater)
        QObject::connect(updater, &SoftwareUpdater::canCheckForUpdatesChanged, &menu, refill);
}

} // namespace pixavella::TrayMenu
