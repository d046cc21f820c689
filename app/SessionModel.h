#pragma once

#include "ImmichClient.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <optional>

class QTimer;

namespace pixavella {

class AssetNameStore;
class DomainController;
class SettingsSuite;
class UploadQuarantine;

// The account as the application knows it: whether an API key is stored, whose it is, whether
// the server answers, when the library was last refreshed and what went wrong at the last
// sign-in. Signs in (e-mail and password exchanged for a long-lived API key), checks the
// connection every 15 seconds while signed in, refreshes the drive on request, signs out.
//
// Main thread only. Answers of the client arrive on the HTTP callback pool and hop back to the
// main thread; those of a destroyed model are dropped, and those of an earlier session (signed
// out or replaced since the request left) are ignored.
class SessionModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isAuthenticated READ isAuthenticated NOTIFY isAuthenticatedChanged)
    Q_PROPERTY(QString email READ email NOTIFY emailChanged)
    Q_PROPERTY(Connection connection READ connection NOTIFY connectionChanged)
    Q_PROPERTY(bool isWorking READ isWorking NOTIFY isWorkingChanged)
    Q_PROPERTY(bool isRebuilding READ isRebuilding NOTIFY isRebuildingChanged)
    // Invalid when there is none.
    Q_PROPERTY(QDateTime lastRefresh READ lastRefreshTime NOTIFY lastRefreshChanged)
    // Empty when there is none.
    Q_PROPERTY(QString loginError READ loginErrorText NOTIFY loginErrorChanged)

public:
    enum class Connection { online, offline, unauthorized };
    Q_ENUM(Connection)

    static constexpr std::chrono::seconds kPollInterval{15};
    // The menu's progress indication of a refresh stays at least this long.
    static constexpr std::chrono::milliseconds kMinimumRebuild{1000};
    // Network failures are re-armed from this many attempts when the server comes back.
    static constexpr qint64 kRearmAttempts = 5;
    // Uploads with at most this many attempts are still retried: a refresh waits for them.
    static constexpr qint64 kRetriedAttempts = 4;
    // The application's own settings: how many uploads the last return of the network re-armed.
    static constexpr const char* kRearmCountKey = "lastConnectivityRearmCount";

    // `quarantine` is re-armed when the server comes back; with the drive's activity in
    // `suite`, it tells whether a refresh must wait. Signing out forgets the names kept in
    // `names`.
    SessionModel(DomainController& domain, UploadQuarantine& quarantine, SettingsSuite& suite,
                 AssetNameStore& names, QObject* parent = nullptr);
    ~SessionModel() override;

    // At launch: with a stored session, adds the domain, starts the services and asks the
    // server who the user is; without one, removes the domain.
    void start();
    // Stores `server` as the server address ("--server" at launch). A stored key belongs to the
    // server it was made on: when the address changes, the key is revoked there (best effort)
    // and the session forgotten, so the key is never sent to another server.
    void useServer(const QString& server);
    // Absent error: signed in; otherwise the message the sign-in window shows.
    using SignInDone = std::function<void(const std::optional<QString>& error)>;

    // The sign-in button. Nothing is stored until the API key exists. `done` runs once, with
    // the outcome of this press (or of the sign-in already under way).
    void signIn(const QString& server, const QString& email, const QString& password,
                SignInDone done = {});
    // Re-lists the drive and asks the server whether the key still works.
    void refreshConnection();
    // The menu's refresh: re-reads the library and re-lists every year folder.
    void rebuild();
    // Revokes the API key (best effort, not awaited), then forgets the account. `removed` runs
    // once the drive's domain is gone (or its removal failed).
    void signOut(std::function<void()> removed = {});
    // Forgets the account locally: timers, domain, names cache, secret, e-mail, last refresh.
    void clearSession(std::function<void()> removed = {});

    // Text for the sign-in window.
    static QString loginMessage(const Error& error);
    // The application's own settings file (~/.config/Pixavella/pixavella.conf).
    static QString appSettingsOrganization() { return QStringLiteral("Pixavella"); }
    static QString appSettingsName() { return QStringLiteral("pixavella"); }

    bool isAuthenticated() const { return m_isAuthenticated; }
    QString email() const { return m_email; }
    Connection connection() const { return m_connection; }
    bool isWorking() const { return m_workCount > 0; }
    bool isRebuilding() const { return m_isRebuilding; }
    std::optional<QDateTime> lastRefresh() const { return m_lastRefresh; }
    std::optional<QString> loginError() const { return m_loginError; }
    QDateTime lastRefreshTime() const { return m_lastRefresh.value_or(QDateTime()); }
    QString loginErrorText() const { return m_loginError.value_or(QString()); }
    bool isPolling() const { return m_pollTimer != nullptr; }

signals:
    void isAuthenticatedChanged(bool isAuthenticated);
    void emailChanged(const QString& email);
    void connectionChanged(pixavella::SessionModel::Connection connection);
    void isWorkingChanged(bool isWorking);
    void isRebuildingChanged(bool isRebuilding);
    void lastRefreshChanged();
    void loginErrorChanged();

    // A session begins: the deletion notifier, the notice observer, the upload status model
    // and the upload reconciler start (each only once where that is their rule).
    void servicesStarting();
    // The session ended: the status model's and the reconciler's timers stop, so that the
    // next session starts them again.
    void servicesStopping();
    // The server came back: uploads re-armed, the reconciler should sweep now.
    void uploadSweepRequested();
    // The sign-in window should show (signed out).
    void signInWindowRequested();
    // A sign-in succeeded: the sign-in window should close.
    void signedIn();

private:
    void startServices();
    void applyCurrentUser(quint64 generation, const Result<CurrentUser>& answer);
    void loginAnswered(const QString& server, const Result<LoginResult>& answer);
    void keyAnswered(const QString& server, const QString& email,
                     const Result<CreatedApiKey>& answer);
    void finishSignIn(const std::optional<QString>& error);
    void connectionChecked(quint64 generation, const Result<CurrentUser>& answer);
    void rebuildAnswered(quint64 generation, const QDateTime& started,
                         const Result<QList<ImmichAsset>>& answer);
    // The server answered: re-arm network failures when it had been offline, then online.
    void markReachable();
    void unauthorized();
    bool uploadsBusy() const;
    void finishRebuild(const QDateTime& started);

    void setAuthenticated(bool value);
    void setEmail(const QString& value);
    void setConnection(Connection value);
    void beginWork();
    void endWork();
    void setRebuilding(bool value);
    void setLastRefresh(const std::optional<QDateTime>& value);
    void setLoginError(const std::optional<QString>& value);

    DomainController& m_domain;
    UploadQuarantine& m_quarantine;
    SettingsSuite& m_suite;
    AssetNameStore& m_names;
    bool m_isAuthenticated = false;
    QString m_email;
    Connection m_connection = Connection::online;
    int m_workCount = 0;
    bool m_isRebuilding = false;
    std::optional<QDateTime> m_lastRefresh;
    std::optional<QString> m_loginError;
    bool m_signingIn = false;
    QList<SignInDone> m_signInWaiters;
    QTimer* m_pollTimer = nullptr; // absent while signed out
    // Changes whenever the stored session does; answers carry the value of their request.
    quint64 m_generation = 0;
};

} // namespace pixavella
