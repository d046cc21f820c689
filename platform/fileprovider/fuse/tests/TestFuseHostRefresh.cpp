#include "Clock.h"
#include "MountedHost.h"

#include <QTest>

using namespace pixavella;

namespace {

const QString root = FileProviderContainer::root;

QByteArray sorted(const QByteArray& out)
{
    QList<QByteArray> names = out.split('\n');
    names.removeAll(QByteArray());
    std::sort(names.begin(), names.end());
    return names.join(' ');
}

} // namespace

class TestFuseHostRefresh : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void signalledChangesReachTheKernel();
    void signalOfAnIdleFolderWaitsForItsNextUse();
    void listingThatNeverEndsIsAnswered();
    void knownNameAnswersWhileItsFolderRefreshes();

private:
    QString photos(const QString& name = {}) const
    {
        return m_mount->path(name.isEmpty() ? QStringLiteral("Photos") : "Photos/" + name);
    }
    QByteArray ls(const QString& path) const { return sorted(runTool("ls", {path}).out); }

    std::unique_ptr<ManualClock> m_clock;
    std::shared_ptr<MemoryExtension> m_ext;
    std::unique_ptr<MountedHost> m_mount;
};

void TestFuseHostRefresh::init()
{
    m_clock = std::make_unique<ManualClock>();
    m_ext = std::make_shared<MemoryExtension>();
    m_ext->put(MemoryExtension::folder("photos", root, "Photos"));
    m_ext->put(MemoryExtension::folder("albums", root, "Albums"));
    m_ext->put(MemoryExtension::file("a", "photos", "a.jpg", 1), "a");
    m_ext->put(MemoryExtension::file("b", "photos", "b.jpg", 1), "b");
    m_mount = std::make_unique<MountedHost>(
        m_ext, [](FuseHostOptions& o) {
            o.enumerationTimeout = std::chrono::seconds(2);
            // Longer than any wait of these tests: only an invalidation shows a name arriving
            // after a miss.
            o.missingCacheSeconds = 600;
        });
    QVERIFY(m_mount->mount());
}

void TestFuseHostRefresh::cleanup()
{
    m_mount.reset();
    m_ext.reset();
    m_clock.reset();
}

void TestFuseHostRefresh::signalledChangesReachTheKernel()
{
    QCOMPARE(ls(photos()), QByteArray("a.jpg b.jpg"));
    const QByteArray inode = runTool("stat", {"-c", "%i %s", photos("b.jpg")}).out;
    QCOMPARE(runTool("stat", {"-c", "%s", photos("a.jpg")}).out, QByteArray("1\n"));
    // Misses the kernel keeps.
    QVERIFY(runTool("stat", {photos("c.jpg")}).err.contains("No such file or directory"));
    QVERIFY(runTool("stat", {photos("renamed.jpg")}).err.contains("No such file or directory"));

    // a.jpg goes, b.jpg is renamed, c.jpg arrives. The kernel has a.jpg and b.jpg cached for
    // a minute, and the misses of c.jpg and renamed.jpg for longer: only invalidation makes the
    // change visible now.
    m_ext->remove("a");
    m_ext->put(MemoryExtension::file("b", "photos", "renamed.jpg", 2), "bb");
    m_ext->put(MemoryExtension::file("c", "photos", "c.jpg", 1), "c");
    m_mount->host().signalEnumerator("photos");
    QCOMPARE(m_ext->changesCount("photos"), 1); // used a moment ago: refreshed at once

    QTRY_VERIFY(runTool("stat", {photos("a.jpg")}).err.contains("No such file or directory"));
    QTRY_VERIFY(runTool("stat", {photos("b.jpg")}).err.contains("No such file or directory"));
    QCOMPARE(ls(photos()), QByteArray("c.jpg renamed.jpg"));
    QTRY_COMPARE(runTool("stat", {"-c", "%s", photos("c.jpg")}).out, QByteArray("1\n"));
    QTRY_COMPARE(runTool("stat", {"-c", "%s", photos("renamed.jpg")}).out, QByteArray("2\n"));
    const QByteArray renamed = runTool("stat", {"-c", "%i %s", photos("renamed.jpg")}).out;
    QCOMPARE(renamed.split(' ').first(), inode.split(' ').first());
    QCOMPARE(renamed.split(' ').last(), QByteArray("2\n"));
    QCOMPARE(m_ext->listingCount("photos"), 1);
}

void TestFuseHostRefresh::signalOfAnIdleFolderWaitsForItsNextUse()
{
    QCOMPARE(ls(photos()), QByteArray("a.jpg b.jpg"));
    m_clock->advance(61);
    m_ext->put(MemoryExtension::file("c", "photos", "c.jpg", 1), "c");
    m_mount->host().signalEnumerator("photos");
    QCOMPARE(m_ext->changesCount("photos"), 0);
    QCOMPARE(ls(photos()), QByteArray("a.jpg b.jpg c.jpg"));
    QCOMPARE(m_ext->changesCount("photos"), 1);
    // Unchanged since: no request at all.
    QCOMPARE(ls(photos()), QByteArray("a.jpg b.jpg c.jpg"));
    QCOMPARE(m_ext->changesCount("photos"), 1);
    QCOMPARE(m_ext->listingCount("photos"), 1);
}

void TestFuseHostRefresh::listingThatNeverEndsIsAnswered()
{
    m_ext->hangListing("albums", true);
    const ToolRun albums = runTool("ls", {m_mount->path("Albums")});
    QVERIFY(albums.exitCode != 0);
    QVERIFY2(albums.err.contains("Connection timed out"), albums.err.constData());
    m_ext->hangListing("albums", false);
    QCOMPARE(runTool("ls", {m_mount->path("Albums")}).exitCode, 0);
}

void TestFuseHostRefresh::knownNameAnswersWhileItsFolderRefreshes()
{
    // Waits longer than any run of a tool here: only a name never seen may wait for a
    // refresh of a folder listed before.
    m_mount.reset();
    m_mount = std::make_unique<MountedHost>(m_ext, [](FuseHostOptions& o) {
        o.enumerationTimeout = std::chrono::minutes(10);
        o.listedWait = std::chrono::minutes(10);
    });
    QVERIFY(m_mount->mount());
    QCOMPARE(ls(photos()), QByteArray("a.jpg b.jpg")); // ls looks no name up
    m_ext->hangListing("photos", true);
    m_mount->host().signalEnumerator("photos");
    QCOMPARE(runTool("stat", {"-c", "%s", photos("a.jpg")}).out, QByteArray("1\n"));
}

QTEST_GUILESS_MAIN(TestFuseHostRefresh)
#include "TestFuseHostRefresh.moc"
