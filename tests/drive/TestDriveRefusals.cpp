// What the programs that write into the drive are told: a file the drive will not keep fails
// the call that would put it there (create, close or rename), so cp, rsync, gio and mv report
// it and keep their copy, and nothing of it stays listed. A file whose bytes are not whole
// (a write that failed, a writer killed half-way) is never sent to the server.
#include "ContainerPaths.h"
#include "DriveHarness.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <unistd.h>

using namespace pixavella;
using namespace pixavella::testing;

namespace {

constexpr int kSlow = 30'000;

void writeText(const QString& path)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write("Pain, lait, fromage.\n");
}

} // namespace

class TestDriveRefusals : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase() { m_drive.stop(); }
    void cleanup();

    void refusalsReachTheWritingProgram_data();
    void refusalsReachTheWritingProgram();
    void writesThatFailLeaveNothing_data();
    void writesThatFailLeaveNothing();
    void killedWritersNeverUpload();
    void fsyncReachesThePayload();

private:
    // Mounts a tmpfs of `kib` KiB over `folder` until cleanup().
    bool mountSmall(const QString& folder, int kib);

    DriveHarness m_drive;
    QTemporaryDir m_local;
    QStringList m_smallMounts;
};

void TestDriveRefusals::initTestCase()
{
    QVERIFY(m_drive.startServer());
    m_drive.addAsset(kMe, "twice.jpg", "2024-03-09T10:00:00.000Z",
                     writePhoto(m_local.filePath("twice.jpg"), "2024:03:09 10:00:00"));
    const QString theirs =
        m_drive.addAsset(kOther, "theirs.jpg", "2022-01-01T10:00:00.000Z",
                         writePhoto(m_local.filePath("theirs.jpg"), "2022:01:01 10:00:00"));
    m_drive.addAlbum(kOther, "Mariage", {theirs}, {member(kMe, "viewer")});
    m_drive.signIn();
    QVERIFY(m_drive.mount());
    QCOMPARE(m_drive.ls("Mes photos/2024/Mars"), QStringList{"twice.jpg"});
    writeText(m_local.filePath("notes.txt"));
    writeText(m_local.filePath("liste.jpg"));
    writePhoto(m_local.filePath("photo.jpg"), "2024:03:12 10:00:00");
}

void TestDriveRefusals::cleanup()
{
    for (const QString& folder : std::as_const(m_smallMounts))
        runTool("umount", {"-l", folder});
    m_smallMounts.clear();
    for (const UploadQuarantine::Entry& e : UploadQuarantine::shared().list())
        (void)UploadQuarantine::shared().remove(e.id);
}

bool TestDriveRefusals::mountSmall(const QString& folder, int kib)
{
    QDir().mkpath(folder);
    if (runTool("mount", {"-t", "tmpfs", "-o", QString("size=%1k").arg(kib), "tmpfs", folder})
            .exitCode != 0)
        return false;
    m_smallMounts.append(folder);
    return true;
}

void TestDriveRefusals::refusalsReachTheWritingProgram_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("into");
    QTest::addColumn<QString>("told");
    const auto row = [](const char* command, const char* source, const char* into,
                        const char* told = "Operation not permitted") {
        QTest::addRow("%s, %s into %s", command, source, into) << command << source << into << told;
    };
    // A name that is no photo: refused at create, before a byte is copied.
    row("cp", "notes.txt", "Mes photos");
    row("mv", "notes.txt", "Mes photos");
    row("gio copy", "notes.txt", "Mes photos", "");
    // Named like a photo, holding text: refused when closed.
    row("cp", "liste.jpg", "Mes photos");
    row("rsync -a", "liste.jpg", "Mes photos");
    row("gio copy", "liste.jpg", "Mes photos", "");
    row("shutil", "liste.jpg", "Mes photos", "PermissionError");
    // A photo the server holds under this name and month.
    row("cp", "twice.jpg", "Mes photos", "File exists");
    row("rsync -a", "twice.jpg", "Mes photos", "File exists");
    // Places that hold no files.
    row("mv", "photo.jpg", "Mes albums");
    row("mv", "photo.jpg", "Mes albums partagés/Mariage");
}

