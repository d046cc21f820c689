// The program `pixavella` as a user or a script starts it, on the test's private home, against
// the Immich double: switches, one instance per user, headless running, clean exit on signals.
// The road of a dropped photo through the program is the acceptance test's.
#include "ContainerPaths.h"
#include "ImmichDoubleProcess.h"
#include "LoginItem.h"
#include "SharedSettings.h"

#include <QFile>
#include <QProcess>
#include <QTest>

#include <csignal>

using namespace pixavella;
using testing::ImmichDoubleProcess;

namespace {

const QString kEmail = QStringLiteral("lea@exemple.fr");
const QString kPassword = QStringLiteral("bon-mot-de-passe");

QString program()
{
    return qEnvironmentVariable("PIXAVELLA_BUILD_DIR") + QStringLiteral("/app/program/pixavella");
}

// Headless unless `display`; the password in the environment when given.
QProcessEnvironment environment(bool display = false, const QString& password = {})
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    if (display)
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    else
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    if (!password.isEmpty())
        env.insert(QStringLiteral("PIXAVELLA_PASSWORD"), password);
    return env;
}

struct Run {
    int exitCode = -1;
    QString output;
};

// A short-lived start: a second instance, or a first one that gives up.
Run runToEnd(const QStringList& arguments, const QString& password = {})
{
    QProcess process;
    process.setProcessEnvironment(environment(false, password));
    process.start(program(), arguments);
    if (!process.waitForFinished(60'000)) {
        process.kill();
        process.waitForFinished();
    }
    return {
        process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
        QString::fromLocal8Bit(process.readAllStandardError() + process.readAllStandardOutput())};
}

bool isMounted()
{
    QFile mounts(QStringLiteral("/proc/self/mounts"));
    return mounts.open(QIODevice::ReadOnly) &&
           mounts.readAll().contains(QFile::encodeName(ContainerPaths::mountPoint()));
}

} // namespace

class TestPixavellaProgram : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY2(QFile::exists(program()), qPrintable(program())); }

    void runsAndQuitsOnSignal_data()
    {
        QTest::addColumn<bool>("display");
        QTest::addColumn<int>("signal");
        QTest::newRow("offscreen display, SIGTERM") << true << int(SIGTERM);
        QTest::newRow("no display, SIGINT") << false << int(SIGINT);
    }

    void runsAndQuitsOnSignal()
    {
        QFETCH(bool, display);
        QFETCH(int, signal);
        SharedSettings::setApiKey(QString());
        const QString server = QStringLiteral("http://127.0.0.1:9/immich");

        QProcess process;
        process.setProcessEnvironment(environment(display));
        process.start(program(), {QStringLiteral("--server"), server});
        QVERIFY(process.waitForStarted());
        QByteArray output;
        QTRY_VERIFY_WITH_TIMEOUT(
            (output += process.readAllStandardError()).contains("icône ignorée"), 20'000);

        ::kill(pid_t(process.processId()), signal);
        QVERIFY(process.waitForFinished(20'000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        QCOMPARE(SharedSettings::serverURL(), server);
        QVERIFY(QFile::exists(LoginItem::autostartFilePath()));
    }

    // A script signs in and out through the switches; later starts reach the running one.
    void scriptedSessionThroughOneInstance()
    {
        ImmichDoubleProcess server;
        QVERIFY(server.start({QStringLiteral("--user"), kEmail + QLatin1Char(':') + kPassword}));
        const QString url = server.url().toString();

        // A fresh start that cannot sign in says why and ends.
        Run refused =
            runToEnd({QStringLiteral("--server"), url, QStringLiteral("--sign-in"), kEmail},
                     QStringLiteral("faux"));
        QCOMPARE(refused.exitCode, 1);
        QVERIFY2(refused.output.contains(QStringLiteral("Email ou mot de passe incorrect.")),
                 qPrintable(refused.output));
        refused = runToEnd({QStringLiteral("--sign-in"), kEmail});
        QCOMPARE(refused.exitCode, 1);
        QVERIFY2(refused.output.contains(QStringLiteral("Renseigne")), qPrintable(refused.output));
        QVERIFY(!SharedSettings::isConfigured());

        QProcess app;
        app.setProcessEnvironment(environment(false, kPassword));
        app.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        app.start(program(), {QStringLiteral("--sign-in"), kEmail});
        QVERIFY(app.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(SharedSettings::isConfigured(), 30'000);
        QTRY_VERIFY_WITH_TIMEOUT(isMounted(), 30'000);
        const QString key = SharedSettings::apiKey().value_or(QString());

        // Later starts hand their switches over and end; the first one goes on.
        const Run wrong = runToEnd({QStringLiteral("--sign-in"), kEmail}, QStringLiteral("faux"));
        QCOMPARE(wrong.exitCode, 1);
        QVERIFY2(wrong.output.contains(QStringLiteral("Email ou mot de passe incorrect.")),
                 qPrintable(wrong.output));
        QCOMPARE(runToEnd({QStringLiteral("--show-history")}).exitCode, 0);
        QCOMPARE(app.state(), QProcess::Running);
        QCOMPARE(SharedSettings::apiKey().value_or(QString()), key);

        // Signing out answers once the drive is gone.
        QCOMPARE(runToEnd({QStringLiteral("--sign-out")}).exitCode, 0);
        QVERIFY(!isMounted());
        QVERIFY(!SharedSettings::isConfigured());
        QCOMPARE(app.state(), QProcess::Running);

        ::kill(pid_t(app.processId()), SIGTERM);
        QVERIFY(app.waitForFinished(20'000));
        QCOMPARE(app.exitCode(), 0);
        // The lock went with the process: the next start is the application again.
        refused = runToEnd({QStringLiteral("--sign-in"), kEmail}, QStringLiteral("faux"));
        QCOMPARE(refused.exitCode, 1);
        QVERIFY(refused.output.contains(QStringLiteral("incorrect")));
    }
};

QTEST_GUILESS_MAIN(TestPixavellaProgram)
#include "TestPixavellaProgram.moc"
