// The drive as a user changes it: copies, refusals, folders, moves, renames and deletions made
// with cp, rsync, gio, mkdir, mv, rm and rmdir on the real mount, checked against the server,
// the upload quarantine and the queues the tray application reads.
#include "ContainerPaths.h"
#include "DriveHarness.h"
#include "PedagogicalNoticeQueue.h"
#include "UploadQuarantine.h"
#include "UserNoticeQueue.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>

#include <exiv2/exiv2.hpp>

using namespace pixavella;
using namespace pixavella::testing;

namespace {

constexpr int kSlow = 30'000;

// A JPEG of its own colour, taken on `taken` ("YYYY:MM:DD HH:MM:SS" in EXIF).
QByteArray writePhoto(const QString& path, int seed, const char* taken)
{
    QImage image(64, 48, QImage::Format_RGB32);
    image.fill(QColor::fromHsv((seed * 37) % 360, 200, 200));
    if (!image.save(path, "JPEG"))
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

// The payload of the quarantine entry of `name`; empty when there is none.
QByteArray quarantined(const QString& name)
{
    for (const UploadQuarantine::Entry& entry : UploadQuarantine::shared().list()) {
        if (entry.filename != name)
            continue;
        QFile payload(UploadQuarantine::shared().payloadURL(entry.id).value_or(QString()));
        return payload.open(QIODevice::ReadOnly) ? payload.readAll() : QByteArray("<no payload>");
    }
    return {};
}

QStringList notices()
{
    QStringList keys;
    for (PedagogicalNotice notice : PedagogicalNoticeQueue::shared().drain())
        keys.append(noticeKey(notice));
    return keys;
}

} // namespace

class TestDriveWriting : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void copiedPhotosWaitInTheQuarantine_data();
    void copiedPhotosWaitInTheQuarantine();
    void refusedDropsLeaveNothing();
    void foldersBecomeAlbums();
    void movesChangeAlbumMembership();
    void renamesReachTheServer();
    void deletions();

private:
    bool isTrashed(const QString& name) const
    {
        return m_drive.api("GET", "/api/assets/" + m_ids[name])[u"isTrashed"].toBool();
    }
    QString album(const QString& name) const { return "Mes albums/" + name; }

    DriveHarness m_drive;
    QTemporaryDir m_local;
    QHash<QString, QString> m_ids;
    QHash<QString, QString> m_albums;
};

void TestDriveWriting::initTestCase()
{
    QVERIFY(m_drive.startServer());
    QVERIFY(m_drive.startNamesService());
    const auto add = [this](const QString& owner, const QString& name, int seed, const char* taken,
                            const char* date) {
        const QByteArray bytes = writePhoto(m_local.filePath(name), seed, taken);
        m_ids[name] = m_drive.addAsset(owner, name, QString::fromLatin1(date), bytes);
    };
    add(kMe, "held.jpg", 1, "2024:03:05 10:00:00", "2024-03-05T10:00:00.000Z");
    add(kMe, "plage.jpg", 2, "2024:03:06 10:00:00", "2024-03-06T10:00:00.000Z");
    add(kMe, "gone.jpg", 3, "2024:03:07 10:00:00", "2024-03-07T10:00:00.000Z");
    add(kMe, "bin.jpg", 4, "2024:03:08 10:00:00", "2024-03-08T10:00:00.000Z");
    add(kMe, "twice.jpg", 6, "2024:03:09 10:00:00", "2024-03-09T10:00:00.000Z");
    add(kOther, "theirs.jpg", 5, "2022:01:01 10:00:00", "2022-01-01T10:00:00.000Z");
    m_albums["Vacances"] = m_drive.addAlbum(kMe, "Vacances", {m_ids["held.jpg"]});
    m_albums["Noël"] = m_drive.addAlbum(kMe, "Noël", {});
    m_albums["Famille"] =
        m_drive.addAlbum(kOther, "Famille", {m_ids["theirs.jpg"]}, {member(kMe, "editor")});
    m_drive.signIn();
    const Result<void> mounted = m_drive.mount();
    QVERIFY2(mounted, qPrintable(mounted ? QString() : mounted.error().description));
    QCOMPARE(m_drive.ls("Mes photos/2024/Mars"),
             (QStringList{"bin.jpg", "gone.jpg", "held.jpg", "plage.jpg", "twice.jpg"}));
    QCOMPARE(m_drive.ls("Mes albums partagés/Famille"), QStringList{"theirs.jpg"});
    notices();
}

void TestDriveWriting::cleanupTestCase()
{
    m_drive.stop();
}

void TestDriveWriting::copiedPhotosWaitInTheQuarantine_data()
{
    QTest::addColumn<QString>("tool");
    QTest::addColumn<QStringList>("names");
    QTest::newRow("cp") << "cp" << QStringList{"cp.jpg"};
    QTest::newRow("cp -p") << "cp -p" << QStringList{"cp-p.jpg"};
    QTest::newRow("gio copy") << "gio copy" << QStringList{"gio.jpg"};
    QTest::newRow("rsync of a folder") << "rsync -r" << QStringList{"rsync-1.jpg", "rsync-2.jpg"};
}

