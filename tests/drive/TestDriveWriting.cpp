// The drive as a user changes it: copies, folders, moves, renames and deletions made with cp,
// rsync, gio, mkdir, mv, rm and rmdir on the real mount, checked against the server, the upload
// quarantine and the queues the tray application reads. Refusals are TestDriveRefusals'.
#include "DriveHarness.h"
#include "PedagogicalNoticeQueue.h"
#include "SettingsSuite.h"
#include "UserNoticeQueue.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace pixavella;
using namespace pixavella::testing;

namespace {

constexpr int kSlow = 30'000;

QStringList notices()
{
    QStringList keys;
    for (PedagogicalNotice notice : PedagogicalNoticeQueue(SettingsSuite::shared()).drain())
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
    void datesOfCopiesWithoutExif_data();
    void datesOfCopiesWithoutExif();
    void foldersBecomeAlbums();
    void treesBecomeAlbums_data();
    void treesBecomeAlbums();
    void movesChangeAlbumMembership();
    void renamesOntoNamesAndTypes();
    void savesReplaceThePhoto_data();
    void savesReplaceThePhoto();
    void deletions();

private:
    bool isTrashed(const QString& name) const
    {
        return m_drive.api("GET", "/api/assets/" + m_ids[name])[u"isTrashed"].toBool();
    }
    QString album(const QString& name) const { return "Mes albums/" + name; }
    // The albums on the server, id by name.
    QHash<QString, QString> serverAlbums() const
    {
        QHash<QString, QString> ids;
        for (const QJsonValue& a : m_drive.api("GET", "/api/albums").array())
            ids[a[u"albumName"].toString()] = a[u"id"].toString();
        return ids;
    }

    DriveHarness m_drive;
    QTemporaryDir m_local;
    QHash<QString, QString> m_ids;
    QHash<QString, QString> m_albums;
};

void TestDriveWriting::initTestCase()
{
    QVERIFY(m_drive.startServer());
    QVERIFY(m_drive.startNamesService());
    const auto add = [this](const QString& owner, const QString& name, const char* taken,
                            const char* date) {
        const QByteArray bytes = writePhoto(m_local.filePath(name), taken);
        m_ids[name] = m_drive.addAsset(owner, name, QString::fromLatin1(date), bytes);
    };
    add(kMe, "held.jpg", "2024:03:05 10:00:00", "2024-03-05T10:00:00.000Z");
    add(kMe, "plage.jpg", "2024:03:06 10:00:00", "2024-03-06T10:00:00.000Z");
    add(kMe, "gone.jpg", "2024:03:07 10:00:00", "2024-03-07T10:00:00.000Z");
    add(kMe, "bin.jpg", "2024:03:08 10:00:00", "2024-03-08T10:00:00.000Z");
    add(kMe, "brouillon.jpg", "2023:06:01 10:00:00", "2023-06-01T10:00:00.000Z");
    add(kMe, "final.jpg", "2023:06:02 10:00:00", "2023-06-02T10:00:00.000Z");
    add(kMe, "cp-over.jpg", "2023:07:01 10:00:00", "2023-07-01T10:00:00.000Z");
    add(kMe, "replace-over.jpg", "2023:07:02 10:00:00", "2023-07-02T10:00:00.000Z");
    add(kMe, "edit-in-place.jpg", "2023:07:03 10:00:00", "2023-07-03T10:00:00.000Z");
    add(kMe, "opened-unchanged.jpg", "2023:07:04 10:00:00", "2023-07-04T10:00:00.000Z");
    add(kOther, "theirs.jpg", "2022:01:01 10:00:00", "2022-01-01T10:00:00.000Z");
    m_albums["Vacances"] = m_drive.addAlbum(kMe, "Vacances", {m_ids["held.jpg"]});
    m_albums["Noël"] = m_drive.addAlbum(kMe, "Noël", {});
    m_albums["Famille"] =
        m_drive.addAlbum(kOther, "Famille", {m_ids["theirs.jpg"]}, {member(kMe, "editor")});
    m_drive.signIn();
    QVERIFY(m_drive.mount());
    QCOMPARE(m_drive.ls("Mes photos/2024/Mars"),
             (QStringList{"bin.jpg", "gone.jpg", "held.jpg", "plage.jpg"}));
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
    QTest::newRow("gio copy") << "gio copy" << QStringList{"gio.jpg"};
    QTest::newRow("rsync of a folder") << "rsync -r" << QStringList{"rsync-1.jpg", "rsync-2.jpg"};
}

void TestDriveWriting::copiedPhotosWaitInTheQuarantine()
{
    QFETCH(QString, tool);
    QFETCH(QStringList, names);
    const QString folder = m_local.filePath(QTest::currentDataTag());
    QDir().mkpath(folder);
    QHash<QString, QByteArray> bytes;
    for (const QString& name : names)
        bytes[name] = writePhoto(folder + u'/' + name, "2024:03:20 12:00:00");

    QStringList arguments = tool.split(u' ');
    const QString program = arguments.takeFirst();
    arguments << (names.size() > 1 ? folder + u'/' : folder + u'/' + names[0])
              << m_drive.path("Mes photos/");
    const ToolRun run = m_drive.run(program, arguments);
    QVERIFY2(run.exitCode == 0, run.err.constData());

    // Filed at once in the month of its capture date.
    const QStringList month = m_drive.ls("Mes photos/2024/Mars");
    for (const QString& name : names) {
        QVERIFY2(queuedBytes(name) == bytes[name], qPrintable(name));
        QVERIFY2(month.contains(name), qPrintable(month.join(", ")));
    }
}

void TestDriveWriting::datesOfCopiesWithoutExif_data()
{
    QTest::addColumn<QString>("tool");
    QTest::newRow("cp -p") << "cp -p";
    QTest::newRow("rsync -a") << "rsync -a";
    // What GNOME Files does: the bytes, a close, then the time on the name.
    QTest::newRow("time set after close") << "python3";
}

// A picture without EXIF is filed under its modification time, which most tools set only
// after closing the copy.
void TestDriveWriting::datesOfCopiesWithoutExif()
{
    QFETCH(QString, tool);
    static int seed = 40;
    const QString name = QStringLiteral("capture-%1.png").arg(++seed);
    const QString source = m_local.filePath(name);
    QImage image(40, 30, QImage::Format_RGB32);
    image.fill(QColor::fromHsv(seed * 29 % 360, 180, 220));
    QVERIFY(image.save(source, "PNG"));
    const QDateTime taken(QDate(2001, 2, 3), QTime(14, 0), Qt::UTC);
    {
        QFile file(source);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(taken, QFileDevice::FileModificationTime));
    }
    const QString target = m_drive.path("Mes photos/") + name;
    QStringList arguments = tool.split(u' ');
    const QString program = arguments.takeFirst();
    if (program == u"python3")
        arguments << "-c"
                  << "import os, shutil, sys; shutil.copyfile(sys.argv[1], sys.argv[2]); "
                     "st = os.stat(sys.argv[1]); os.utime(sys.argv[2], ns=(st.st_atime_ns, "
                     "st.st_mtime_ns))";
    arguments << source << target;
    const ToolRun run = m_drive.run(program, arguments);
    QVERIFY2(run.exitCode == 0, run.err.constData());