void TestDriveRefusals::refusalsReachTheWritingProgram()
{
    QFETCH(QString, command);
    QFETCH(QString, source);
    QFETCH(QString, into);
    QFETCH(QString, told);
    // A copy of its own, so that mv has something to lose.
    const QString from = m_local.filePath("src/" + source);
    QDir().mkpath(m_local.filePath("src"));
    QFile::remove(from);
    QVERIFY(QFile::copy(m_local.filePath(source), from));
    const QString to = m_drive.path(into) + u'/';
    const QStringList before = m_drive.ls(into);

    ToolRun run;
    if (command == "shutil")
        run = m_drive.run(
            "python3",
            {"-c", "import shutil,sys; shutil.copy(sys.argv[1], sys.argv[2])", from, to});
    else {
        QStringList arguments = command.split(u' ');
        const QString program = arguments.takeFirst();
        run = m_drive.run(program, arguments << from << to);
    }
    QVERIFY2(run.exitCode != 0, run.err.constData());
    QVERIFY2(told.isEmpty() || run.err.contains(told.toUtf8()), run.err.constData());
    QVERIFY2(QFile::exists(from), "the program lost its copy");
    QCOMPARE(m_drive.ls(into), before);
    QVERIFY(!m_drive.ls("Mes photos/2024/Mars").contains("photo.jpg"));
    QCOMPARE(m_drive.ls("Mes photos/2024/Mars").count("twice.jpg"), 1);
    QCOMPARE(UploadQuarantine::shared().list().size(), 0);
}

void TestDriveRefusals::writesThatFailLeaveNothing_data()
{
    QTest::addColumn<QString>("smallFolder");
    QTest::newRow("staging full") << "staging";
    QTest::newRow("quarantine full") << "quarantine";
}

void TestDriveRefusals::writesThatFailLeaveNothing()
{
    QFETCH(QString, smallFolder);
    if (::geteuid() != 0)
        QSKIP("mounting a small filesystem needs root");
    const QString staging = ContainerPaths::domainCache() + "/staging";
    const QString quarantine = UploadQuarantine::shared().directoryURL().value();
    QVERIFY(mountSmall(smallFolder == "staging" ? staging : quarantine, 512));
    // Larger than the room there, with its EXIF date in 2022.
    const QString big = m_local.filePath("big.jpg");
    QVERIFY(!writePhoto(big, "2022:04:01 10:00:00", 1200).isEmpty());
    QVERIFY(QFileInfo(big).size() > 600 << 10);

    const ToolRun cp = m_drive.run("cp", {big, m_drive.path("Mes photos/")});
    QVERIFY(cp.exitCode != 0);
    QVERIFY2(cp.err.contains("No space left on device"), cp.err.constData());
    QVERIFY(!m_drive.ls("Mes photos").contains("big.jpg"));
    QVERIFY(!m_drive.ls("Mes photos/2022").contains("Avril"));
    QCOMPARE(UploadQuarantine::shared().list().size(), 0);

    // Once there is room again, the same copy is taken whole.
    cleanup();
    QCOMPARE(m_drive.run("cp", {big, m_drive.path("Mes photos/")}).exitCode, 0);
    const std::optional<UploadQuarantine::Entry> entry = queued("big.jpg");
    QVERIFY(entry);
    QCOMPARE(entry->attempts, 0);
    QCOMPARE(entry->payloadSize, std::optional<qint64>(QFileInfo(big).size()));
}

void TestDriveRefusals::killedWritersNeverUpload()
{
    const QString name = "killed.jpg";
    const QString target = m_drive.path("Mes photos/" + name);
    // Writes the start of a file, says so, and waits to be killed with the file open.
    QProcess writer;
    writer.start("python3", {"-c",
                             "import sys, time; f = open(sys.argv[1], 'wb'); "
                             "f.write(b'\\xff\\xd8\\xff\\xe0' + bytes(300000)); f.flush(); "
                             "print('written', flush=True); time.sleep(60)",
                             target});
    QVERIFY(writer.waitForStarted());
    QVERIFY(writer.waitForReadyRead(kSlow));
    ::kill(pid_t(writer.processId()), SIGKILL);
    QVERIFY(writer.waitForFinished(kSlow));

    QTRY_VERIFY_WITH_TIMEOUT(queued(name).has_value(), kSlow);
    const UploadQuarantine::Entry entry = *queued(name);
    QCOMPARE(entry.attempts, UploadQuarantine::kGivenUpAttempts);
    QCOMPARE(entry.lastError, std::optional<QString>("fichier incomplet"));
    QTRY_VERIFY_WITH_TIMEOUT(m_drive.ls("Mes photos/Envois échoués").contains(name), kSlow);
}

void TestDriveRefusals::fsyncReachesThePayload()
{
    const QString target = m_drive.path("Mes photos/synced.jpg");
    const QByteArray bytes = writePhoto(m_local.filePath("synced.jpg"), "2024:03:15 10:00:00");
    const ToolRun run = m_drive.run(
        "python3", {"-c",
                    "import os, sys; f = open(sys.argv[2], 'wb'); "
                    "f.write(open(sys.argv[1], 'rb').read()); f.flush(); os.fsync(f.fileno()); "
                    "f.close()",
                    m_local.filePath("synced.jpg"), target});
    QVERIFY2(run.exitCode == 0, run.err.constData());
    QVERIFY(queuedBytes("synced.jpg") == bytes);
    QCOMPARE(queued("synced.jpg")->payloadSize, std::optional<qint64>(bytes.size()));
}

QTEST_GUILESS_MAIN(TestDriveRefusals)
#include "TestDriveRefusals.moc"
