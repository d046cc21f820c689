// What the programs that write into the drive are told: a file the drive will not keep fails
// the call that would put it there (create, close or rename), so cp, rsync, gio and mv report
// it and keep their copy, and nothing of it stays listed. A file whose bytes are not whole
// (a write that failed, a writer killed half-way) is never sent to the server.
#include "ContainerPaths.h"
#include "DriveHarness.h"
#include "UploadQuarantine.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <exiv2/exiv2.hpp>

#include <csignal>
#include <unistd.h>

using namespace pixavella;
using namespace pixavella::testing;

namespace {

constexpr int kSlow = 30'000;

// Noise, so that a large one stays large once compressed.
QByteArray writePhoto(const QString& path, const char* taken, int width = 64)
{
    QImage image(width, width * 3 / 4, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, QRandomGenerator::global()->generate() | 0xff000000u);
    if (!image.save(path, "JPEG", 95))
        return {};
    auto file = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
    file->readMetadata();
    Exiv2::ExifData exif = file->exifData();
    exif["Exif.Photo.DateTimeOriginal"] = std::string(taken);
    file->setExifData(exif);
    file->writeMetadata();
    QFile written(path);
    return written.open(QIODevice::ReadOnly) ? written.readAll() : QByteArray();
}

void writeText(const QString& path)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write("Pain, lait, fromage.\n");
}

QStringList queuedNames()
{
    QStringList names;
    for (const UploadQuarantine::Entry& e : UploadQuarantine::shared().list())
        names.append(e.filename);
    return names;
}

std::optional<UploadQuarantine::Entry> queued(const QString& name)
{
    for (const UploadQuarantine::Entry& e : UploadQuarantine::shared().list())
        if (e.filename == name)
            return e;
    return std::nullopt;
}

bool isRoot()
{
    return ::geteuid() == 0;
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
    void killedWritersNeverUpload_data();
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
    const QByteArray bytes = writePhoto(m_local.filePath("twice.jpg"), "2024:03:09 10:00:00");
    m_drive.addAsset(kMe, "twice.jpg", "2024-03-09T10:00:00.000Z", bytes);
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
    const QString notPermitted = "Operation not permitted";
    // A name that is no photo: refused at create, before a byte is copied.
    QTest::newRow("cp, text") << "cp"
                              << "notes.txt"
                              << "Mes photos" << notPermitted;
    QTest::newRow("mv, text") << "mv"
                              << "notes.txt"
                              << "Mes photos" << notPermitted;
    QTest::newRow("gio copy, text") << "gio copy"
                                    << "notes.txt"
                                    << "Mes photos" << QString();
    // Named like a photo, holding text: refused when closed.
    QTest::newRow("cp, text named .jpg") << "cp"
                                         << "liste.jpg"
                                         << "Mes photos" << notPermitted;
    QTest::newRow("cp -p, text named .jpg") << "cp -p"
                                            << "liste.jpg"
                                            << "Mes photos" << notPermitted;
    QTest::newRow("rsync -a, text named .jpg") << "rsync -a"
                                               << "liste.jpg"
                                               << "Mes photos" << notPermitted;
    QTest::newRow("gio copy, text named .jpg") << "gio copy"
                                               << "liste.jpg"
                                               << "Mes photos" << QString();
    QTest::newRow("python shutil, text named .jpg") << "shutil"
                                                    << "liste.jpg"
                                                    << "Mes photos"
                                                    << "PermissionError";
    // A photo the server holds under this name and month.
    QTest::newRow("cp, duplicate") << "cp"
                                   << "twice.jpg"
                                   << "Mes photos"
                                   << "File exists";
    QTest::newRow("rsync -a, duplicate") << "rsync -a"
                                         << "twice.jpg"
                                         << "Mes photos"
                                         << "File exists";
    // Places that hold no files.
    QTest::newRow("mv, album root") << "mv"
                                    << "photo.jpg"
                                    << "Mes albums" << notPermitted;
    QTest::newRow("mv, shared root") << "mv"
                                     << "photo.jpg"
                                     << "Mes albums partagés" << notPermitted;
    QTest::newRow("mv, viewer's album") << "mv"
                                        << "photo.jpg"
                                        << "Mes albums partagés/Mariage" << notPermitted;
    QTest::newRow("cp, viewer's album") << "cp"
                                        << "photo.jpg"
                                        << "Mes albums partagés/Mariage" << notPermitted;
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
    qInfo().noquote() << command << "printed:" << QString::fromUtf8(run.err).trimmed();
    QVERIFY2(QFile::exists(from), "the program lost its copy");
    QCOMPARE(m_drive.ls(into), before);
    QVERIFY(!m_drive.ls("Mes photos/2024/Mars").contains("photo.jpg"));
    QCOMPARE(m_drive.ls("Mes photos/2024/Mars").count("twice.jpg"), 1);
    QCOMPARE(queuedNames(), QStringList());
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
    if (!isRoot())
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
    QCOMPARE(queuedNames(), QStringList());

    // Once there is room again, the same copy is taken whole.
    cleanup();
    QCOMPARE(m_drive.run("cp", {big, m_drive.path("Mes photos/")}).exitCode, 0);
    const std::optional<UploadQuarantine::Entry> entry = queued("big.jpg");
    QVERIFY(entry);
    QCOMPARE(entry->attempts, 0);
    QCOMPARE(entry->payloadSize, std::optional<qint64>(QFileInfo(big).size()));
}

void TestDriveRefusals::killedWritersNeverUpload_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("jpeg") << "killed.jpg";
    QTest::newRow("mp4") << "killed.mp4";
}

void TestDriveRefusals::killedWritersNeverUpload()
{
    QFETCH(QString, name);
    const QString target = m_drive.path("Mes photos/" + name);
    // Writes the start of a file, says so, and waits to be killed with the file open.
    QProcess writer;
    writer.start(
        "python3",
        {"-c",
         "import sys, time\n"
         "f = open(sys.argv[1], 'wb')\n"
         "head = b'\\xff\\xd8\\xff\\xe0' if sys.argv[1].endswith('.jpg') else "
         "b'\\x00\\x00\\x00\\x18ftypisom\\x00\\x00\\x02\\x00isomiso2\\x00\\x10\\x00\\x00mdat'\n"
         "f.write(head + bytes(300000))\n"
         "f.flush()\n"
         "print('written', flush=True)\n"
         "time.sleep(60)\n",
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
    const ToolRun run = m_drive.run("python3", {"-c",
                                                "import os, sys\n"
                                                "data = open(sys.argv[1], 'rb').read()\n"
                                                "f = open(sys.argv[2], 'wb')\n"
                                                "f.write(data)\n"
                                                "f.flush()\n"
                                                "os.fsync(f.fileno())\n"
                                                "f.close()\n",
                                                m_local.filePath("synced.jpg"), target});
    QVERIFY2(run.exitCode == 0, run.err.constData());
    const std::optional<UploadQuarantine::Entry> entry = queued("synced.jpg");
    QVERIFY(entry);
    QCOMPARE(entry->payloadSize, std::optional<qint64>(bytes.size()));
    QFile payload(UploadQuarantine::shared().payloadURL(entry->id).value());
    QVERIFY(payload.open(QIODevice::ReadOnly));
    QVERIFY(payload.readAll() == bytes);
}

QTEST_GUILESS_MAIN(TestDriveRefusals)
#include "TestDriveRefusals.moc"