    const auto queuedAt = [&] {
        return queued(name).value_or(UploadQuarantine::Entry()).capturedAt;
    };
    QTRY_COMPARE_WITH_TIMEOUT(queuedAt().value_or(QDateTime()), taken, kSlow);
    QTRY_VERIFY_WITH_TIMEOUT(m_drive.ls("Mes photos/2001/Février").contains(name), kSlow);
}

void TestDriveWriting::foldersBecomeAlbums()
{
    QCOMPARE(m_drive.run("mkdir", {m_drive.path("Mes albums/Voyage")}).exitCode, 0);
    QCOMPARE(m_drive.run("mkdir", {m_drive.path("Mes photos/Anniversaire")}).exitCode, 0);
    QStringList names = serverAlbums().keys();
    names.sort();
    QCOMPARE(names, (QStringList{"Anniversaire", "Famille", "Noël", "Vacances", "Voyage"}));
    QVERIFY(m_drive.ls("Mes albums").contains("Voyage"));
    QVERIFY(m_drive.ls("Mes albums").contains("Anniversaire"));
    QCOMPARE(notices(), (QStringList{"albumready", "newfolder"}));
}

void TestDriveWriting::treesBecomeAlbums_data()
{
    QTest::addColumn<QString>("tool");
    QTest::addColumn<QString>("into");
    QTest::newRow("cp -r into Mes albums") << "cp -r"
                                           << "Mes albums";
    QTest::newRow("rsync -a into Mes photos") << "rsync -a"
                                              << "Mes photos";
}

