// One mount's life, below FuseHost: the session, the core it serves and the kernel notices.
#include "FuseSession.h"
#include "HostCore.h"
#include "KernelNotifier.h"
#include "MemoryExtension.h"
#include "MountTable.h"
#include "MountedHost.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include <unistd.h>

using namespace pixavella;

namespace {

const QString root = FileProviderContainer::root;

// Processes whose parent is this test: a helper left behind (fusermount3) would show here.
QStringList childProcesses()
{
    QStringList found;
    const QByteArray self = QByteArray::number(::getpid());
    for (const QString& pid : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat("/proc/" + pid + "/stat");
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        // pid (comm) state ppid …; comm may hold spaces: split after the last ')'.
        const QList<QByteArray> rest = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (rest.size() > 1 && rest.at(1) == self)
            found.append(pid);
    }
    return found;
}

} // namespace

class TestFuseSession : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void unmountLeavesNothingBehind_data();
    void unmountLeavesNothingBehind();
    void mountedTwiceIsRefused();
    void endedRunsOnlyWhenUnmountedFromOutside();
    void noticesDropWhatTheKernelHolds();

private:
    QString photo(const QString& name) const { return m_options.mountPoint + "/Photos/" + name; }
    void mount(std::function<void()> ended = {})
    {
        m_core = std::make_shared<HostCore>(m_ext, m_options);
        m_session = std::make_unique<FuseSession>(m_core, m_options.mountPoint, false);
        const Result<void> mounted = m_session->mount(std::move(ended));
        QVERIFY2(mounted, qPrintable(mounted ? QString() : mounted.error().description));
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    FuseHostOptions m_options;
    std::shared_ptr<MemoryExtension> m_ext;
    std::shared_ptr<HostCore> m_core;
    std::unique_ptr<FuseSession> m_session;
};

void TestFuseSession::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_options = FuseHostOptions{};
    m_options.mountPoint = m_dir->path() + "/mnt";
    m_options.cacheDirectory = m_dir->path() + "/cache";
    m_options.thumbnailDirectory =
        QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) + "/thumbnails";
    m_ext = std::make_shared<MemoryExtension>();
    m_ext->put(MemoryExtension::folder("photos", root, "Photos"));
    m_ext->put(MemoryExtension::file("a", "photos", "a.jpg", 5), "hello");
}

void TestFuseSession::cleanup()
{
    m_session.reset();
    m_core.reset();
    if (MountTable::find(m_options.mountPoint))
        runTool("fusermount3", {"-u", "-z", m_options.mountPoint});
    m_dir.reset();
}

void TestFuseSession::unmountLeavesNothingBehind_data()
{
    QTest::addColumn<QString>("busy");
    QTest::newRow("idle") << QString();
    QTest::newRow("a file still open") << "open";
    QTest::newRow("a listing still waiting") << "listing";
}

void TestFuseSession::unmountLeavesNothingBehind()
{
    QFETCH(QString, busy);
    mount();
    QFile open(photo("a.jpg"));
    QProcess ls;
    if (busy == "open") {
        QVERIFY(open.open(QIODevice::ReadOnly));
        QCOMPARE(open.read(5), QByteArray("hello"));
    } else if (busy == "listing") {
        m_ext->hangListing("photos", true);
        ls.start("ls", {m_options.mountPoint + "/Photos"});
        QTRY_VERIFY(m_ext->listingCount("photos") > 0);
        QCOMPARE(m_core->requests.openCount(), qsizetype(1));
    }
    m_session->unmount();
    QVERIFY(!m_session->isMounted());
    QCOMPARE(m_core->requests.openCount(), qsizetype(0));
    QVERIFY(!MountTable::find(m_options.mountPoint));
    QVERIFY(QDir(m_options.mountPoint).isEmpty());
    // Whoever was waiting on the drive is answered, not hung: a file left open reads no more,
    // a listing fails.
    if (busy == "open")
        QVERIFY(open.read(5).isEmpty());
    if (busy == "listing") {
        QVERIFY(ls.waitForFinished(10'000));
        QVERIFY(ls.exitCode() != 0);
    }
    QCOMPARE(childProcesses(), QStringList());
}

void TestFuseSession::mountedTwiceIsRefused()
{
    mount();
    FuseSession second(std::make_shared<HostCore>(m_ext, m_options), m_options.mountPoint, false);
    const Result<void> again = second.mount({});
    QVERIFY(!again);
    QCOMPARE(again.error().code, EBUSY);
    QCOMPARE(runTool("ls", {m_options.mountPoint}).out, QByteArray("Photos\n"));
}

void TestFuseSession::endedRunsOnlyWhenUnmountedFromOutside()
{
    std::atomic<int> ended = 0;
    mount([&ended] { ++ended; });
    m_session->unmount();
    QCOMPARE(ended.load(), 0);

    mount([&ended] { ++ended; });
    QCOMPARE(runTool("fusermount3", {"-u", m_options.mountPoint}).exitCode, 0);
    QTRY_COMPARE(ended.load(), 1);
    QVERIFY(!m_session->isMounted());
    // What the loop left behind is released by the owner's unmount, which ends nothing again.
    m_session->unmount();
    QCOMPARE(ended.load(), 1);
    QVERIFY(!MountTable::find(m_options.mountPoint));
}

void TestFuseSession::noticesDropWhatTheKernelHolds()
{
    // Long enough that only a notice makes the kernel forget a name.
    m_options.kernelCacheSeconds = 600;
    m_ext->put(MemoryExtension::file("b", "photos", "b.jpg", 1), "b");
    mount();
    QCOMPARE(runTool("stat", {"-c", "%s", photo("a.jpg")}).out, QByteArray("5\n"));
    QCOMPARE(runTool("stat", {"-c", "%s", photo("b.jpg")}).out, QByteArray("1\n"));

    // Gone from the replica, a.jpg stays in the kernel's cache until it is told.
    const ReplicaDelta goneA = m_core->replica.removeItem("a");
    QCOMPARE(runTool("stat", {"-c", "%s", photo("a.jpg")}).exitCode, 0);
    m_core->notifier->post(goneA);
    QTRY_VERIFY(runTool("stat", {photo("a.jpg")}).exitCode != 0);

    // Stopped, the notifier sends nothing more.
    const ReplicaDelta goneB = m_core->replica.removeItem("b");
    m_core->notifier->stop();
    m_core->notifier->post(goneB);
    QTest::qWait(200);
    QCOMPARE(runTool("stat", {"-c", "%s", photo("b.jpg")}).out, QByteArray("1\n"));
}

QTEST_GUILESS_MAIN(TestFuseSession)
#include "TestFuseSession.moc"
