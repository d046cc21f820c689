// Reading through a real mount: ranges, versions, sizes and errors as errno.
#include "Error.h"
#include "FileProviderError.h"
#include "MountedHost.h"

#include <QNetworkReply>
#include <QTest>

using namespace pixavella;

namespace {

const QString root = FileProviderContainer::root;

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
    // Every error's errno is TestHostRules'; these show it reaches the program as it is.
    QTest::newRow("no such item") << fileProviderError(FileProviderErrorCode::noSuchItem)
                                  << "No such file or directory";
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

QTEST_GUILESS_MAIN(TestFuseHostContents)
#include "TestFuseHostContents.moc"
