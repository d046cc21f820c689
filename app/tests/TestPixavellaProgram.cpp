// The program `pixavella` as a user or a script starts it, on the test's private home, against
// the Immich double: switches, one instance per user, a display or none, clean exit on SIGTERM;
// and the switches of the drive's daemon `passerelle`. The road of a dropped photo through the
// program is the acceptance test's.
#include "ContainerPaths.h"
#include "ControlProtocol.h"
#include "ImmichDoubleProcess.h"
#include "LoginItem.h"
#include "SharedSettings.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QProcess>
#include <QTest>

#include <csignal>
#include <sys/stat.h>

using namespace pixavella;
using testing::ImmichDoubleProcess;

namespace {

const QString kEmail = QStringLiteral("lea@exemple.fr");
const QString kPassword = QStringLiteral("bon-mot-de-passe");

QString program(const char* path = "/app/program/pixavella")
{
    return qEnvironmentVariable("PIXAVELLA_BUILD_DIR") + QLatin1String(path);
}
QString daemonProgram()
{
    return program("/passerelle/passerelle");
}

// Headless unless `display`; the password in the environment when given. Every log line
// starts with its level and category, so that debug lines can be told apart.
QProcessEnvironment environment(bool display = false, const QString& password = {})
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_MESSAGE_PATTERN"),
               QStringLiteral("%{type} %{category}: %{message}"));
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

// A short-lived start: a second instance, a first one that gives up, or a --help.
Run runToEnd(const QString& path, const QStringList& arguments, const QProcessEnvironment& env)
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(path, arguments);
    if (!process.waitForFinished(60'000)) {
        process.kill();
        process.waitForFinished();
    }
    return {
        process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
        QString::fromLocal8Bit(process.readAllStandardError() + process.readAllStandardOutput())};
}

// A start that signs in with a wrong password: it fails with the window's message.
bool refusedSignIn(const Run& run)
{
    return run.exitCode == 1 &&
           run.output.contains(QStringLiteral("Email ou mot de passe incorrect."));
}
Run wrongSignIn()
{
    return runToEnd(program(), {"--sign-in", kEmail}, environment(false, QStringLiteral("faux")));
}

