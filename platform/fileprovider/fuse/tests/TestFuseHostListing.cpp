#include "FileProviderError.h"
#include "MountedHost.h"
#include "Result.h"

#include <QNetworkReply>
#include <QProcess>
#include <QTest>

#include <unistd.h>

using namespace pixavella;

namespace {

const QString root = FileProviderContainer::root;

QStringList lines(const QByteArray& out)
{
    QStringList list = QString::fromUtf8(out).split(u'\n', Qt::SkipEmptyParts);
    list.sort();
    return list;
}

} // namespace

class TestFuseHostListing : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void namesOnDisk_data();
    void namesOnDisk();
    void attributesFollowTheItem_data();
    void attributesFollowTheItem();
    void inodesAreStable();
    void listingErrorBecomesErrno();
    void trashListsTheTrashContainer();

private:
    std::shared_ptr<MemoryExtension> m_ext;
    std::unique_ptr<MountedHost> m_mount;
};

void TestFuseHostListing::init()
{
    m_ext = std::make_shared<MemoryExtension>();
    m_ext->setPageSize(2); // every listing here takes several pages
    m_ext->put(MemoryExtension::folder("photos", root, "Mes photos"));
    m_ext->put(MemoryExtension::folder("albums", root, "Mes albums",
                                       FileProviderItemCapability::allowsReading));
    m_ext->put(MemoryExtension::folder("names", "photos", "Noms"));
    m_mount = std::make_unique<MountedHost>(m_ext);
    const Result<void> mounted = m_mount->mount();
    QVERIFY2(mounted, qPrintable(mounted ? QString() : mounted.error().description));
}

void TestFuseHostListing::cleanup()
{
    m_mount.reset();
    m_ext.reset();
}

// How names are dealt is TestHostRules'; these rows are what the kernel itself refuses or
// looks up differently: a slash, dots, an empty name, more than 255 bytes.
void TestFuseHostListing::namesOnDisk_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("duplicates numbered before the extension")
        << QStringList{"IMG_0001.JPG", "IMG_0001.JPG", "IMG_0001.JPG"}
        << QStringList{"IMG_0001 2.JPG", "IMG_0001 3.JPG", "IMG_0001.JPG"};
    QTest::newRow("equal once the slash is replaced")
        << QStringList{"a/b", "a\u2215b"} << QStringList{"a\u2215b", "a\u2215b 2"};
    QTest::newRow("empty name") << QStringList{""} << QStringList{"_"};
    QTest::newRow("dots never produced")
        << QStringList{".", ".."} << QStringList{"\u2024", "\u2025"};
    QTest::newRow("long names numbered within the limit")
        << QStringList{QString(300, u'a') + ".jpg", QString(300, u'a') + ".jpg"}
        << QStringList{QString(249, u'a') + " 2.jpg", QString(251, u'a') + ".jpg"};
}

void TestFuseHostListing::namesOnDisk()
{
    QFETCH(QStringList, names);
    QFETCH(QStringList, expected);
    for (int i = 0; i < names.size(); ++i)
        m_ext->put(MemoryExtension::file(QStringLiteral("n%1").arg(i), "names", names.at(i), 3),
                   "abc");
    const QString folder = m_mount->path("Mes photos/Noms");
    const ToolRun find = runTool("find", {folder, "-mindepth", "1", "-printf", "%f\\n"});
    QCOMPARE(find.exitCode, 0);
    QCOMPARE(lines(find.out), expected);
    // Every name shown can be looked up and read.
    for (const QString& name : std::as_const(expected)) {
        const ToolRun cat = runTool("cat", {folder + u'/' + name});
        QCOMPARE(cat.exitCode, 0);
        QCOMPARE(cat.out, QByteArray("abc"));
    }
}

void TestFuseHostListing::attributesFollowTheItem_data()
{
    QTest::addColumn<bool>("isFolder");
    QTest::addColumn<unsigned>("capabilities");
    QTest::addColumn<QString>("mode");
    using namespace FileProviderItemCapability;
    QTest::newRow("folder that takes items") << true << allowsAll << "drwxr-xr-x";
    QTest::newRow("folder that takes none")
        << true << (allowsReading | allowsRenaming) << "dr-xr-xr-x";
    QTest::newRow("writable file") << false << allowsAll << "-rw-r--r--";
    QTest::newRow("read-only file") << false << (allowsReading | allowsDeleting) << "-r--r--r--";
}

