#include "ContainerPaths.h"
#include "ControlProtocol.h"
#include "FileProviderError.h"
#include "FileProviderManager.h"
#include "MountTable.h"
#include "MountedHost.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QTest>

#include <csignal>
#include <sys/stat.h>

using namespace pixavella;

namespace {

const FileProviderDomain kDomain{"app.pixavella.fileprovider", "Pixavella"};

// The daemon's pid as it reports it, or 0 when none answers.
qint64 daemonPid()
{
    QLocalSocket socket;
    socket.connectToServer(ControlProtocol::socketPath());
    if (!socket.waitForConnected(2'000))
        return 0;
    socket.write(ControlProtocol::encode({{"command", "ping"}}));
    while (!socket.canReadLine())
        if (!socket.waitForReadyRead(5'000))
            return 0;
    const auto answer = ControlProtocol::decode(socket.readLine());
    return answer ? qint64(answer->value("pid").toDouble()) : 0;
}

bool processGone(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray line = stat.readAll();
    return line.mid(line.lastIndexOf(')') + 2, 1) == "Z";
}

} // namespace

class TestFileProviderManager : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void deadDaemonComesBackWithTheNextSignal();
    void removeStopsTheDaemonAndDropsTheCache();
    void signalOfARemovedDomainStartsNothing();
    void missingDaemonProgramFailsTheAdd();

private:
    Result<void> await(const std::function<void(FileProviderManager::Completion)>& call);
    void writeTree(const QStringList& photos);
    QString mountPoint() const { return ContainerPaths::mountPoint(); }

    QString m_tree;
    FileProviderManager::Options m_options;
    std::unique_ptr<FileProviderManager> m_manager;
};

void TestFileProviderManager::initTestCase()
{
    const QString daemon = QCoreApplication::applicationDirPath() + "/test-passerelle";
    QVERIFY2(QFile::exists(daemon), qPrintable(daemon));
    m_tree = QDir::tempPath() + "/tree.json";
    qputenv("PIXAVELLA_TEST_TREE", QFile::encodeName(m_tree));
    qputenv("PIXAVELLA_PASSERELLE", QFile::encodeName(daemon));
}

void TestFileProviderManager::init()
{
    writeTree({"a.jpg"});
    m_options = FileProviderManager::Options::defaults();
    m_manager = std::make_unique<FileProviderManager>(kDomain, m_options);
}

void TestFileProviderManager::cleanup()
{
    if (const qint64 pid = daemonPid())
        ::kill(pid_t(pid), SIGTERM);
    QTRY_COMPARE_WITH_TIMEOUT(daemonPid(), 0, 10'000);
    if (MountTable::find(mountPoint()))
        runTool("fusermount3", {"-u", "-z", mountPoint()});
    m_manager.reset();
    QDir(m_options.cacheDirectory).removeRecursively();
}

Result<void>
TestFileProviderManager::await(const std::function<void(FileProviderManager::Completion)>& call)
{
    std::optional<Result<void>> outcome;
    int calls = 0;
    call([&](Result<void> r) {
        ++calls;
        outcome = std::move(r);
    });
    [&] { QTRY_VERIFY_WITH_TIMEOUT(outcome.has_value(), 30'000); }();
    QTest::qWait(50);
    if (calls != 1)
        qFatal("completion called %d times", calls);
    return outcome ? *outcome : fileError(ETIMEDOUT, "no completion");
}

void TestFileProviderManager::writeTree(const QStringList& photos)
{
    QJsonArray items{QJsonObject{{"id", "photos"}, {"name", "Photos"}, {"folder", true}}};
    for (const QString& name : photos)
        items.append(QJsonObject{
            {"id", "id-" + name}, {"parent", "photos"}, {"name", name}, {"contents", name}});
    QFile file(m_tree);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QJsonDocument(QJsonObject{{"items", items}}).toJson());
}

void TestFileProviderManager::deadDaemonComesBackWithTheNextSignal()
{
    QVERIFY(await([&](auto done) { m_manager->add(done); }));
    QCOMPARE(runTool("ls", {mountPoint() + "/Photos"}).exitCode, 0);
    const qint64 pid = daemonPid();
    ::kill(pid_t(pid), SIGKILL);
    QTRY_VERIFY(processGone(pid));
    QTRY_VERIFY(MountTable::isStale(mountPoint()));

    writeTree({"a.jpg", "c.jpg"});
    const Result<void> signalled =
        await([&](auto done) { m_manager->signalEnumerator("photos", done); });
    QVERIFY2(signalled, qPrintable(signalled ? QString() : signalled.error().description));
    QVERIFY(daemonPid() != pid);
    QVERIFY(!MountTable::isStale(mountPoint()));
    QCOMPARE(runTool("ls", {mountPoint() + "/Photos"}).out, QByteArray("a.jpg\nc.jpg\n"));
}

void TestFileProviderManager::removeStopsTheDaemonAndDropsTheCache()
{
    QVERIFY(await([&](auto done) { m_manager->add(done); }));
    QCOMPARE(runTool("cat", {mountPoint() + "/Photos/a.jpg"}).exitCode, 0);
    QVERIFY(QDir(m_options.cacheDirectory + "/contents").exists());
    const qint64 pid = daemonPid();

    QVERIFY(await([&](auto done) { m_manager->remove(done); }));
    QTRY_VERIFY(processGone(pid));
    QVERIFY(!MountTable::find(mountPoint()));
    QVERIFY(!QDir(m_options.cacheDirectory).exists());
    QCOMPARE(daemonPid(), 0);
    // Removing again, with no daemon at all, is not an error.
    QVERIFY(await([&](auto done) { m_manager->remove(done); }));
}

void TestFileProviderManager::signalOfARemovedDomainStartsNothing()
{
    const Result<void> signalled =
        await([&](auto done) { m_manager->signalEnumerator("photos", done); });
    QVERIFY(!signalled);
    QVERIFY(isFileProviderError(signalled.error(), FileProviderErrorCode::noSuchItem));
    QCOMPARE(daemonPid(), 0);
}

void TestFileProviderManager::missingDaemonProgramFailsTheAdd()
{
    FileProviderManager::Options options = m_options;
    options.daemonProgram = QDir::tempPath() + "/no-such-passerelle";
    FileProviderManager manager(kDomain, options);
    const Result<void> added = await([&](auto done) { manager.add(done); });
    QVERIFY(!added);
    QCOMPARE(added.error().code, ENOENT);
}

QTEST_GUILESS_MAIN(TestFileProviderManager)
#include "TestFileProviderManager.moc"