// One command on the daemon's control socket, and its answer.
std::optional<QJsonObject> command(const char* name)
{
    QLocalSocket socket;
    socket.connectToServer(ControlProtocol::socketPath());
    if (!socket.waitForConnected(5'000))
        return std::nullopt;
    socket.write(ControlProtocol::encode({{QLatin1String(ControlProtocol::kCommand), name}}));
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(30'000))
            return std::nullopt;
    }
    return ControlProtocol::decode(socket.readLine());
}

bool isMounted()
{
    QFile mounts(QStringLiteral("/proc/self/mounts"));
    return mounts.open(QIODevice::ReadOnly) &&
           mounts.readAll().contains(QFile::encodeName(ContainerPaths::mountPoint()));
}

// Entries under `root` that another local account could read or enter.
QStringList openToOthers(const QString& root)
{
    QStringList open;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    for (QString path = root; !path.isEmpty(); path = it.hasNext() ? it.next() : QString()) {
        struct stat st {};
        if (::lstat(QFile::encodeName(path).constData(), &st) == 0 && !S_ISLNK(st.st_mode) &&
            (st.st_mode & 077))
            open.append(QStringLiteral("%1 %2").arg(st.st_mode & 0777, 0, 8).arg(path));
    }
    return open;
}

} // namespace

class TestPixavellaProgram : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY2(QFile::exists(program()), qPrintable(program())); }

    // Each answers and ends; the daemon does not go on to serve the drive.
    void helpOfBothPrograms()
    {
        const auto row = [](const QString& path, const QString& argument, int exitCode) {
            const Run run = runToEnd(path, {argument}, environment());
            QCOMPARE(run.exitCode, exitCode);
            for (const char* text : {"Utilisation :", "--verbose", "--help"})
                QVERIFY2(run.output.contains(QLatin1String(text)), qPrintable(run.output));
            QVERIFY(!exitCode || run.output.contains("option inconnue « " + argument + " »"));
            QVERIFY(!isMounted());
        };
        row(program(), "--help", 0);
        row(daemonProgram(), "--help", 0);
        row(daemonProgram(), "--verbeux", 2);
    }

    // A refused sign-in: one request to the server, and the window's message.
    void debugLinesOnlyWhenAsked()
    {
        ImmichDoubleProcess server;
        QVERIFY(server.start({QStringLiteral("--user"), kEmail + QLatin1Char(':') + kPassword}));
        const auto row = [&server](const QStringList& arguments, const QString& rules, bool debug) {
            QProcessEnvironment env = environment(false, QStringLiteral("faux"));
            if (!rules.isEmpty())
                env.insert(QStringLiteral("QT_LOGGING_RULES"), rules);
            const QStringList signIn{"--server", server.url().toString(), "--sign-in", kEmail};
            const Run run = runToEnd(program(), arguments + signIn, env);
            QVERIFY2(refusedSignIn(run), qPrintable(run.output));
            const char* sign = debug ? "debug app.pixavella.http: POST" : "debug app.pixavella.";
            QVERIFY2(run.output.contains(QLatin1String(sign)) == debug, qPrintable(run.output));
        };
        row({}, {}, false);
        row({"--verbose"}, {}, true);
        row({}, "app.pixavella.http.debug=true", true);
        row({"--verbose"}, "app.pixavella.*.debug=false", false); // the rules above --verbose
    }

    // The daemon mounts when asked on its socket; listing the root enumerates it. That a
    // verbose program makes the daemon it starts verbose is TestLog's.
    void daemonDebugLinesOnlyWhenAsked()
    {
        for (const bool debug : {false, true}) {
            QProcess daemon;
            daemon.setProcessEnvironment(environment());
            daemon.setProcessChannelMode(QProcess::MergedChannels);
            daemon.start(daemonProgram(), debug ? QStringList{"--verbose"} : QStringList());
            QVERIFY(daemon.waitForStarted());
            std::optional<QJsonObject> added;
            QTRY_VERIFY_WITH_TIMEOUT((added = command(ControlProtocol::kAdd)).has_value(), 20'000);
            QVERIFY2(!ControlProtocol::errorOf(*added),
                     qPrintable(QString::fromUtf8(ControlProtocol::encode(*added))));
            QDir(ContainerPaths::mountPoint()).entryList();
            QVERIFY(command(ControlProtocol::kRemove).has_value());
            QVERIFY(daemon.waitForFinished(30'000));
            QCOMPARE(daemon.exitCode(), 0);
            const QString output = QString::fromLocal8Bit(daemon.readAll());
            QVERIFY2(
                output.contains(QLatin1String("info app.pixavella.fileprovider.fuse: mounted")),
                qPrintable(output));
            const char* sign = debug ? "debug app.pixavella.fileprovider: Pixavella: enumerateItems"
                                     : "debug app.pixavella.";
            QVERIFY2(output.contains(QLatin1String(sign)) == debug, qPrintable(output));
        }
    }

    // A script signs in and out through the switches; later starts reach the running one.
    void scriptedSessionThroughOneInstance()
    {
        ImmichDoubleProcess server;
        QVERIFY(server.start({QStringLiteral("--user"), kEmail + QLatin1Char(':') + kPassword}));
        const QString url = server.url().toString();

        SharedSettings::setServerURL(url);
        SharedSettings::setApiKey(QString());

        // Left readable by an earlier version, under the usual umask.
        const mode_t umask = ::umask(022);
        const QString dataRoot = QFileInfo(ContainerPaths::container()).path();
        const QString cacheRoot = QFileInfo(ContainerPaths::domainCache()).path();
        ::chmod(QFile::encodeName(dataRoot).constData(), 0755);
        QFile leftover(ContainerPaths::domainCache() + QStringLiteral("/contents-left.jpg"));
        QVERIFY(leftover.open(QIODevice::WriteOnly));
        leftover.close();
        QVERIFY(!openToOthers(cacheRoot).isEmpty());

        QProcess app;
        app.setProcessEnvironment(environment(true, kPassword));
        app.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        app.start(program(), {QStringLiteral("--sign-in"), kEmail});
        QVERIFY(app.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(SharedSettings::isConfigured(), 30'000);
        QTRY_VERIFY_WITH_TIMEOUT(isMounted(), 30'000);
        QVERIFY(QFile::exists(LoginItem::autostartFilePath()));
        ::umask(umask);
        // Settings, caches, key fallback, the daemon's own files: the user's only.
        QCOMPARE(openToOthers(dataRoot), QStringList());
        QCOMPARE(openToOthers(cacheRoot), QStringList());
        const QString key = SharedSettings::apiKey().value_or(QString());

        // Later starts hand their switches over and end; the first one goes on.
        QVERIFY(refusedSignIn(wrongSignIn()));
        QCOMPARE(SharedSettings::apiKey().value_or(QString()), key);

        // Signing out answers once the drive is gone.
        QCOMPARE(runToEnd(program(), {"--sign-out"}, environment()).exitCode, 0);
        QVERIFY(!isMounted());
        QVERIFY(!SharedSettings::isConfigured());
        QCOMPARE(app.state(), QProcess::Running);

        ::kill(pid_t(app.processId()), SIGTERM);
        QVERIFY(app.waitForFinished(20'000));
        QCOMPARE(app.exitCode(), 0);
        // The lock went with the process: the next start is the application again.
        QVERIFY(refusedSignIn(wrongSignIn()));
    }
};

QTEST_GUILESS_MAIN(TestPixavellaProgram)
#include "TestPixavellaProgram.moc"
