#include "AssetNameStore.h"
#include "Clock.h"
#include "ContainerPaths.h"
#include "DomainController.h"
#include "HttpSession.h"
#include "ImmichDoubleProcess.h"
#include "MachineName.h"
#include "ProcessStores.h"
#include "RecordingDomainBackend.h"
#include "SessionModel.h"
#include "SettingsSuite.h"
#include "SharedSettings.h"
#include "SyncActivityState.h"
#include "UploadQuarantine.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>

using namespace pixavella;
using testing::appStores;
using testing::ImmichDoubleProcess;

namespace {

const QString kEmail = QStringLiteral("session@pixavella.local");
const QString kPassword = QStringLiteral("secret-pw");
const QString kPremadeKey = QStringLiteral("session-premade-key");
const QString kOldEmail = QStringLiteral("old@pixavella.local");
const QString kRenseigne =
    QStringLiteral("Renseigne l'adresse du serveur, l'email et le mot de passe.");
constexpr int kWait = 20'000;

QString namesCachePath()
{
    return ContainerPaths::container() + QStringLiteral("/names-cache.json");
}

QSettings appSettings()
{
    return QSettings(SessionModel::appSettingsOrganization(), SessionModel::appSettingsName());
}

using Session = testing::RecordedSession;

} // namespace

class TestSessionModel : public QObject {
    Q_OBJECT

    ImmichDoubleProcess m_double;

    // The bodies of the requests the double saw for `method` on `path`.
    QList<QJsonObject> requests(const QString& method, const QString& path) const
    {
        QList<QJsonObject> bodies;
        for (const QJsonValue& request : m_double.requests()) {
            if (request["method"].toString() == method && request["path"].toString() == path)
                bodies << QJsonDocument::fromJson(request["body"].toString().toUtf8()).object();
        }
        return bodies;
    }

    bool keyAtServer(const QString& key) const
    {
        for (const QJsonValue& user : m_double.control("GET", "/_double/users").array()) {
            if (user["email"].toString() == kEmail)
                return user["apiKeys"].toArray().contains(key);
        }
        return false;
    }

    static bool noSessionStored()
    {
        return !SharedSettings::apiKey() && !SharedSettings::apiKeyId() &&
               SharedSettings::userEmail().isEmpty();
    }

    void storeSession()
    {
        SharedSettings::setServerURL(m_double.url().toString());
        SharedSettings::setApiKey(kPremadeKey);
        SharedSettings::setUserEmail(kOldEmail);
    }

