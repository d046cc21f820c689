#include "LoginItem.h"
#include "SharedSettings.h"

#include <QFile>
#include <QProcess>
#include <QTest>

#include <csignal>

using namespace pixavella;

// The program as a user starts it, on the test's private home: switches, headless running,
// clean exit on SIGTERM.
class TestPixavellaProgram : public QObject {
    Q_OBJECT

private slots:
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
        const QString program =
            qEnvironmentVariable("PIXAVELLA_BUILD_DIR") + QStringLiteral("/app/program/pixavella");
        QVERIFY2(QFile::exists(program), qPrintable(program));
        SharedSettings::setApiKey(QString());
        const QString server = QStringLiteral("http://127.0.0.1:9/immich");

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        if (display)
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        else
            env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(program, {QStringLiteral("--server"), server});
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
};

QTEST_GUILESS_MAIN(TestPixavellaProgram)
#include "TestPixavellaProgram.moc"