// A tree of folders copied in: every folder an album, every photo queued once for the album of
// its own folder, and nothing left out.
void TestDriveWriting::treesBecomeAlbums()
{
    QFETCH(QString, tool);
    QFETCH(QString, into);
    const QString tag = tool.section(u' ', 0, 0);
    const QString root = m_local.filePath("arbre-" + tag);
    const QString top = "Arbre " + tag;
    const QStringList files = {top + "/a-" + tag + ".jpg", top + "/b-" + tag + ".jpg",
                               top + "/Jour1 " + tag + "/c-" + tag + ".jpg",
                               top + "/Jour1 " + tag + "/d-" + tag + ".jpg",
                               top + "/Jour2 " + tag + "/e-" + tag + ".jpg"};
    for (const QString& file : files) {
        QDir().mkpath(QFileInfo(root + u'/' + file).path());
        QVERIFY(!writePhoto(root + u'/' + file, "2022:08:01 10:00:00").isEmpty());
    }
    QStringList arguments = tool.split(u' ');
    const QString program = arguments.takeFirst();
    arguments << root + u'/' + top << m_drive.path(into + u'/');
    const ToolRun run = m_drive.run(program, arguments);
    QVERIFY2(run.exitCode == 0, run.err.constData());

    const QHash<QString, QString> albumIds = serverAlbums();
    QStringList queued;
    for (const UploadQuarantine::Entry& entry : UploadQuarantine::shared().list()) {
        if (!entry.filename.endsWith("-" + tag + ".jpg"))
            continue;
        queued << albumIds.key(entry.target.albumId, "?") + u'/' + entry.filename;
    }
    queued.sort();
    QStringList expected;
    for (const QString& file : files)
        expected << QFileInfo(file).path().section(u'/', -1) + u'/' + QFileInfo(file).fileName();
    expected.sort();
    QCOMPARE(queued, expected);
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
    // Every listing the move touched is right at once, in the kernel's eyes too.
    QCOMPARE(m_drive.ls(album("Vacances")), QStringList{});
    QCOMPARE(m_drive.ls(album("Noël")), (QStringList{"held.jpg", "plage.jpg"}));
    QVERIFY(!QFile::exists(m_drive.path(album("Vacances/held.jpg"))));

    // Out of an album, back to the library only.
    QCOMPARE(mv(album("Noël/plage.jpg"), "Mes photos/").exitCode, 0);
    QCOMPARE(m_drive.albumAssetNames(m_albums["Noël"]), QStringList{"held.jpg"});
    QVERIFY(m_drive.ls("Mes photos/2024/Mars").contains("plage.jpg"));
    QCOMPARE(m_drive.ls(album("Noël")), QStringList{"held.jpg"});
    QVERIFY2(!m_drive.ls("Mes photos").contains("plage.jpg"),
             qPrintable(m_drive.ls("Mes photos").join(", ")));
    // Into its own month, onto the name it has there: the same photo, which stays.
    QCOMPARE(mv(album("Noël/held.jpg"), "Mes photos/2024/Mars/").exitCode, 0);
    QCOMPARE(m_drive.albumAssetNames(m_albums["Noël"]), QStringList{});
    QVERIFY(!isTrashed("held.jpg"));
    QCOMPARE(m_drive.ls("Mes photos/2024/Mars").filter("held"), QStringList{"held.jpg"});
    QCOMPARE(mv("Mes photos/2024/Mars/held.jpg", album("Noël/")).exitCode, 0);

    // A shared album's photo does not leave it.
    const ToolRun refused = mv("Mes albums partagés/Famille/theirs.jpg", album("Noël/"));
    QVERIFY(refused.exitCode != 0);
    QCOMPARE(m_drive.albumAssetNames(m_albums["Famille"]), QStringList{"theirs.jpg"});
    QVERIFY(m_drive.ls("Mes albums partagés/Famille").contains("theirs.jpg"));

    // Folders keep their place: each of these moves would mean nothing on the server.
    for (const auto& [from, to] : {std::pair{album("Noël"), QString("Mes photos/")},
                                   std::pair{album("Noël"), album("Vacances/")},
                                   std::pair{QString("Mes photos/2024/Mars"), album("")}}) {
        const ToolRun moved = mv(from, to);
        QVERIFY2(moved.exitCode != 0 && moved.err.contains("Operation not permitted"),
                 qPrintable(from + " -> " + to + ": " + moved.err));
    }
    QCOMPARE(m_drive.ls(""), (QStringList{"Mes albums", "Mes albums partagés", "Mes photos"}));
    QVERIFY(m_drive.ls("Mes albums").contains("Noël"));
    QVERIFY(m_drive.ls("Mes photos/2024").contains("Mars"));
    QCOMPARE(m_drive.api("GET", "/api/albums/" + m_albums["Noël"])[u"albumName"].toString(),
             QString("Noël"));
}

