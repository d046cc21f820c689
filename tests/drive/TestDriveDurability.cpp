// Nothing dropped is lost, nothing half-written is kept: the daemon killed with SIGKILL right
// after cp succeeded, and while cp is still writing.
#include "DriveHarness.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace pixavella;
using namespace pixavella::testing;

namespace {

// Photo-like bytes: a JPEG start of image followed by noise.
QByteArray writeFile(const QString& path, qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator(quint32(size)).fillRange(reinterpret_cast<quint32*>(bytes.data()), size / 4);
    bytes.replace(0, 3, "\xff\xd8\xff");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != size)
        return {};
    return bytes;
}

} // namespace

class TestDriveDurability : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_drive.startServer());
        m_drive.signIn();
    }
    void init() { QVERIFY(m_drive.mount()); }
    void cleanup() { m_drive.stop(); }

    void photoCopiedBeforeAKillIsWhole()
    {
        const QByteArray bytes = writeFile(m_local.filePath("kept.jpg"), 8 << 20);
        const ToolRun cp =
            m_drive.run("cp", {m_local.filePath("kept.jpg"), m_drive.path("Mes photos/")});
        QCOMPARE(cp.exitCode, 0);
        ::kill(pid_t(m_drive.daemonPid()), SIGKILL);

        QCOMPARE(UploadQuarantine::shared().list().size(), 1);
        QVERIFY(queuedBytes("kept.jpg") == bytes);
        (void)UploadQuarantine::shared().remove(queued("kept.jpg")->id);
    }

    void copyCutShortByAKillFailsAndLeavesNothing()
    {
        writeFile(m_local.filePath("cut.jpg"), 400 << 20);
        QProcess cp;
        cp.start("cp", {m_local.filePath("cut.jpg"), m_drive.path("Mes photos/")});
        QVERIFY(cp.waitForStarted());
        // Killed once some of the bytes went into the drive.
        const QString staging = qEnvironmentVariable("XDG_CACHE_HOME");
        QTRY_VERIFY_WITH_TIMEOUT(
            m_drive.run("du", {"-sb", staging}).out.split('\t')[0].toLongLong() > (20 << 20),
            20'000);
        ::kill(pid_t(m_drive.daemonPid()), SIGKILL);
        QVERIFY(cp.waitForFinished(30'000));
        QVERIFY(cp.exitCode() != 0);
        QVERIFY(!cp.readAllStandardError().isEmpty());
        QCOMPARE(UploadQuarantine::shared().list().size(), 0);

        // The drive comes back without the photo.
        m_drive.stop();
        QVERIFY(m_drive.mount());
        QVERIFY(!m_drive.ls("Mes photos").contains("cut.jpg"));
    }

private:
    DriveHarness m_drive;
    QTemporaryDir m_local;
};

QTEST_GUILESS_MAIN(TestDriveDurability)
#include "TestDriveDurability.moc"
