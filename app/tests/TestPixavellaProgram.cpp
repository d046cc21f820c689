// The program `pixavella` as a user or a script starts it, on the test's private home, against
// the Immich double: switches, one instance per user, headless running, clean exit on signals.
#include "ContainerPaths.h"
#include "ImmichDoubleProcess.h"
#include "LoginItem.h"
#include "MediaWriters.h"
#include "SharedSettings.h"
#include "UploadJournal.h"
#include "UploadQuarantine.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QProcess>
#include <QTemporaryDir>
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

// A user's tool on the mount; its output, or the error text.
QString tool(const QString& name, const QStringList& arguments)
{
    QProcess process;
    process.start(name, arguments);
    if (!process.waitForFinished(60'000) || process.exitCode() != 0)
        return QStringLiteral("failed: ") + QString::fromLocal8Bit(process.readAllStandardError());
    return QString::fromLocal8Bit(process.readAllStandardOutput());
}

// A real JPEG whose camera says it was taken on 17 May 2024.
QByteArray cameraJpeg()
{
    QImage image(64, 48, QImage::Format_RGB32);
    image.fill(QColor(0x3a, 0x5f, 0xcd));
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG");
    return demolibrary::withExif(buffer.data(),
                                 {QStringLiteral("Pixavella"),
                                  QStringLiteral("Test"),
                                  QDateTime(QDate(2024, 5, 17), QTime(10, 0), Qt::UTC),
                                  {64, 48}});
}

QList<UploadJournal::Event> journal()
{
    QMutexLocker locker(&UploadJournal::shared().lock());
    return UploadJournal::shared().loadEvents();
}

bool isMounted()
{
    QFile mounts(QStringLiteral("/proc/self/mounts"));
    return mounts.open(QIODevice::ReadOnly) &&
           mounts.readAll().contains(QFile::encodeName(ContainerPaths::mountPoint()));
}

QStringList keysOf(const ImmichDoubleProcess& server)
{
    QStringList keys;
    for (const QJsonValue& user : server.control("GET", QStringLiteral("/_double/users")).array()) {
        for (const QJsonValue& key : user[QLatin1String("apiKeys")].toArray())
            keys << key.toString();
    }
    return keys;
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
        const QStringList keysBefore = keysOf(server);

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
        QVERIFY(keysOf(server).contains(key));

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
        QTRY_COMPARE_WITH_TIMEOUT(keysOf(server), keysBefore, 10'000);
        QCOMPARE(app.state(), QProcess::Running);

        ::kill(pid_t(app.processId()), SIGTERM);
        QVERIFY(app.waitForFinished(20'000));
        QCOMPARE(app.exitCode(), 0);
        // The lock went with the process: the next start is the application again.
        refused = runToEnd({QStringLiteral("--sign-in"), kEmail}, QStringLiteral("faux"));
        QCOMPARE(refused.exitCode, 1);
        QVERIFY(refused.output.contains(QStringLiteral("incorrect")));
    }

    // The road of one photo: copied into the drive, parked in the quarantine by the drive,
    // uploaded by the application, and back in its month under its server identity.
    void droppedPhotoReachesItsMonth()
    {
        ImmichDoubleProcess server;
        QVERIFY(server.start({QStringLiteral("--user"), kEmail + QLatin1Char(':') + kPassword}));
        QProcess app;
        app.setProcessEnvironment(environment(false, kPassword));
        app.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        app.start(program(), {QStringLiteral("--server"), server.url().toString(),
                              QStringLiteral("--sign-in"), kEmail});
        QVERIFY(app.waitForStarted());
        const QDir drive(ContainerPaths::mountPoint());
        QTRY_VERIFY_WITH_TIMEOUT(isMounted(), 30'000);
        const QString photos = drive.filePath(QStringLiteral("Mes photos"));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(photos).isDir(), 30'000);

        QTemporaryDir source;
        const QString original = source.filePath(QStringLiteral("IMG_0517.jpg"));
        QFile file(original);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(cameraJpeg());
        file.close();
        QCOMPARE(tool(QStringLiteral("cp"), {original, photos + QLatin1Char('/')}), QString());

        QTRY_COMPARE_WITH_TIMEOUT(journal().size(), 1, 30'000);
        const UploadJournal::Event event = journal().first();
        QCOMPARE(event.outcome, UploadJournal::Outcome::uploaded);
        QCOMPARE(event.filename, QStringLiteral("IMG_0517.jpg"));
        QVERIFY(event.assetId && !event.assetId->isEmpty());
        QVERIFY(UploadQuarantine::shared().list().isEmpty());

        // The month holds the photo once, and reading it fetches the server's asset.
        const QString year = QDir(photos).filePath(QStringLiteral("2024"));
        QTRY_COMPARE_WITH_TIMEOUT(QDir(year).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 1,
                                  30'000);
        const QString month =
            QDir(year).filePath(QDir(year).entryList(QDir::Dirs | QDir::NoDotAndDotDot).first());
        const auto serverRead = [&server, &event] {
            for (const QJsonValue& request : server.requests()) {
                if (request[QLatin1String("path")].toString().contains(*event.assetId +
                                                                       QLatin1String("/original")))
                    return true;
            }
            return false;
        };
        QTRY_VERIFY_WITH_TIMEOUT(
            tool(QStringLiteral("ls"), {month}) == QStringLiteral("IMG_0517.jpg\n") &&
                tool(QStringLiteral("cmp"),
                     {original, QDir(month).filePath(QStringLiteral("IMG_0517.jpg"))})
                    .isEmpty() &&
                serverRead(),
            30'000);

        ::kill(pid_t(app.processId()), SIGTERM);
        QVERIFY(app.waitForFinished(30'000));
        QCOMPARE(app.exitCode(), 0);
        QVERIFY(!isMounted());
    }
};

QTEST_GUILESS_MAIN(TestPixavellaProgram)
#include "TestPixavellaProgram.moc"