// A rename does what it says or fails: onto another photo's name it replaces that photo (which
// goes to the server's trash), to another type it is refused, and an album shown with "∕" for
// the server's "/" gets its "/" back.
void TestDriveWriting::renamesOntoNamesAndTypes()
{
    const QString june = m_drive.path("Mes photos/2023/Juin/");
    const ToolRun retyped = m_drive.run("mv", {june + "brouillon.jpg", june + "brouillon.png"});
    QVERIFY(retyped.exitCode != 0);
    QVERIFY2(retyped.err.contains("Operation not permitted"), retyped.err.constData());
    QCOMPARE(m_drive.ls("Mes photos/2023/Juin"), (QStringList{"brouillon.jpg", "final.jpg"}));

    QFile draft(m_local.filePath("brouillon.jpg"));
    QVERIFY(draft.open(QIODevice::ReadOnly));
    const ToolRun replaced = m_drive.run("mv", {june + "brouillon.jpg", june + "final.jpg"});
    QVERIFY2(replaced.exitCode == 0, replaced.err.constData());
    QCOMPARE(m_drive.ls("Mes photos/2023/Juin"), QStringList{"final.jpg"});
    QVERIFY(isTrashed("final.jpg"));
    QVERIFY(!isTrashed("brouillon.jpg"));
    QFile shown(june + "final.jpg");
    QVERIFY(shown.open(QIODevice::ReadOnly));
    QCOMPARE(shown.readAll(), draft.readAll());
    QTRY_COMPARE_WITH_TIMEOUT(
        m_drive.api("GET", "/pixavella-names/names")[m_ids["brouillon.jpg"]].toString(),
        QString("final.jpg"), kSlow);

    const QString slashed = m_drive.addAlbum(kMe, "Été/Hiver", {});
    QVERIFY(m_drive.signal(FileProviderContainer::workingSet));
    QTRY_VERIFY_WITH_TIMEOUT(m_drive.ls("Mes albums").contains("Été∕Hiver"), kSlow);
    const ToolRun renamed =
        m_drive.run("mv", {m_drive.path(album("Été∕Hiver")), m_drive.path(album("Été∕Printemps"))});
    QVERIFY2(renamed.exitCode == 0, renamed.err.constData());
    QCOMPARE(m_drive.api("GET", "/api/albums/" + slashed)[u"albumName"].toString(),
             QString("Été/Printemps"));
}

void TestDriveWriting::savesReplaceThePhoto_data()
{
    QTest::addColumn<QString>("name");
    // Python: writes sys.argv[1] into the photo sys.argv[2], whose bytes were sys.argv[3].
    QTest::addColumn<QString>("script");
    QTest::addColumn<bool>("saved");
    QTest::newRow("written over") << "cp-over.jpg"
                                  << "import shutil, sys\n"
                                     "shutil.copyfile(sys.argv[1], sys.argv[2])\n"
                                  << true;
    // Read, then written from the start and cut where the new bytes end, through one handle.
    QTest::newRow("edited in place")
        << "edit-in-place.jpg"
        << "import os, sys\n"
           "new = open(sys.argv[1], 'rb').read()\n"
           "with open(sys.argv[2], 'r+b') as f:\n"
           "    assert f.read() == open(sys.argv[3], 'rb').read(), 'not the photo'\n"
           "    f.seek(0)\n"
           "    f.write(new)\n"
           "    f.truncate()\n"
           "    f.flush()\n"
           "    assert os.fstat(f.fileno()).st_size == len(new), 'size'\n"
        << true;
    QTest::newRow("opened for writing, left unchanged")
        << "opened-unchanged.jpg"
        << "import sys\n"
           "with open(sys.argv[2], 'r+b') as f:\n"
           "    assert f.read() == open(sys.argv[3], 'rb').read(), 'not the photo'\n"
        << false;
    // What GTK applications do (g_file_replace): a hidden file, renamed into place.
    QTest::newRow("renamed into place")
        << "replace-over.jpg"
        << "import os, shutil, sys; d, n = os.path.split(sys.argv[2]); "
           "t = os.path.join(d, '.' + n + '.XXXXXX'); shutil.copyfile(sys.argv[1], t); "
           "os.replace(t, sys.argv[2])"
        << true;
}

