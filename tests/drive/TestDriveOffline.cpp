// The drive with its server unreachable: a relay in front of the double is stopped, so every
// connection is refused as on a laptop that left its network, then started again on the same
// port. Browsing, cached photos and drops must go on; what needs the server must fail with an
// error that does not say the photo is gone; and the drive must catch up by itself.
#include "DriveHarness.h"

#include <QDir>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

using namespace pixavella;
using namespace pixavella::testing;

namespace {

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

} // namespace

class TestDriveOffline : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void browsingGoesOnWithoutTheServer();
    void theDriveCatchesUpWhenTheServerIsBack();

private:
    bool startRelay()
    {
        m_relay.start("python3", {DRIVE_TESTS_DIR "/tcp-relay.py", QString::number(m_relayPort),
                                  QString::number(m_drive.server().port())});
        return m_relay.waitForReadyRead(10'000) && m_relay.readAll().contains("listening");
    }
    void stopRelay()
    {
        m_relay.kill();
        m_relay.waitForFinished();
    }

    DriveHarness m_drive;
    QTemporaryDir m_local;
    QProcess m_relay;
    quint16 m_relayPort = 0;
    QHash<QString, QByteArray> m_bytes;
};

void TestDriveOffline::initTestCase()
{
    QVERIFY(m_drive.startServer());
    for (const char* name : {"lu.jpg", "jamais-lu.jpg"}) {
        m_bytes[name] = writePhoto(m_local.filePath(name), "2024:06:10 10:00:00");
        QVERIFY(!m_drive.addAsset(kMe, name, "2024-06-10T10:00:00.000Z", m_bytes[name]).isEmpty());
    }
    m_relayPort = freePort();
    QVERIFY(startRelay());
    m_drive.signIn(kMyKey, QStringLiteral("http://127.0.0.1:%1").arg(m_relayPort));
    QVERIFY(m_drive.mount());
    QCOMPARE(m_drive.ls("Mes photos/2024/Juin"), (QStringList{"jamais-lu.jpg", "lu.jpg"}));
    QCOMPARE(m_drive.run("cat", {m_drive.path("Mes photos/2024/Juin/lu.jpg")}).out,
             m_bytes["lu.jpg"]);
}

void TestDriveOffline::cleanupTestCase()
{
    m_drive.stop();
    stopRelay();
}

void TestDriveOffline::browsingGoesOnWithoutTheServer()
{
    stopRelay();
    (void)m_drive.signal(FileProviderContainer::workingSet); // a refresh that cannot reach it

    QCOMPARE(m_drive.ls("Mes photos/2024/Juin"), (QStringList{"jamais-lu.jpg", "lu.jpg"}));
    QCOMPARE(m_drive.ls("Mes photos"), QStringList{"2024"});
    QCOMPARE(m_drive.run("cat", {m_drive.path("Mes photos/2024/Juin/lu.jpg")}).out,
             m_bytes["lu.jpg"]);

    // Not downloaded: an error about the network, never "No such file or directory".
    const ToolRun uncached =
        m_drive.run("cat", {m_drive.path("Mes photos/2024/Juin/jamais-lu.jpg")});
    QVERIFY(uncached.exitCode != 0);
    QVERIFY2(uncached.err.contains("No route to host"), uncached.err.constData());

    // A drop still waits in the queue, shown in its month.
    const QString photo = m_local.filePath("hors-ligne.jpg");
    QVERIFY(!writePhoto(photo, "2024:06:12 10:00:00").isEmpty());
    const ToolRun copied = m_drive.run("cp", {photo, m_drive.path("Mes photos/")});
    QVERIFY2(copied.exitCode == 0, copied.err.constData());
    QVERIFY(queued("hors-ligne.jpg"));
}

void TestDriveOffline::theDriveCatchesUpWhenTheServerIsBack()
{
    // Changed on the server while the drive could not see it.
    m_bytes["pendant.jpg"] = writePhoto(m_local.filePath("pendant.jpg"), "2024:06:11 10:00:00");
    QVERIFY(
        !m_drive.addAsset(kMe, "pendant.jpg", "2024-06-11T10:00:00.000Z", m_bytes["pendant.jpg"])
             .isEmpty());
    QVERIFY(startRelay());

    // No signal and no restart: the drive finds the server again by itself.
    QTRY_VERIFY_WITH_TIMEOUT(m_drive.ls("Mes photos/2024/Juin").contains("pendant.jpg"), 90'000);
    QCOMPARE(m_drive.run("cat", {m_drive.path("Mes photos/2024/Juin/jamais-lu.jpg")}).out,
             m_bytes["jamais-lu.jpg"]);
    QCOMPARE(m_drive.run("cat", {m_drive.path("Mes photos/2024/Juin/pendant.jpg")}).out,
             m_bytes["pendant.jpg"]);
}

QTEST_GUILESS_MAIN(TestDriveOffline)
#include "TestDriveOffline.moc"