    static void signIn(SessionModel& model, const QString& server, const QString& email,
                       const QString& password)
    {
        model.signIn(server, email, password);
        QTRY_VERIFY_WITH_TIMEOUT(!model.isWorking(), kWait);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_double.start({QStringLiteral("--user"), kEmail + QLatin1Char(':') + kPassword +
                                                              QLatin1Char(':') + kPremadeKey}));
        m_double.addAsset(
            {{"originalFileName", "a.jpg"}, {"fileCreatedAt", "2021-05-01T10:00:00.000Z"}});
        m_double.addAsset({{"originalFileName", "b.jpg"},
                           {"fileCreatedAt", "2020-12-31T23:00:00.000Z"},
                           {"dateTimeOriginal", "2023-01-01T00:30:00.000Z"}});
    }

    void init()
    {
        m_double.reset();
        SharedSettings::setServerURL(m_double.url().toString());
        SharedSettings::setApiKey(QString());
        SharedSettings::setApiKeyId(std::nullopt);
        SharedSettings::setUserEmail(QString());
        SharedSettings::setLastRefresh(std::nullopt);
        SettingsSuite::shared().remove(QLatin1String(SyncActivityState::kSettingsKey));
        testing::clearQuarantine();
        appSettings().remove(QLatin1String(SessionModel::kRearmCountKey));
    }

    // Refused sign-ins store nothing; an incomplete form is refused without a request.
    void signInErrors()
    {
        // `server` empty: the double; `failStatus` answered once on `failPath`.
        const auto row = [this](const char*, const char* server, const QString& email,
                                const QString& password, int failStatus, const char* failPath,
                                const QString& message) {
            init();
            if (failStatus != 0)
                m_double.fail(failStatus, 1, QString::fromUtf8(failPath));
            Session s;
            QSignalSpy signedIn(&s.session, &SessionModel::signedIn);
            signIn(s.session, *server ? QString::fromUtf8(server) : m_double.url().toString(),
                   email, password);
            QCOMPARE(s.session.loginError(), std::optional<QString>(message));
            QVERIFY(message != kRenseigne || m_double.requests().isEmpty());
            QVERIFY(!s.session.isAuthenticated() && noSessionStored());
            QVERIFY(s.drive->calls.isEmpty());
            QCOMPARE(signedIn.size(), 0);
        };
        row("empty password", "", kEmail, "", 0, "", kRenseigne);
        row("blank e-mail", "", " \n\t", kPassword, 0, "", kRenseigne);
        row("server without scheme", "photos.example:2283", kEmail, kPassword, 0, "", kRenseigne);
        row("wrong password", "", kEmail, "wrong", 0, "", "Email ou mot de passe incorrect.");
        row("server error", "", kEmail, kPassword, 500, "/api/auth/login", "Erreur serveur (500).");
        row("key answer without secret", "", kEmail, kPassword, 201, "/api/api-keys",
            "Connexion réussie mais création de la clé impossible : Réponse vide d'Immich");
    }

    void signInStoresTheSessionAndSignOutForgetsIt()
    {
        Session s;
        QSignalSpy signedIn(&s.session, &SessionModel::signedIn);
        const QString server = m_double.url().toString() + QLatin1Char('/');
        signIn(s.session, QStringLiteral("  ") + server + QStringLiteral("\n"),
               QStringLiteral(" \t") + kEmail + QStringLiteral(" \n"), kPassword);
        QVERIFY(s.session.isAuthenticated());

        const QList<QJsonObject> logins = requests("POST", "/api/auth/login");
        QCOMPARE(logins.size(), 1);
        QCOMPARE(logins.first()[QLatin1String("email")].toString(), kEmail);
        const QList<QJsonObject> keys = requests("POST", "/api/api-keys");
        QCOMPARE(keys.size(), 1);
        QCOMPARE(keys.first()[QLatin1String("name")].toString(),
                 QStringLiteral("Pixavella Linux — ") + MachineName::current());
        QCOMPARE(SharedSettings::serverURL(), server);
        QCOMPARE(SharedSettings::namesServiceURL(),
                 m_double.url().toString() + QStringLiteral("/pixavella-names"));
        QCOMPARE(SharedSettings::userEmail(), kEmail);
        const QString secret = SharedSettings::apiKey().value_or(QString());
        const QString keyId = SharedSettings::apiKeyId().value_or(QString());
        QVERIFY(keyAtServer(secret));
        QCOMPARE(signedIn.size(), 1);
        QVERIFY(s.session.isPolling());
        // Added and its top folders signalled; the connection check signals nothing (the
        // drive follows the server's changes by itself).
        QCOMPARE(s.drive->calls, QStringList{"add"} + testing::topFolderSignals());
        QTRY_VERIFY_WITH_TIMEOUT(SharedSettings::lastRefresh().has_value(), kWait);

        QFile cache(namesCachePath());
        QVERIFY(cache.open(QIODevice::WriteOnly) && cache.write("{}") == 2);
        cache.close();
        QSignalSpy windowRequested(&s.session, &SessionModel::signInWindowRequested);
        s.drive->calls.clear();
        int removed = 0;
        s.session.signOut([&removed] { ++removed; });

        QVERIFY(!s.session.isAuthenticated() && !s.session.isPolling() && noSessionStored());
        QVERIFY(!SharedSettings::lastRefresh().has_value());
        QVERIFY(!QFile::exists(namesCachePath()));
        QCOMPARE(s.drive->calls, QStringList{"remove"});
        QCOMPARE(removed, 1);
        QCOMPARE(windowRequested.size(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(!keyAtServer(secret), kWait);
        QCOMPARE(requests("DELETE", QStringLiteral("/api/api-keys/") + keyId).size(), 1);
    }

    // `authenticated` false without `failStatus`: no session stored.
    void start()
    {
        using C = SessionModel::Connection;
        const auto row = [this](const char*, int failStatus, bool authenticated, C connection,
                                const QString& email) {
            init();
            const bool stored = authenticated || failStatus != 0;
            if (stored)
                storeSession();
            if (failStatus != 0)
                m_double.fail(failStatus, 2, QStringLiteral("/api/users/me"));
            Session s;
            s.session.start();
            if (!stored) {
                QCOMPARE(s.drive->calls, QStringList{"remove"});
                QVERIFY(!s.session.isAuthenticated());
                return;
            }
            QCOMPARE(s.drive->calls.first(), QStringLiteral("add"));
            // Two questions: who the user is (at start) and the first connection check.
            QTRY_COMPARE_WITH_TIMEOUT(requests("GET", "/api/users/me").size(), 2, kWait);
            QTRY_COMPARE_WITH_TIMEOUT(s.session.connection(), connection, kWait);
            QTRY_COMPARE_WITH_TIMEOUT(s.session.email(), email, kWait);
            QTRY_VERIFY_WITH_TIMEOUT(!s.session.isWorking(), kWait);
            QCOMPARE(s.session.isAuthenticated(), authenticated);
            QCOMPARE(SharedSettings::userEmail(), email);
            QCOMPARE(s.session.isPolling(), s.session.isAuthenticated());
            // A refused key is forgotten here, not revoked there.
            QCOMPARE(SharedSettings::apiKey().has_value(), authenticated);
            QVERIFY(keyAtServer(kPremadeKey));
        };
        row("no session", 0, false, C::online, QString());
        row("confirmed", 0, true, C::online, kEmail);
        row("key refused", 401, false, C::unauthorized, QString());
        row("server down", 500, true, C::offline, kOldEmail);
    }

    // Uploads given up while the server was away are tried again; refused ones are not.
    void serverReturnRearmsNetworkFailures()
    {
        const int networkFailures = 2;
        storeSession();
        Session s;
        QSignalSpy sweeps(&s.session, &SessionModel::uploadSweepRequested);
        m_double.drop(2, QStringLiteral("/api/users/me"));
        s.session.refreshConnection();
        QTRY_COMPARE_WITH_TIMEOUT(s.session.connection(), SessionModel::Connection::offline, kWait);
        for (int i = 0; i < networkFailures; ++i)
            testing::enqueueFailed(5, true);
        testing::enqueueFailed(5, false);
        QCOMPARE(sweeps.size(), 0);

        s.session.refreshConnection();
        QTRY_COMPARE_WITH_TIMEOUT(s.session.connection(), SessionModel::Connection::online, kWait);
        QCOMPARE(sweeps.size(), 1);
        // Which entries it re-arms is TestUploadQuarantine's; here, that it re-arms them.
        QCOMPARE(appSettings().value(QLatin1String(SessionModel::kRearmCountKey)).toInt(),
                 networkFailures);
        QVERIFY(s.session.lastRefresh().has_value());

        // Already online: a further check re-arms nothing.
        s.session.refreshConnection();
        QTRY_COMPARE_WITH_TIMEOUT(requests("GET", "/api/users/me").size(), 4, kWait);
        QTRY_VERIFY_WITH_TIMEOUT(!s.session.isWorking(), kWait);
        QCOMPARE(sweeps.size(), 1);
    }

    // An upload still retried, or a download under way.
    void rebuildWaitsForUploads()
    {
        for (const bool downloading : {false, true}) {
            init();
            storeSession();
            ManualClock clock(QDateTime::currentDateTimeUtc());
            if (!downloading) {
                testing::enqueueFailed(4, true);
            } else {
                SyncActivityState activity = SyncActivityState::idle(clock.now());
                activity.kind = SyncActivityState::Kind::downloading;
                SettingsSuite::shared().setValue(QLatin1String(SyncActivityState::kSettingsKey),
                                                 activity.encode());
                clock.advance(3);
            }
            Session s;
            s.session.rebuild();
            QVERIFY(!s.session.isRebuilding());
            QVERIFY(s.drive->calls.isEmpty());
            QVERIFY(m_double.requests().isEmpty());
        }
    }

    void rebuildSignalsEveryYear()
    {
        storeSession();
        testing::enqueueFailed(5, false); // given up: no longer holds a refresh back
        Session s;
        s.session.rebuild();
        QVERIFY(s.session.isRebuilding());
        s.session.rebuild(); // pressed again while it runs
        QTRY_VERIFY_WITH_TIMEOUT(!s.session.isRebuilding(), kWait);
        QCOMPARE(requests("POST", "/api/search/metadata").size(), 1);
        QCOMPARE(s.drive->calls, testing::allFolderSignals() +
                                     QStringList({"signal year:2023", "signal year:2021"}));
        QCOMPARE(s.session.connection(), SessionModel::Connection::online);
        QVERIFY(SharedSettings::lastRefresh().has_value());
    }

    void newServerForgetsTheKey()
    {
        storeSession();
        Session s;
        const QString other = QStringLiteral("http://127.0.0.1:9");
        s.session.useServer(m_double.url().toString() + QLatin1Char('/'));
        QCOMPARE(SharedSettings::apiKey(), std::optional<QString>(kPremadeKey));

        s.session.useServer(other);
        QCOMPARE(SharedSettings::serverURL(), other);
        QVERIFY(!SharedSettings::apiKey().has_value());
        QVERIFY(!s.session.isAuthenticated());
    }
};

QTEST_GUILESS_MAIN(TestSessionModel)
#include "TestSessionModel.moc"
