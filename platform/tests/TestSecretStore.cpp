// Runs on a private session bus with gnome-keyring (see with-secret-service.sh).
#include "ContainerPaths.h"
#include "SecretStore.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <thread>

using namespace pixavella;

namespace {

using Attributes = QMap<QString, QString>;

// Items of the Secret Service holding our service and this account, asked directly over D-Bus
// rather than through the code under test.
QList<QDBusObjectPath> itemsFor(const QString& account)
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.secrets"), QStringLiteral("/org/freedesktop/secrets"),
        QStringLiteral("org.freedesktop.Secret.Service"), QStringLiteral("SearchItems"));
    const Attributes attributes{{QStringLiteral("server"), QLatin1String(SecretStore::kService)},
                                {QStringLiteral("user"), account}};
    call << QVariant::fromValue(attributes);
    const QDBusMessage reply = QDBusConnection::sessionBus().call(call);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 2)
        return {};
    return qdbus_cast<QList<QDBusObjectPath>>(reply.arguments().at(0)) +
           qdbus_cast<QList<QDBusObjectPath>>(reply.arguments().at(1));
}

// The value as another Secret Service client (libsecret's secret-tool) sees it.
QByteArray lookedUpWithSecretTool(const QString& account)
{
    QProcess tool;
    tool.start(QStringLiteral("secret-tool"),
               {"lookup", "server", QLatin1String(SecretStore::kService), "user", account});
    tool.waitForFinished(10000);
    return tool.readAllStandardOutput();
}

bool fallbackFileExists()
{
    return QFileInfo::exists(ContainerPaths::container() + QStringLiteral("/secrets"));
}

} // namespace

class TestSecretStore : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        qDBusRegisterMetaType<Attributes>();
        QVERIFY2(QDBusConnection::sessionBus().interface()->isServiceRegistered(
                     QStringLiteral("org.freedesktop.secrets")),
                 "run under with-secret-service.sh");
    }

    void cleanup() { QVERIFY2(!fallbackFileExists(), "a secret went to the file fallback"); }

    void secretRoundTrip_data()
    {
        QTest::addColumn<QString>("account");
        QTest::addColumn<QString>("secret");
        QTest::newRow("api key") << QStringLiteral("immich.apiKey")
                                 << QStringLiteral("T0k3n-abcdef0123456789ABCDEF");
        QTest::newRow("non-ASCII") << QStringLiteral("test.other") << QStringLiteral("clé 🔑 ü");
    }

    // Written and read from threads of their own, as the network completions do.
    void secretRoundTrip()
    {
        QFETCH(QString, account);
        QFETCH(QString, secret);
        QVERIFY(!SecretStore::readSecret(account).has_value());

        SecretStore::writeSecret(account, QStringLiteral("replaced"));
        std::thread([&] { SecretStore::writeSecret(account, secret); }).join();
        std::optional<QString> readInThread;
        std::thread([&] { readInThread = SecretStore::readSecret(account); }).join();
        QCOMPARE(readInThread, std::optional<QString>(secret));
        QCOMPARE(itemsFor(account).size(), 1);
        QCOMPARE(lookedUpWithSecretTool(account), secret.toUtf8());

        SecretStore::deleteSecret(account);
        QVERIFY(!SecretStore::readSecret(account).has_value());
        QVERIFY(itemsFor(account).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestSecretStore)
#include "TestSecretStore.moc"
