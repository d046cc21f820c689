// Reading through a real mount: ranges, versions, sizes, errors as errno, and unmounting under
// a reader.
#include "Error.h"
#include "FileProviderError.h"
#include "MountTable.h"
#include "MountedHost.h"

#include <QDir>
#include <QNetworkReply>
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

class TestFuseHostContents : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void rangesReadAsStored_data();
    void rangesReadAsStored();
    void newVersionIsFetchedAgain();
    void deliveredSizeWinsOverTheItemsSize();
    void fetchErrorsBecomeErrno_data();
    void fetchErrorsBecomeErrno();
    void unmountLeavesNothingBehind_data();
    void unmountLeavesNothingBehind();
    void mountedTwiceIsRefused();

private:
    QString photo(const QString& name) const { return m_mount->path("Photos/" + name); }

    std::shared_ptr<MemoryExtension> m_ext;
    std::unique_ptr<MountedHost> m_mount;
};

void TestFuseHostContents::init()
{
    m_ext = std::make_shared<MemoryExtension>();
    m_ext->put(MemoryExtension::folder("photos", root, "Photos"));
    m_mount = std::make_unique<MountedHost>(m_ext);
    QVERIFY(m_mount->mount());
}

void TestFuseHostContents::cleanup()
{
    m_mount.reset();
    m_ext.reset();
}

void TestFuseHostContents::rangesReadAsStored_data()
{
    QTest::addColumn<QStringList>("dd");
    QTest::addColumn<qsizetype>("offset");
    QTest::addColumn<qsizetype>("length");
    // Direct reads reach the host with exactly these offsets and sizes, not whole pages.
    const QString direct = QStringLiteral("iflag=direct,skip_bytes,count_bytes");
    QTest::newRow("whole, cached") << QStringList{"bs=1M"} << qsizetype(0) << qsizetype(-1);
    QTest::newRow("inside, unaligned") << QStringList{direct, "bs=64K", "skip=12345", "count=70001"}
                                       << qsizetype(12345) << qsizetype(70001);
    QTest::newRow("across the end") << QStringList{direct, "bs=64K", "skip=262144", "count=131072"}
                                    << qsizetype(262144) << qsizetype(-1);
    QTest::newRow("past the end") << QStringList{direct, "bs=4K", "skip=400000"}
                                  << qsizetype(400000) << qsizetype(0);
}

