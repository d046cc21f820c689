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

    void treeShowsTheLibrary();
    void diskSizeIsTheServers();
    void listingSeedsThumbnailsWithoutOriginals();
    void contentsAreDownloadedOnce();
    void sameNamesStayWithTheirPhotos();
    void thumbnailerReadsNoOriginal();
    void lateThumbnailIsAskedAgain();

private:
    DriveHarness m_drive;
    QHash<QString, QString> m_ids;
    QHash<QString, QByteArray> m_bytes;
};

void TestDriveReading::initTestCase()
{
    // The server's disk is not the one the drive's own files are on, as on a real network.
    const QString serverDisk = QDir("/dev/shm").exists() ? "/dev/shm" : QDir::tempPath();
    QVERIFY(m_drive.startServer({"--data-dir", serverDisk}));
    const auto add = [this](const QString& key, const QString& owner, const QString& name,
                            const char* date, qsizetype size) {
        m_bytes[key] = randomBytes(size, quint32(qHash(key)));
        m_ids[key] = m_drive.addAsset(owner, name, QString::fromLatin1(date), m_bytes[key]);
        QVERIFY(!m_ids[key].isEmpty());
    };
    add("mar05", kMe, "mar05.jpg", "2024-03-05T10:00:00.000Z", 3'000'000);
    add("first", kMe, "IMG_0001.JPG", "2024-03-20T10:00:00.000Z", 20'000);
    QTest::qWait(5); // received in another millisecond than "first": the order is then certain
    add("second", kMe, "IMG_0001.JPG", "2024-03-21T10:00:00.000Z", 30'000);
    add("nov02", kMe, "nov02.jpg", "2024-11-02T10:00:00.000Z", 10'000);
    add("jul01", kMe, "jul01.mp4", "2023-07-01T10:00:00.000Z", 50'000);
    add("jan22", kMe, "jan22.heic", "2022-01-15T10:00:00.000Z", 10'000);
    add("theirs", kOther, "theirs.jpg", "2021-05-01T10:00:00.000Z", 10'000);
    m_drive.addAlbum(kMe, "Vacances", {m_ids["mar05"], m_ids["jul01"]});
    m_drive.addAlbum(kOther, "Famille", {m_ids["theirs"]}, {member(kMe, "viewer")});
    m_drive.signIn();
    QVERIFY(m_drive.mount());
}

void TestDriveReading::cleanupTestCase()
{
    m_drive.stop();
}

void TestDriveReading::treeShowsTheLibrary()
{
    QCOMPARE(m_drive.ls(""), (QStringList{"Mes albums", "Mes albums partagés", "Mes photos"}));
    // Newest first, months in French.
    QCOMPARE(m_drive.ls("Mes photos", {"-t"}), (QStringList{"2024", "2023", "2022"}));
    QCOMPARE(m_drive.ls("Mes photos/2024", {"-t"}), (QStringList{"Novembre", "Mars"}));
    // Every file of the tree, found by walking it the way find does.
    const ToolRun found = m_drive.run("find", {m_drive.path(), "-type", "f", "-printf", "%P %s\n"});
    QCOMPARE(found.exitCode, 0);
    QStringList files = QString::fromUtf8(found.out).split(u'\n', Qt::SkipEmptyParts);
    files.sort();
    const auto size = [this](const char* key) { return QString::number(m_bytes[key].size()); };
    // Same names are told apart in the order the server received them.
    QCOMPARE(files, (QStringList{
                        "Mes albums partagés/Famille/theirs.jpg " + size("theirs"),
                        "Mes albums/Vacances/jul01.mp4 " + size("jul01"),
                        "Mes albums/Vacances/mar05.jpg " + size("mar05"),
                        "Mes photos/2022/Janvier/jan22.heic " + size("jan22"),
                        "Mes photos/2023/Juillet/jul01.mp4 " + size("jul01"),
                        "Mes photos/2024/Mars/IMG_0001 2.JPG " + size("second"),
                        "Mes photos/2024/Mars/IMG_0001.JPG " + size("first"),
                        "Mes photos/2024/Mars/mar05.jpg " + size("mar05"),
                        "Mes photos/2024/Novembre/nov02.jpg " + size("nov02"),
                    }));
}

void TestDriveReading::contentsAreDownloadedOnce()
{
    m_drive.server().reset();
    for (int read = 0; read < 2; ++read) {
        const ToolRun cat = m_drive.run("cat", {m_drive.path("Mes photos/2024/Mars/mar05.jpg")});
        QCOMPARE(cat.exitCode, 0);
        QVERIFY(cat.out == m_bytes["mar05"]);
        QCOMPARE(m_drive.requestsEndingWith("/original"), 1);
    }
}

// df on the drive shows the server's disk, and room for files to come.
void TestDriveReading::diskSizeIsTheServers()
{
    const qint64 serverSize = m_drive.api("GET", "/api/server/storage")["diskSizeRaw"].toInteger();
    QVERIFY(serverSize > 0);
    const auto driveSize = [this] {
        const QList<QByteArray> f =
            m_drive.run("stat", {"-f", "-c", "%b %S %d", m_drive.path()}).out.trimmed().split(' ');
        return f.size() == 3 ? f[0].toLongLong() * f[1].toLongLong() : -1;
    };
    QTRY_VERIFY_WITH_TIMEOUT(qAbs(driveSize() - serverSize) < 4096, 10'000);
    const QList<QByteArray> free =
        m_drive.run("stat", {"-f", "-c", "%d", m_drive.path()}).out.trimmed().split(' ');
    QVERIFY(free.value(0).toLongLong() > 1'000'000);
    QCOMPARE(m_drive.run("df", {"-h", m_drive.path()}).exitCode, 0);
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
    // Walking, listing and describing the whole tree downloaded no original.
    QCOMPARE(m_drive.requestsEndingWith("/original"), 0);
}

void TestDriveReading::thumbnailerReadsNoOriginal()
{
    // Bytes that are no picture: only the server's thumbnail can make one of them.
    const QString id =
        m_drive.addAsset(kMe, "aug10.jpg", "2022-08-10T10:00:00.000Z", randomBytes(40'000, 7));
    QVERIFY(m_drive.signal(FileProviderContainer::workingSet));
    QTRY_COMPARE_WITH_TIMEOUT(m_drive.ls("Mes photos/2022/Août"), QStringList{"aug10.jpg"}, 30'000);
    // Run at once, as the desktop does for a photo its cache lacks: the thumbnail is on its way.
    QTemporaryDir out;
    const ToolRun made = m_drive.run(
        "gdk-pixbuf-thumbnailer",
        {"-s", "256", m_drive.path("Mes photos/2022/Août/aug10.jpg"), out.filePath("made.png")});
    QVERIFY2(made.exitCode == 0, made.err.constData());
    QFile png(out.filePath("made.png"));
    QVERIFY(png.open(QIODevice::ReadOnly));
    QVERIFY(png.read(8) == QByteArray("\x89PNG\r\n\x1a\n", 8));
    QCOMPARE(m_drive.requestsEndingWith(id + "/original"), 0);
}

void TestDriveReading::lateThumbnailIsAskedAgain()
{
    // Silent uploads: a late upload event would be a signal of its own and ask again at once.
    m_drive.server().control("POST", "/_double/events",
                             QJsonDocument(QJsonObject{{"emit", false}}));
    const QString late =
        m_drive.addAsset(kMe, "sep01.jpg", "2022-09-01T10:00:00.000Z", randomBytes(5'000, 8));
    const QString onTime =
        m_drive.addAsset(kMe, "sep02.jpg", "2022-09-02T10:00:00.000Z", randomBytes(5'000, 9));
    // The server's thumbnail job has not run for the first one yet.
    m_drive.server().fail(404, 1, "/api/assets/" + late + "/thumbnail");
    QVERIFY(m_drive.signal(FileProviderContainer::workingSet));
    QTRY_COMPARE_WITH_TIMEOUT(m_drive.ls("Mes photos/2022/Septembre").size(), 2, 30'000);
    const auto valid = [this](const QString& name) {
        return m_drive
            .run("gio", {"info", "-a", "thumbnail::is-valid",
                         m_drive.path("Mes photos/2022/Septembre/" + name)})
            .out.contains("thumbnail::is-valid: TRUE");
    };
    QTRY_VERIFY_WITH_TIMEOUT(valid("sep02.jpg"), 10'000);
    // On a loaded machine the second ask may have come already.
    const int asked = m_drive.requestsEndingWith(late + "/thumbnail");
    QVERIFY(asked >= 1);
    if (asked == 1)
        QVERIFY(!valid("sep01.jpg"));
    // Asked again 15 s later.
    QTRY_VERIFY_WITH_TIMEOUT(valid("sep01.jpg"), 25'000);
    QCOMPARE(m_drive.requestsEndingWith(late + "/thumbnail"), 2);
    QCOMPARE(m_drive.requestsEndingWith(onTime + "/thumbnail"), 1);
    m_drive.server().control("POST", "/_double/events", QJsonDocument(QJsonObject{{"emit", true}}));
}

void TestDriveReading::sameNamesStayWithTheirPhotos()
{
    // Asset ids are random: with five pairs, an order taken from them would move some name.
    const QString month = QStringLiteral("Mes photos/2023/Septembre");
    QStringList names;
    for (int k = 1; k <= 5; ++k) {
        const QString name = QStringLiteral("DSC_000%1.JPG").arg(k);
        names << name;
        m_bytes["old" + name] = randomBytes(4'000, quint32(k));
        m_drive.addAsset(kMe, name, "2023-09-01T10:00:00.000Z", m_bytes["old" + name]);
    }
    QTest::qWait(5);
    QVERIFY(m_drive.signal(FileProviderContainer::workingSet));
    QTRY_COMPARE_WITH_TIMEOUT(m_drive.ls(month).size(), 5, 30'000);

    // Another device uploads photos of the same names into the month the user is looking at.
    for (const QString& name : std::as_const(names)) {
        m_bytes["new" + name] = randomBytes(5'000, quint32(qHash(name)));
        m_drive.addAsset(kMe, name, "2023-09-02T10:00:00.000Z", m_bytes["new" + name]);
    }
    QVERIFY(m_drive.signal(FileProviderContainer::workingSet));
    QTRY_COMPARE_WITH_TIMEOUT(m_drive.ls(month).size(), 10, 30'000);
    const auto namesHoldTheirPhotos = [&] {
        for (const QString& name : std::as_const(names)) {
            const QString numbered = QString(name).replace(".JPG", " 2.JPG");
            if (m_drive.run("cat", {m_drive.path(month + u'/' + name)}).out !=
                    m_bytes["old" + name] ||
                m_drive.run("cat", {m_drive.path(month + u'/' + numbered)}).out !=
                    m_bytes["new" + name])
                return false;
        }
        return true;
    };
    QVERIFY(namesHoldTheirPhotos());

    // And after the drive starts again from nothing.
    m_drive.stop();
    QVERIFY(m_drive.mount());
    QCOMPARE(m_drive.ls(month).size(), 10);
    QVERIFY(namesHoldTheirPhotos());
}

QTEST_GUILESS_MAIN(TestDriveReading)
#include "TestDriveReading.moc"
