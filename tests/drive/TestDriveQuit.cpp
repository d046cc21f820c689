// The daemon stops cleanly whatever it is doing: told to quit (SIGTERM, or the domain removed
// by the tray application) in the middle of a walk of a large library, it answers what is
// open, lets the server's late answers fall on nothing and takes the mount away; a crash would
// leave the mount behind, dead ("Transport endpoint is not connected").
#include "ContainerPaths.h"
#include "DriveHarness.h"

#include <QFile>
#include <QProcess>
#include <QTest>
#include <QThread>

#include <csignal>

using namespace pixavella;
using namespace pixavella::testing;

namespace {

bool isMounted()
{
    QFile mounts(QStringLiteral("/proc/self/mounts"));
    return mounts.open(QIODevice::ReadOnly) &&
           mounts.readAll().contains(QFile::encodeName(ContainerPaths::mountPoint() + u' '));
}

bool isGone(qint64 pid)
{
    return ::kill(pid_t(pid), 0) != 0;
}

} // namespace

class TestDriveQuit : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_drive.startServer({QStringLiteral("--seed"), QStringLiteral("30000")}));
        m_drive.signIn();
    }
    void cleanupTestCase() { m_drive.stop(); }

    void quitsCleanlyDuringABusyWalk()
    {
        for (int round = 0; round < 10; ++round) {
            const QByteArray where = "round " + QByteArray::number(round);
            QVERIFY2(m_drive.mount(), where);
            QProcess walk;
            walk.setStandardOutputFile(QProcess::nullDevice());
            walk.setStandardErrorFile(QProcess::nullDevice());
            walk.start(QStringLiteral("ls"), {QStringLiteral("-lR"), m_drive.path()});
            QVERIFY2(walk.waitForStarted(), where);
            // Stopped at a different moment of the walk each time.
            QThread::msleep(200 + 250 * round);
            const qint64 pid = m_drive.daemonPid();
            QVERIFY2(pid > 0, where);
            if (round % 2 == 0)
                ::kill(pid_t(pid), SIGTERM);
            else
                (void)m_drive.remove();
            QTRY_VERIFY2_WITH_TIMEOUT(isGone(pid), where, 90'000);
            QVERIFY2(!isMounted(), where + " left its mount behind");
            walk.kill();
            walk.waitForFinished();
        }
    }

private:
    DriveHarness m_drive;
};

QTEST_GUILESS_MAIN(TestDriveQuit)
#include "TestDriveQuit.moc"