void TestFuseHostContents::rangesReadAsStored()
{
    QFETCH(QStringList, dd);
    QFETCH(qsizetype, offset);
    QFETCH(qsizetype, length);
    // Several read requests long, ending inside one.
    QByteArray contents(300'007, Qt::Uninitialized);
    for (qsizetype i = 0; i < contents.size(); ++i)
        contents[i] = char(i % 251);
    m_ext->put(MemoryExtension::file("a", "photos", "a.jpg", contents.size()), contents);
    const ToolRun read = runTool("dd", dd << "if=" + photo("a.jpg") << "status=none");
    QVERIFY2(read.exitCode == 0, read.err.constData());
    QCOMPARE(read.out, contents.mid(offset, length));
}

void TestFuseHostContents::newVersionIsFetchedAgain()
{
    m_ext->put(MemoryExtension::file("a", "photos", "a.jpg", 3), "one");
    QCOMPARE(runTool("cat", {photo("a.jpg")}).out, QByteArray("one"));
    m_ext->put(MemoryExtension::file("a", "photos", "a.jpg", 5), "three");
    m_mount->host().signalEnumerator("photos");
    QTRY_COMPARE(runTool("cat", {photo("a.jpg")}).out, QByteArray("three"));
    QCOMPARE(m_ext->fetchCount(), 2);
}

void TestFuseHostContents::deliveredSizeWinsOverTheItemsSize()
{
    // The item claims 3 bytes; the file delivered has 10. Nothing may be cut off.
    m_ext->put(MemoryExtension::file("a", "photos", "a.jpg", 3), "0123456789");
    QCOMPARE(runTool("cat", {photo("a.jpg")}).out, QByteArray("0123456789"));
    QTRY_COMPARE(runTool("stat", {"-c", "%s", photo("a.jpg")}).out, QByteArray("10\n"));
    QCOMPARE(runTool("cat", {photo("a.jpg")}).out, QByteArray("0123456789"));
}

void TestFuseHostContents::fetchErrorsBecomeErrno_data()
{
    QTest::addColumn<Error>("error");
    QTest::addColumn<QString>("message");
    QTest::newRow("not authenticated")
        << fileProviderError(FileProviderErrorCode::notAuthenticated) << "Permission denied";
    QTest::newRow("no such item") << fileProviderError(FileProviderErrorCode::noSuchItem)
                                  << "No such file or directory";
    QTest::newRow("server unreachable")
        << fileProviderError(FileProviderErrorCode::serverUnreachable) << "No route to host";
    QTest::newRow("unsupported") << unsupportedOperationError() << "Operation not supported";
    QTest::newRow("http 403") << Error{ErrorDomain::Client, 403, {}} << "Permission denied";
    QTest::newRow("http 404") << Error{ErrorDomain::Client, 404, {}} << "No such file or directory";
    QTest::newRow("http 500") << Error{ErrorDomain::Client, 500, {}} << "Input/output error";
    QTest::newRow("transport time-out")
        << Error{ErrorDomain::Network, QNetworkReply::TimeoutError, {}} << "Connection timed out";
    QTest::newRow("disk full") << fileError(ENOSPC, {}) << "No space left on device";
    // 0 would read as success to the kernel.
    QTest::newRow("file error without errno")
        << Error{ErrorDomain::File, 0, {}} << "Input/output error";
}

void TestFuseHostContents::fetchErrorsBecomeErrno()
{
    QFETCH(Error, error);
    QFETCH(QString, message);
    m_ext->put(MemoryExtension::file("a", "photos", "a.jpg", 1), "a");
    m_ext->failContents("a", error);
    const ToolRun cat = runTool("cat", {photo("a.jpg")});
    QVERIFY(cat.exitCode != 0);
    QVERIFY2(cat.err.contains(message.toUtf8()), cat.err.constData());
    // Nothing was cached by the failure: the next read asks again and succeeds.
    m_ext->failContents("a", std::nullopt);
    QCOMPARE(runTool("cat", {photo("a.jpg")}).out, QByteArray("a"));
    QCOMPARE(m_ext->fetchCount(), 2);
}

void TestFuseHostContents::unmountLeavesNothingBehind_data()
{
    QTest::addColumn<bool>("fileOpen");
    QTest::newRow("idle") << false;
    QTest::newRow("a file still open") << true;
}

void TestFuseHostContents::unmountLeavesNothingBehind()
{
    QFETCH(bool, fileOpen);
    m_ext->put(MemoryExtension::file("a", "photos", "a.jpg", 5), "hello");
    QFile open(photo("a.jpg"));
    if (fileOpen) {
        QVERIFY(open.open(QIODevice::ReadOnly));
        QCOMPARE(open.read(5), QByteArray("hello"));
    }
    m_mount->host().unmount();
    QVERIFY(!m_mount->host().isMounted());
    QVERIFY(!MountTable::find(m_mount->mountPoint()));
    QVERIFY(QDir(m_mount->mountPoint()).isEmpty());
    QCOMPARE(childProcesses(), QStringList());
    // A file left open reads no more, but its owner is not hung.
    if (fileOpen)
        QVERIFY(open.read(5).isEmpty());
}

void TestFuseHostContents::mountedTwiceIsRefused()
{
    FuseHost second(m_ext, m_mount->options());
    const Result<void> again = second.mount();
    QVERIFY(!again);
    QCOMPARE(again.error().code, EBUSY);
    QCOMPARE(runTool("ls", {m_mount->mountPoint()}).exitCode, 0);
}

QTEST_GUILESS_MAIN(TestFuseHostContents)
#include "TestFuseHostContents.moc"
