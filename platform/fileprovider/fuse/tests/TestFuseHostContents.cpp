#include "FileProviderError.h"
#include "MountedHost.h"

#include <QNetworkReply>
#include <QRandomGenerator>
#include <QTemporaryFile>
#include <QTest>

using namespace pixavella;

namespace {
const QString root = FileProviderContainer::root;
}

class TestFuseHostContents : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void catServesTheContents();
    void secondReadIsServedFromTheCache();
    void newVersionIsFetchedAgain();
    void deliveredSizeWinsOverTheItemsSize();
    void fetchErrorsBecomeErrno_data();
    void fetchErrorsBecomeErrno();

private:
    QString photo(const QString& name) const { return m_mount->path("Photos/" + name); }

    std::shared_ptr<MemoryExtension> m_ext;
    std::unique_ptr<MountedHost> m_mount;
    QString m_cache;
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

void TestFuseHostContents::catServesTheContents()
{
    // Several read requests' worth, with every byte value.
    QByteArray contents(3 * 1024 * 1024 + 17, Qt::Uninitialized);
    QRandomGenerator gen(7);
    for (char& c : contents)
        c = char(gen.bounded(256));
    m_ext->put(MemoryExtension::file("a", "photos", "a.jpg", contents.size()), contents);
    QTemporaryFile expected;
    QVERIFY(expected.open());
    expected.write(contents);
    expected.flush();
    const ToolRun cmp = runTool("cmp", {expected.fileName(), photo("a.jpg")});
    QVERIFY2(cmp.exitCode == 0, cmp.out.constData());
}

void TestFuseHostContents::secondReadIsServedFromTheCache()
{
    m_ext->put(MemoryExtension::file("a", "photos", "a.jpg", 5), "hello");
    QCOMPARE(runTool("cat", {photo("a.jpg")}).out, QByteArray("hello"));
    QCOMPARE(m_ext->fetchCount(), 1);
    QCOMPARE(runTool("cat", {photo("a.jpg")}).out, QByteArray("hello"));
    QCOMPARE(m_ext->fetchCount(), 1);
    // A new mount over the same cache still finds the materialised file.
    const FuseHostOptions options = m_mount->options();
    m_mount->unmount();
    FuseHost again(m_ext, options);
    QVERIFY(again.mount());
    QCOMPARE(runTool("cat", {options.mountPoint + "/Photos/a.jpg"}).out, QByteArray("hello"));
    QCOMPARE(m_ext->fetchCount(), 1);
    again.unmount();
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

QTEST_GUILESS_MAIN(TestFuseHostContents)
#include "TestFuseHostContents.moc"
