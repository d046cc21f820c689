#include "SessionModel.h"

#include "MainThread.h"

#include "AssetNameStore.h"
#include "Clock.h"
#include "DomainController.h"
#include "LaunchOptions.h"
#include "Log.h"
#include "MachineName.h"
#include "SettingsSuite.h"
#include "SharedSettings.h"
#include "SyncActivityState.h"
#include "UploadQuarantine.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSet>
#include <QSettings>
#include <QTimer>

#include <algorithm>
#include <utility>

Q_LOGGING_CATEGORY(lcSession, "app.pixavella.session")

namespace pixavella {

namespace {

// "year:2024" for every distinct capture year (UTC), newest first; undated assets are skipped.
QStringList yearFolders(const QList<ImmichAsset>& assets)
{
    QSet<int> years;
    for (const ImmichAsset& asset : assets) {
        std::optional<QString> text;
        if (asset.exifInfo && asset.exifInfo->dateTimeOriginal)
            text = asset.exifInfo->dateTimeOriginal;
        else
            text = asset.fileCreatedAt;
        if (const std::optional<QDateTime> date = parseImmichDate(text))
            years.insert(date->toUTC().date().year());
    }
    QList<int> sorted(years.begin(), years.end());
    std::sort(sorted.begin(), sorted.end(), std::greater<>());
    QStringList folders;
    for (int year : std::as_const(sorted))
        folders << QStringLiteral("year:") + QString::number(year);
    return folders;
}

} // namespace

SessionModel::SessionModel(DomainController& domain, UploadQuarantine& quarantine,
                           SettingsSuite& suite, AssetNameStore& names, QObject* parent)
    : QObject(parent), m_domain(domain), m_quarantine(quarantine), m_suite(suite), m_names(names),
      m_isAuthenticated(SharedSettings::isConfigured()), m_email(SharedSettings::userEmail()),
      m_lastRefresh(SharedSettings::lastRefresh())
{
}

SessionModel::~SessionModel() = default;

QString SessionModel::loginMessage(const Error& error)
{
    if (error.domain == ErrorDomain::Client && !ClientError::isNoData(error)) {
        if (error.code == 401)
            return tr("Email ou mot de passe incorrect.");
        return tr("Erreur serveur (%1).").arg(error.code);
    }
    return error.description;
}

void SessionModel::start()
{
    const std::optional<ImmichClient> client =
        SharedSettings::isConfigured() ? SharedSettings::makeClient() : std::nullopt;
    if (!client) {
        setAuthenticated(false);
        m_domain.removeDomain();
        return;
    }
    m_domain.registerDomain();
    startServices();
    QPointer<SessionModel> guard(this);
    const quint64 generation = m_generation;
    client->fetchCurrentUser([guard, generation](Result<CurrentUser> answer) {
        onMainThread(guard, [generation, answer = std::move(answer)](SessionModel& self) {
            self.applyCurrentUser(generation, answer);
        });
    });
}

void SessionModel::applyCurrentUser(quint64 generation, const Result<CurrentUser>& answer)
{
    if (generation != m_generation)
        return;
    if (answer) {
        setEmail(answer.value().email);
        SharedSettings::setUserEmail(answer.value().email);
        setAuthenticated(true);
        setConnection(Connection::online);
    } else if (ClientError::isHttp(answer.error(), 401)) {
        unauthorized();
    } else {
        setConnection(Connection::offline);
    }
}

void SessionModel::startServices()
{
    emit servicesStarting();
    refreshConnection();
    if (m_pollTimer)
        return;
    m_pollTimer = new QTimer(this);
    m_pollTimer->setInterval(kPollInterval);
    connect(m_pollTimer, &QTimer::timeout, this, &SessionModel::refreshConnection);
    m_pollTimer->start();
}

void SessionModel::useServer(const QString& server)
{
    const std::optional<ImmichClient> previous = SharedSettings::makeClient();
    const std::optional<QString> keyId = SharedSettings::apiKeyId();
    SharedSettings::setServerURL(server);
    // "https://host" and "https://host/" are one server.
    const auto same = [](QUrl a, QUrl b) {
        for (QUrl* url : {&a, &b}) {
            QString path = url->path();
            while (path.endsWith(QLatin1Char('/')))
                path.chop(1);
            url->setPath(path);
        }
        return a == b;
    };
    if (!previous || same(previous->baseURL(), QUrl(server)))
        return;
    if (keyId && !keyId->isEmpty())
        previous->deleteApiKey(*keyId, [](Result<void>) {});
    clearSession();
}

void SessionModel::signIn(const QString& serverText, const QString& emailText,
                          const QString& password, SignInDone done)
{
    const QString server = serverText.trimmed();
    const QString email = emailText.trimmed();
    if (!LaunchOptions::isServerAddress(server) || email.isEmpty() || password.isEmpty()) {
        const QString message = tr("Renseigne l'adresse du serveur, l'email et le mot de passe.");
        setLoginError(message);
        if (done)
            done(message);
        return;
    }
    if (done)
        m_signInWaiters << std::move(done);
    // A second press while the first is under way would create a second key.
    if (m_signingIn)
        return;
    m_signingIn = true;
    beginWork();
    setLoginError(std::nullopt);
    QPointer<SessionModel> guard(this);
    ImmichClient::login(QUrl(server), email, password, [guard, server](Result<LoginResult> answer) {
        onMainThread(guard, [server, answer = std::move(answer)](SessionModel& self) {
            self.loginAnswered(server, answer);
        });
    });
}

void SessionModel::loginAnswered(const QString& server, const Result<LoginResult>& answer)
{
    if (!answer) {
        m_signingIn = false;
        endWork();
        setLoginError(loginMessage(answer.error()));
        finishSignIn(m_loginError);
        return;
    }
    const QString email = answer.value().email;
    QPointer<SessionModel> guard(this);
    ImmichClient::createApiKey(
        QUrl(server), answer.value().accessToken, MachineName::apiKeyName(MachineName::current()),
        [guard, server, email](Result<CreatedApiKey> created) {
            onMainThread(guard, [server, email, created = std::move(created)](SessionModel& self) {
                self.keyAnswered(server, email, created);
            });
        });
}

void SessionModel::keyAnswered(const QString& server, const QString& email,
                               const Result<CreatedApiKey>& answer)
{
    m_signingIn = false;
    endWork();
    if (!answer) {
        setLoginError(tr("Connexion réussie mais création de la clé impossible : ") +
                      loginMessage(answer.error()));
        finishSignIn(m_loginError);
        return;
    }
    QString namesBase = server;
    if (namesBase.endsWith(QLatin1Char('/')))
        namesBase.chop(1);
    SharedSettings::setServerURL(server);
    SharedSettings::setNamesServiceURL(namesBase +
                                       QLatin1String(SharedSettings::kNamesServicePath));
    SharedSettings::setUserEmail(email);
    SharedSettings::setApiKeyId(answer.value().id);
    SharedSettings::setApiKey(answer.value().secret);
    ++m_generation;
    qCInfo(lcSession).noquote() << PIXAVELLA_LOG_PREFIX "connecté à" << server;
    setEmail(email);
    setAuthenticated(true);
    setConnection(Connection::online);
    m_domain.registerDomain();
    startServices();
    emit signedIn();
    finishSignIn(std::nullopt);
}

void SessionModel::finishSignIn(const std::optional<QString>& error)
{
    const QList<SignInDone> waiters = std::exchange(m_signInWaiters, {});
    for (const SignInDone& done : waiters)
        done(error);
}

// A small request, not a listing: the drive follows the server's changes by itself.
void SessionModel::refreshConnection()
{
    const std::optional<ImmichClient> client = SharedSettings::makeClient();
    if (!client)
        return;
    beginWork();
    QPointer<SessionModel> guard(this);
    const quint64 generation = m_generation;
    client->fetchCurrentUser([guard, generation](Result<CurrentUser> answer) {
        onMainThread(guard, [generation, answer = std::move(answer)](SessionModel& self) {
            self.connectionChecked(generation, answer);
        });
    });
}

void SessionModel::connectionChecked(quint64 generation, const Result<CurrentUser>& answer)
{
    endWork();
    if (generation != m_generation)
        return;
    if (!answer) {
        if (ClientError::isHttp(answer.error(), 401))
            unauthorized();
        else
            setConnection(Connection::offline);
        return;
    }
    markReachable();
}

void SessionModel::markReachable()
{
    if (m_connection == Connection::offline) {
        const int rearmed = m_quarantine.rearmNetworkFailures(kRearmAttempts);
        if (rearmed > 0) {
            QSettings settings(appSettingsOrganization(), appSettingsName());
            settings.setValue(QLatin1String(kRearmCountKey), rearmed);
        }
        emit uploadSweepRequested();
    }
    setConnection(Connection::online);
    const QDateTime now = Clock::now();
    setLastRefresh(now);
    SharedSettings::setLastRefresh(now);
}

void SessionModel::unauthorized()
{
    qCWarning(lcSession).noquote() << PIXAVELLA_LOG_PREFIX "clé refusée par le serveur";
    setConnection(Connection::unauthorized);
    clearSession();
}

bool SessionModel::uploadsBusy() const
{
    const QList<UploadQuarantine::Entry> entries = m_quarantine.list();
    const bool retrying =
        std::any_of(entries.begin(), entries.end(), [](const UploadQuarantine::Entry& entry) {
            return entry.attempts <= kRetriedAttempts;
        });
    return retrying || SyncActivityState::read(m_suite).isLiveDownload(Clock::now());
}

void SessionModel::rebuild()
{
    if (m_isRebuilding || uploadsBusy())
        return;
    setRebuilding(true);
    const QDateTime started = Clock::now();
    const std::optional<ImmichClient> client = SharedSettings::makeClient();
    if (!client) {
        setRebuilding(false);
        return;
    }
    QPointer<SessionModel> guard(this);
    const quint64 generation = m_generation;
    client->searchAssets([guard, generation, started](Result<QList<ImmichAsset>> answer) {
        onMainThread(guard, [generation, started, answer = std::move(answer)](SessionModel& self) {
            self.rebuildAnswered(generation, started, answer);
        });
    });
}

void SessionModel::rebuildAnswered(quint64 generation, const QDateTime& started,
                                   const Result<QList<ImmichAsset>>& answer)
{
    if (generation == m_generation) {
        if (answer) {
            m_domain.signalAllFolders(yearFolders(answer.value()));
            markReachable();
        } else if (ClientError::isHttp(answer.error(), 401)) {
            unauthorized();
        } else {
            setConnection(Connection::offline);
            m_domain.signalAllFolders();
        }
    }
    finishRebuild(started);
}

void SessionModel::finishRebuild(const QDateTime& started)
{
    const qint64 elapsed = started.msecsTo(Clock::now());
    const qint64 remaining = std::max<qint64>(0, kMinimumRebuild.count() - elapsed);
    QTimer::singleShot(std::chrono::milliseconds(remaining), this,
                       [this] { setRebuilding(false); });
}

void SessionModel::signOut(std::function<void()> removed)
{
    const std::optional<ImmichClient> client = SharedSettings::makeClient();
    const std::optional<QString> keyId = SharedSettings::apiKeyId();
    if (client && keyId && !keyId->isEmpty())
        client->deleteApiKey(*keyId, [](Result<void>) {});
    clearSession(std::move(removed));
}

void SessionModel::clearSession(std::function<void()> removed)
{
    if (m_pollTimer) {
        m_pollTimer->stop();
        m_pollTimer->deleteLater();
        m_pollTimer = nullptr;
    }
    emit servicesStopping();
    m_domain.removeDomain(std::move(removed));
    m_names.forgetAccount();
    SharedSettings::setApiKey(QString());
    SharedSettings::setApiKeyId(QString());
    SharedSettings::setUserEmail(QString());
    SharedSettings::setLastRefresh(std::nullopt);
    ++m_generation;
    setAuthenticated(false);
    setEmail(QString());
    setLastRefresh(std::nullopt);
    emit signInWindowRequested();
}

void SessionModel::setAuthenticated(bool value)
{
    if (m_isAuthenticated == value)
        return;
    m_isAuthenticated = value;
    emit isAuthenticatedChanged(value);
}

void SessionModel::setEmail(const QString& value)
{
    if (m_email == value)
        return;
    m_email = value;
    emit emailChanged(value);
}

void SessionModel::setConnection(Connection value)
{
    if (m_connection == value)
        return;
    m_connection = value;
    emit connectionChanged(value);
}

void SessionModel::beginWork()
{
    if (++m_workCount == 1)
        emit isWorkingChanged(true);
}

void SessionModel::endWork()
{
    if (m_workCount > 0 && --m_workCount == 0)
        emit isWorkingChanged(false);
}

void SessionModel::setRebuilding(bool value)
{
    if (m_isRebuilding == value)
        return;
    m_isRebuilding = value;
    emit isRebuildingChanged(value);
}

void SessionModel::setLastRefresh(const std::optional<QDateTime>& value)
{
    if (m_lastRefresh == value)
        return;
    m_lastRefresh = value;
    emit lastRefreshChanged();
}

void SessionModel::setLoginError(const std::optional<QString>& value)
{
    if (m_loginError == value)
        return;
    m_loginError = value;
    emit loginErrorChanged();
}

} // namespace pixavella