void TestDriveWriting::copiedPhotosWaitInTheQuarantine()
{
    QFETCH(QString, tool);
    QFETCH(QStringList, names);
    static int seed = 10;
    const QString folder = m_local.filePath(QTest::currentDataTag());
    QDir().mkpath(folder);
    QHash<QString, QByteArray> bytes;
    for (const QString& name : names)
        bytes[name] = writePhoto(folder + u'/' + name, ++seed, "2024:03:20 12:00:00");

    QStringList arguments = tool.split(u' ');
    const QString program = arguments.takeFirst();
    arguments << (names.size() > 1 ? folder + u'/' : folder + u'/' + names[0])
              << m_drive.path("Mes photos/");
    const ToolRun run = m_drive.run(program, arguments);
    QVERIFY2(run.exitCode == 0, run.err.constData());

    // Filed at once in the month of its capture date.
    const QStringList month = m_drive.ls("Mes photos/2024/Mars");
    for (const QString& name : names) {
        QVERIFY2(quarantined(name) == bytes[name], qPrintable(name));
        QVERIFY2(month.contains(name), qPrintable(month.join(", ")));
    }
}

void TestDriveWriting::refusedDropsLeaveNothing()
{
    const qsizetype before = UploadQuarantine::shared().list().size();
    QFile pdf(m_local.filePath("facture.pdf"));
    QVERIFY(pdf.open(QIODevice::WriteOnly));
    pdf.write("%PDF-1.4\n%%EOF\n");
    pdf.close();
    m_drive.run("cp", {pdf.fileName(), m_drive.path("Mes photos/")});
    QCOMPARE(notices(), QStringList{"nonmedia"});

    // The server already holds these bytes, under this name, in this month.
    const ToolRun again =
        m_drive.run("cp", {m_local.filePath("twice.jpg"), m_drive.path("Mes photos/")});
    QCOMPARE(notices(), QStringList{"duplicate"});
    QCOMPARE(UploadQuarantine::shared().list().size(), before);
    QCOMPARE(m_drive.ls("Mes photos/2024/Mars").count("twice.jpg"), 1);
    Q_UNUSED(again);
}

void TestDriveWriting::foldersBecomeAlbums()
{
    const auto albumNames = [this] {
        QStringList names;
        for (const QJsonValue& a : m_drive.api("GET", "/api/albums").array())
            names.append(a[u"albumName"].toString());
        names.sort();
        return names;
    };
    QCOMPARE(m_drive.run("mkdir", {m_drive.path("Mes albums/Voyage")}).exitCode, 0);
    QCOMPARE(m_drive.run("mkdir", {m_drive.path("Mes photos/Anniversaire")}).exitCode, 0);
    QCOMPARE(albumNames(), (QStringList{"Anniversaire", "Famille", "Noël", "Vacances", "Voyage"}));
    QVERIFY(m_drive.ls("Mes albums").contains("Voyage"));
    QVERIFY(m_drive.ls("Mes albums").contains("Anniversaire"));
    QCOMPARE(notices(), (QStringList{"albumready", "newfolder"}));
}

void TestDriveWriting::movesChangeAlbumMembership()
{
    const auto mv = [this](const QString& from, const QString& to) {
        return m_drive.run("mv", {m_drive.path(from), m_drive.path(to)});
    };
    // Into an album: the photo stays in its month.
    QCOMPARE(mv("Mes photos/2024/Mars/plage.jpg", album("Noël/")).exitCode, 0);
    QCOMPARE(m_drive.albumAssetNames(m_albums["Noël"]), QStringList{"plage.jpg"});
    QVERIFY(m_drive.ls("Mes photos/2024/Mars").contains("plage.jpg"));
    QVERIFY(m_drive.ls(album("Noël")).contains("plage.jpg"));

    // From one album to another.
    QCOMPARE(mv(album("Vacances/held.jpg"), album("Noël/")).exitCode, 0);
    QCOMPARE(m_drive.albumAssetNames(m_albums["Vacances"]), QStringList{});
    QCOMPARE(m_drive.albumAssetNames(m_albums["Noël"]), (QStringList{"held.jpg", "plage.jpg"}));

    // Out of an album, back to the library only.
    QCOMPARE(mv(album("Noël/plage.jpg"), "Mes photos/").exitCode, 0);
    QCOMPARE(m_drive.albumAssetNames(m_albums["Noël"]), QStringList{"held.jpg"});
    QVERIFY(m_drive.ls("Mes photos/2024/Mars").contains("plage.jpg"));

    // A shared album's photo does not leave it.
    const ToolRun refused = mv("Mes albums partagés/Famille/theirs.jpg", album("Noël/"));
    QVERIFY(refused.exitCode != 0);
    QCOMPARE(m_drive.albumAssetNames(m_albums["Famille"]), QStringList{"theirs.jpg"});
    QVERIFY(m_drive.ls("Mes albums partagés/Famille").contains("theirs.jpg"));
}