// New bytes saved under a photo's name are that photo's new contents: one photo keeps the
// name, it reads as saved, and its upload is queued to replace the old asset on the server.
void TestDriveWriting::savesReplaceThePhoto()
{
    QFETCH(QString, name);
    QFETCH(QString, script);
    QFETCH(bool, saved);
    const QString edited = m_local.filePath("edited-" + name);
    QFile originalFile(m_local.filePath(name));
    QVERIFY(originalFile.open(QIODevice::ReadOnly));
    const QByteArray original = originalFile.readAll();
    const QByteArray bytes = saved ? writePhoto(edited, "2023:07:05 10:00:00") : original;
    const QString shown = m_drive.path("Mes photos/2023/Juillet/") + name;
    struct stat before {};
    QCOMPARE(::stat(QFile::encodeName(shown).constData(), &before), 0);
    const ToolRun run =
        m_drive.run("python3", {"-c", script, edited, shown, m_local.filePath(name)});
    QVERIFY2(run.exitCode == 0, run.err.constData());
    if (!saved) {
        // Nothing written: the name leads to the photo itself again, not to a copy of it.
        struct stat after {};
        QCOMPARE(::stat(QFile::encodeName(shown).constData(), &after), 0);
        QCOMPARE(after.st_ino, before.st_ino);
    }

    QCOMPARE(m_drive.ls("Mes photos/2023/Juillet").count(name), 1);
    QVERIFY(m_drive.ls("Mes photos/2023/Juillet").filter(" 2.jpg").isEmpty());
    QFile file(shown);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), bytes);
    QCOMPARE(queued(name).value_or(UploadQuarantine::Entry()).replacesAssetId.value_or(QString()),
             saved ? m_ids[name] : QString());
    QVERIFY(!isTrashed(name)); // until the new bytes are on the server
}

void TestDriveWriting::deletions()
{
    UserNoticeQueue(SettingsSuite::shared()).drain();
    // rm: to the server's trash, gone from the listing at once, the user told.
    QCOMPARE(m_drive.run("rm", {m_drive.path("Mes photos/2024/Mars/gone.jpg")}).exitCode, 0);
    QVERIFY(isTrashed("gone.jpg"));
    QVERIFY(!m_drive.ls("Mes photos/2024/Mars").contains("gone.jpg"));
    QCOMPARE(UserNoticeQueue(SettingsSuite::shared()).drain().size(), 1);

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
    const QString voyage = serverAlbums().value("Voyage");
    QVERIFY(!voyage.isEmpty());
    QCOMPARE(m_drive.run("rmdir", {m_drive.path(album("Voyage"))}).exitCode, 0);
    QVERIFY(m_drive.api("GET", "/api/albums/" + voyage).isNull());
    QVERIFY(!m_drive.ls("Mes albums").contains("Voyage"));

    // rm of a photo still waiting to be sent cancels its upload.
    const QString pending = m_local.filePath("pending.jpg");
    writePhoto(pending, "2024:03:25 12:00:00");
    QCOMPARE(m_drive.run("cp", {pending, m_drive.path("Mes photos/")}).exitCode, 0);
    QVERIFY(m_drive.ls("Mes photos/2024/Mars").contains("pending.jpg"));
    UserNoticeQueue(SettingsSuite::shared()).drain();
    QCOMPARE(m_drive.run("rm", {m_drive.path("Mes photos/2024/Mars/pending.jpg")}).exitCode, 0);
    QVERIFY(!queued("pending.jpg"));
    QVERIFY(!m_drive.ls("Mes photos/2024/Mars").contains("pending.jpg"));
    QCOMPARE(UserNoticeQueue(SettingsSuite::shared()).drain().size(), 1);
}

QTEST_GUILESS_MAIN(TestDriveWriting)
#include "TestDriveWriting.moc"