void TestFuseHostListing::attributesFollowTheItem()
{
    QFETCH(bool, isFolder);
    QFETCH(unsigned, capabilities);
    QFETCH(QString, mode);
    FileProviderItemProperties item =
        isFolder ? MemoryExtension::folder("x", "photos", "x", capabilities)
                 : MemoryExtension::file("x", "photos", "x", 12345, "image/jpeg", capabilities);
    item.contentModificationDate = QDateTime::fromSecsSinceEpoch(1'650'000'000, Qt::UTC);
    m_ext->put(item, isFolder ? QByteArray() : QByteArray(12345, 'x'));
    const ToolRun stat =
        runTool("stat", {"-c", "%A %u %g %s %Y %h", m_mount->path("Mes photos/x")});
    QCOMPARE(stat.exitCode, 0);
    // One link: a file, or a folder never listed (its subfolders are not known yet).
    const QString expected = QStringLiteral("%1 %2 %3 %4 1650000000 1\n")
                                 .arg(mode)
                                 .arg(::getuid())
                                 .arg(::getgid())
                                 .arg(isFolder ? 0 : 12345);
    QCOMPARE(QString::fromUtf8(stat.out), expected);
}

void TestFuseHostListing::inodesAreStable()
{
    m_ext->put(MemoryExtension::file("a", "photos", "a.jpg", 1), "a");
    m_ext->put(MemoryExtension::file("b", "photos", "b.jpg", 1), "b");
    const QString a = m_mount->path("Mes photos/a.jpg");
    const QByteArray first = runTool("stat", {"-c", "%i", a}).out;
    QVERIFY(!first.isEmpty());
    QVERIFY(first != runTool("stat", {"-c", "%i", m_mount->path("Mes photos/b.jpg")}).out);
    // A change in the folder, and the kernel dropping what it cached, keep the number.
    m_ext->put(MemoryExtension::file("c", "photos", "c.jpg", 1), "c");
    m_mount->host().signalEnumerator("photos");
    QTRY_COMPARE(lines(runTool("ls", {m_mount->path("Mes photos")}).out).size(), 4);
    QFile drop("/proc/sys/vm/drop_caches");
    if (drop.open(QIODevice::WriteOnly))
        drop.write("2");
    QCOMPARE(runTool("stat", {"-c", "%i", a}).out, first);
}

void TestFuseHostListing::listingErrorBecomesErrno()
{
    // The mapping itself is read through file contents; a listing fails the same way.
    m_ext->failListing("photos", Error{ErrorDomain::Client, 404, "Réponse HTTP 404 d'Immich"});
    const ToolRun ls = runTool("ls", {m_mount->path("Mes photos")});
    QVERIFY(ls.exitCode != 0);
    QVERIFY2(ls.err.contains("No such file or directory"), ls.err.constData());
    // Once the extension answers again, so does the folder.
    m_ext->failListing("photos", std::nullopt);
    QCOMPARE(runTool("ls", {m_mount->path("Mes photos")}).exitCode, 0);
}

void TestFuseHostListing::trashListsTheTrashContainer()
{
    m_ext->put(MemoryExtension::file("t", FileProviderContainer::trash, "old.jpg", 1), "t");
    const QString trashName = QStringLiteral(".Trash-%1").arg(::getuid());
    const QString trash = m_mount->path(trashName);
    QCOMPARE(lines(runTool("ls", {"-a1", m_mount->mountPoint()}).out),
             (QStringList{".", "..", trashName, "Mes albums", "Mes photos"}));
    QCOMPARE(lines(runTool("ls", {trash}).out), (QStringList{"files", "info"}));
    QCOMPARE(lines(runTool("ls", {trash + "/files"}).out), QStringList{"old.jpg"});
    QCOMPARE(runTool("ls", {trash + "/info"}).out, QByteArray());
    QCOMPARE(runTool("stat", {"-c", "%A", trash}).out, QByteArray("drwx------\n"));
}

QTEST_GUILESS_MAIN(TestFuseHostListing)
#include "TestFuseHostListing.moc"