void TestDriveWriting::renamesReachTheServer()
{
    QCOMPARE(m_drive
                 .run("mv", {m_drive.path("Mes photos/2024/Mars/plage.jpg"),
                             m_drive.path("Mes photos/2024/Mars/Plage de Nice.jpg")})
                 .exitCode,
             0);
    QTRY_COMPARE_WITH_TIMEOUT(
        m_drive.api("GET", "/pixavella-names/names")[m_ids["plage.jpg"]].toString(),
        QString("Plage de Nice.jpg"), kSlow);
    const auto cached = [] {
        QFile cache(ContainerPaths::container() + "/names-cache.json");
        return cache.open(QIODevice::ReadOnly) ? cache.readAll() : QByteArray();
    };
    QTRY_VERIFY_WITH_TIMEOUT(cached().contains("Plage de Nice.jpg"), kSlow);
    QVERIFY(m_drive.ls("Mes photos/2024/Mars").contains("Plage de Nice.jpg"));
    QVERIFY(!m_drive.ls("Mes photos/2024/Mars").contains("plage.jpg"));

    QCOMPARE(
        m_drive.run("mv", {m_drive.path(album("Noël")), m_drive.path(album("Noël 2024"))}).exitCode,
        0);
    QCOMPARE(m_drive.api("GET", "/api/albums/" + m_albums["Noël"])[u"albumName"].toString(),
             QString("Noël 2024"));
    QVERIFY(m_drive.ls("Mes albums").contains("Noël 2024"));
}

void TestDriveWriting::deletions()
{
    UserNoticeQueue::shared().drain();
    // rm: to the server's trash, gone from the listing at once, the user told.
    QCOMPARE(m_drive.run("rm", {m_drive.path("Mes photos/2024/Mars/gone.jpg")}).exitCode, 0);
    QVERIFY(isTrashed("gone.jpg"));
    QVERIFY(!m_drive.ls("Mes photos/2024/Mars").contains("gone.jpg"));
    QCOMPARE(UserNoticeQueue::shared().drain().size(), 1);

    // gio trash, then restored from the desktop's trash.
    const QString bin = m_drive.path("Mes photos/2024/Mars/bin.jpg");
    const ToolRun trashed = m_drive.run("gio", {"trash", bin});
    QVERIFY2(trashed.exitCode == 0, trashed.err.constData());
    QTRY_VERIFY_WITH_TIMEOUT(isTrashed("bin.jpg"), kSlow);
    QVERIFY(!m_drive.ls("Mes photos/2024/Mars").contains("bin.jpg"));
    QString uri;
    for (const QString& line :
         QString::fromUtf8(m_drive.run("gio", {"trash", "--list"}).out).split(u'\n'))
        if (line.section(u'\t', 1) == bin)
            uri = line.section(u'\t', 0, 0);
    QVERIFY(!uri.isEmpty());
    const ToolRun restored = m_drive.run("gio", {"trash", "--restore", uri});
    QVERIFY2(restored.exitCode == 0, restored.err.constData());
    QTRY_VERIFY_WITH_TIMEOUT(!isTrashed("bin.jpg"), kSlow);
    QTRY_VERIFY_WITH_TIMEOUT(m_drive.ls("Mes photos/2024/Mars").contains("bin.jpg"), kSlow);

    // rmdir of an album deletes it on the server.
    QString voyage;
    for (const QJsonValue& a : m_drive.api("GET", "/api/albums").array())
        if (a[u"albumName"].toString() == "Voyage")
            voyage = a[u"id"].toString();
    QVERIFY(!voyage.isEmpty());
    QCOMPARE(m_drive.run("rmdir", {m_drive.path(album("Voyage"))}).exitCode, 0);
    QVERIFY(m_drive.api("GET", "/api/albums/" + voyage).isNull());
    QVERIFY(!m_drive.ls("Mes albums").contains("Voyage"));

    // rm of a photo still waiting to be sent cancels its upload.
    const QString pending = m_local.filePath("pending.jpg");
    writePhoto(pending, 99, "2024:03:25 12:00:00");
    QCOMPARE(m_drive.run("cp", {pending, m_drive.path("Mes photos/")}).exitCode, 0);
    QVERIFY(m_drive.ls("Mes photos/2024/Mars").contains("pending.jpg"));
    UserNoticeQueue::shared().drain();
    QCOMPARE(m_drive.run("rm", {m_drive.path("Mes photos/2024/Mars/pending.jpg")}).exitCode, 0);
    QVERIFY(quarantined("pending.jpg").isEmpty());
    QVERIFY(!m_drive.ls("Mes photos/2024/Mars").contains("pending.jpg"));
    QCOMPARE(UserNoticeQueue::shared().drain().size(), 1);
}

QTEST_GUILESS_MAIN(TestDriveWriting)
#include "TestDriveWriting.moc"
