// The drive as a user reads it: passerelle with the real extension on the real mount point,
// against the Immich double, driven with ls, stat, find, cat, cmp and gio.
#include "DriveHarness.h"

#include "FileProviderItemProtocol.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace pixavella;
using namespace pixavella::testing;

namespace {

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    generator.fillRange(reinterpret_cast<quint32*>(bytes.data()), size / 4);
    return bytes;
}

} // namespace

class TestDriveReading : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void foldersShowTheLibrary_data();
    void foldersShowTheLibrary();
    void signedOutFolderListsNothing();
    void photoAttributesComeFromTheServer();
    void listingSeedsThumbnailsWithoutOriginals();
    void contentsAreDownloadedOnce();
    void serverChangeShowsAfterASignal();
    void serverDownFailsNewContentsButKeepsListings();

private:
    DriveHarness m_drive;
    QTemporaryDir m_local;
    QHash<QString, QString> m_ids;
    QHash<QString, QByteArray> m_bytes;
};

void TestDriveReading::initTestCase()
{
    QVERIFY(m_drive.startServer());
    const auto add = [this](const QString& key, const QString& owner, const QString& name,
                            const char* date, qsizetype size) {
        m_bytes[key] = randomBytes(size, quint32(qHash(key)));
        m_ids[key] = m_drive.addAsset(owner, name, QString::fromLatin1(date), m_bytes[key]);
        QVERIFY(!m_ids[key].isEmpty());
    };
    add("mar05", kMe, "mar05.jpg", "2024-03-05T10:00:00.000Z", 3'000'000);
    add("first", kMe, "IMG_0001.JPG", "2024-03-20T10:00:00.000Z", 20'000);
    add("second", kMe, "IMG_0001.JPG", "2024-03-21T10:00:00.000Z", 30'000);
    add("nov02", kMe, "nov02.jpg", "2024-11-02T10:00:00.000Z", 10'000);
    add("jul01", kMe, "jul01.mp4", "2023-07-01T10:00:00.000Z", 50'000);
    add("jan22", kMe, "jan22.heic", "2022-01-15T10:00:00.000Z", 10'000);
    add("theirs", kOther, "theirs.jpg", "2021-05-01T10:00:00.000Z", 10'000);
    m_drive.addAlbum(kMe, "Vacances", {m_ids["mar05"], m_ids["jul01"]});
    m_drive.addAlbum(kOther, "Famille", {m_ids["theirs"]}, {member(kMe, "viewer")});
    m_drive.signIn();
    const Result<void> mounted = m_drive.mount();
    QVERIFY2(mounted, qPrintable(mounted ? QString() : mounted.error().description));
}

void TestDriveReading::cleanupTestCase()
{
    m_drive.stop();
}

void TestDriveReading::foldersShowTheLibrary_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("root") << "" << QStringList{}
                          << QStringList{"Mes albums", "Mes albums partagés", "Mes photos"};
    QTest::newRow("years, newest first")
        << "Mes photos" << QStringList{"-t"} << QStringList{"2024", "2023", "2022"};
    QTest::newRow("months in French, newest first")
        << "Mes photos/2024" << QStringList{"-t"} << QStringList{"Novembre", "Mars"};
    QTest::newRow("same name twice") << "Mes photos/2024/Mars" << QStringList{}
                                     << QStringList{"IMG_0001 2.JPG", "IMG_0001.JPG", "mar05.jpg"};
    QTest::newRow("video month") << "Mes photos/2023/Juillet" << QStringList{}
                                 << QStringList{"jul01.mp4"};
    QTest::newRow("albums") << "Mes albums" << QStringList{} << QStringList{"Vacances"};
    QTest::newRow("album") << "Mes albums/Vacances" << QStringList{}
                           << QStringList{"jul01.mp4", "mar05.jpg"};
    QTest::newRow("shared albums")
        << "Mes albums partagés" << QStringList{} << QStringList{"Famille"};
    QTest::newRow("shared album") << "Mes albums partagés/Famille" << QStringList{}
                                  << QStringList{"theirs.jpg"};
}

void TestDriveReading::foldersShowTheLibrary()
{
    QFETCH(QString, folder);
    QFETCH(QStringList, options);
    QFETCH(QStringList, expected);
    QCOMPARE(m_drive.ls(folder, options), expected);
}

void TestDriveReading::photoAttributesComeFromTheServer()
{
    // Every file of the tree, found by walking it the way find does.
    const ToolRun found = m_drive.run("find", {m_drive.path(), "-type", "f", "-printf", "%P %s\n"});
    QCOMPARE(found.exitCode, 0);
    QStringList files = QString::fromUtf8(found.out).split(u'\n', Qt::SkipEmptyParts);
    files.sort();
    const auto size = [this](const char* key) { return QString::number(m_bytes[key].size()); };
    // Same names are told apart in the order of the identifiers.
    const bool firstFirst = m_ids["first"] < m_ids["second"];
    const char* firstName = firstFirst ? "first" : "second";
    const char* secondName = firstFirst ? "second" : "first";
    QCOMPARE(files, (QStringList{
                        "Mes albums partagés/Famille/theirs.jpg " + size("theirs"),
                        "Mes albums/Vacances/jul01.mp4 " + size("jul01"),
                        "Mes albums/Vacances/mar05.jpg " + size("mar05"),
                        "Mes photos/2022/Janvier/jan22.heic " + size("jan22"),
                        "Mes photos/2023/Juillet/jul01.mp4 " + size("jul01"),
                        "Mes photos/2024/Mars/IMG_0001 2.JPG " + size(secondName),
                        "Mes photos/2024/Mars/IMG_0001.JPG " + size(firstName),
                        "Mes photos/2024/Mars/mar05.jpg " + size("mar05"),
                        "Mes photos/2024/Novembre/nov02.jpg " + size("nov02"),
                    }));

    // Modification time is the capture date; a viewer's shared photo is read-only.
    const ToolRun stat =
        m_drive.run("stat", {"-c", "%Y %A", m_drive.path("Mes photos/2024/Novembre/nov02.jpg"),
                             m_drive.path("Mes albums partagés/Famille/theirs.jpg")});
    QCOMPARE(stat.exitCode, 0);
    const qint64 nov02 =
        QDateTime::fromString("2024-11-02T10:00:00Z", Qt::ISODate).toSecsSinceEpoch();
    const QList<QByteArray> lines = stat.out.trimmed().split('\n');
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[0], QByteArray::number(nov02) + " -rw-r--r--");
    QCOMPARE(lines[1].mid(lines[1].indexOf(' ') + 1), QByteArray("-r--r--r--"));
}

void TestDriveReading::contentsAreDownloadedOnce()
{
    m_drive.server().reset();
    const QString photo = m_drive.path("Mes photos/2024/Mars/mar05.jpg");
    const QString original = m_local.filePath("mar05.jpg");
    {
        QFile file(original);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(m_bytes["mar05"]);
    }
    QCOMPARE(m_drive.run("cmp", {photo, original}).exitCode, 0);
    QCOMPARE(m_drive.requestsEndingWith("/original"), 1);
    const ToolRun again = m_drive.run("cat", {photo});
    QCOMPARE(again.exitCode, 0);
    QVERIFY(again.out == m_bytes["mar05"]);
    QCOMPARE(m_drive.requestsEndingWith("/original"), 1);

    // The two photos of the same name are two different files.
    const QByteArray one =
        m_drive.run("cat", {m_drive.path("Mes photos/2024/Mars/IMG_0001.JPG")}).out;
    const QByteArray two =
        m_drive.run("cat", {m_drive.path("Mes photos/2024/Mars/IMG_0001 2.JPG")}).out;
    QVERIFY((one == m_bytes["first"] && two == m_bytes["second"]) ||
            (one == m_bytes["second"] && two == m_bytes["first"]));
}

void TestDriveReading::listingSeedsThumbnailsWithoutOriginals()
{
    QCOMPARE(m_drive.ls("Mes photos/2024/Novembre"), QStringList{"nov02.jpg"});
    const QString photo = m_drive.path("Mes photos/2024/Novembre/nov02.jpg");
    const QString thumbnails = qEnvironmentVariable("XDG_CACHE_HOME") + "/thumbnails/";
    QString info;
    QTRY_VERIFY_WITH_TIMEOUT(
        (info = QString::fromUtf8(m_drive.run("gio", {"info", "-a", "thumbnail::*", photo}).out))
            .contains("thumbnail::is-valid: TRUE"),
        20'000);
    const QRegularExpression pathLine("thumbnail::path: (\\S+)");
    const QRegularExpressionMatch match = pathLine.match(info);
    QVERIFY2(match.hasMatch(), qPrintable(info));
    QVERIFY2(match.captured(1).startsWith(thumbnails), qPrintable(info));
    QVERIFY(QFile::exists(match.captured(1)));
    QVERIFY(m_drive.requestsEndingWith("/thumbnail") >= 1);
    // Walking, listing and describing the whole tree downloaded no original but the one read.
    QCOMPARE(m_drive.requestsEndingWith("/original"), 1);
    QCOMPARE(m_drive.requestsEndingWith(m_ids["theirs"] + "/original"), 1);
}

void TestDriveReading::serverChangeShowsAfterASignal()
{
    QCOMPARE(m_drive.ls("Mes photos/2024/Novembre"), QStringList{"nov02.jpg"});
    m_drive.addAsset(kMe, "nov30.jpg", "2024-11-30T10:00:00.000Z", "new");
    QVERIFY(m_drive.signal(FileProviderContainer::workingSet));
    QTRY_COMPARE_WITH_TIMEOUT(m_drive.ls("Mes photos/2024/Novembre"),
                              (QStringList{"nov02.jpg", "nov30.jpg"}), 30'000);
}

void TestDriveReading::signedOutFolderListsNothing()
{
    m_drive.signOut();
    // Never listed before: listed now without a key.
    QCOMPARE(m_drive.ls("Mes photos/2022"), QStringList{});
    m_drive.signIn();
    QCOMPARE(m_drive.run("cat", {m_drive.path("Mes albums partagés/Famille/theirs.jpg")}).out,
             m_bytes["theirs"]);
    QVERIFY(m_drive.signal(FileProviderContainer::workingSet));
    QTRY_COMPARE_WITH_TIMEOUT(m_drive.ls("Mes photos/2022"), QStringList{"Janvier"}, 30'000);
}

void TestDriveReading::serverDownFailsNewContentsButKeepsListings()
{
    m_drive.killServer();
    const ToolRun cat = m_drive.run("cat", {m_drive.path("Mes photos/2024/Novembre/nov02.jpg")});
    QVERIFY(cat.exitCode > 0);
    QVERIFY(!cat.err.isEmpty());
    QCOMPARE(m_drive.ls("Mes photos/2024/Novembre"), (QStringList{"nov02.jpg", "nov30.jpg"}));
    QCOMPARE(m_drive.ls("Mes photos/2024/Mars"),
             (QStringList{"IMG_0001 2.JPG", "IMG_0001.JPG", "mar05.jpg"}));
    // Already materialised: still readable.
    QCOMPARE(m_drive.run("cat", {m_drive.path("Mes photos/2024/Mars/mar05.jpg")}).out.size(),
             m_bytes["mar05"].size());
}

QTEST_GUILESS_MAIN(TestDriveReading)
#include "TestDriveReading.moc"
