// What both sides of the file system share, without a mount: what the kernel is told of an
// item, how long a request waits for its folder, and completions that outlive the host.
#include "HostState.h"

#include "ErrnoMapping.h"
#include "FuseHostOptions.h"
#include "MemoryExtension.h"
#include "TrashFolder.h"

#include <QTemporaryDir>
#include <QTest>

using namespace pixavella;

namespace {

const QString root = FileProviderContainer::root;

} // namespace

class TestHostState : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void kernelKeepsListedItemsButNotStagedFiles();
    void slowFolderIsAnsweredAsItWasOrFails();
    void completionsAfterTheHostIsGoneDoNothing();
    void thumbnailsOnlyForPhotosAndVideos();

private:
    std::shared_ptr<HostState> make()
    {
        return std::make_shared<HostState>(
            m_ext, m_options, [this](const FileProviderItemIdentifier& c) { m_started << c; });
    }
    ReplicaEntry listed(HostState& host, const FileProviderItemProperties& item)
    {
        host.replica.applyListing(item.parentItemIdentifier, {FileProviderItemSnapshot::make(item)},
                                  "1");
        return *host.replica.entry(item.itemIdentifier);
    }

    QTemporaryDir m_dir;
    FuseHostOptions m_options;
    std::shared_ptr<MemoryExtension> m_ext;
    QStringList m_started;
};

void TestHostState::init()
{
    m_options = FuseHostOptions{};
    m_options.mountPoint = m_dir.path() + "/mnt";
    m_options.cacheDirectory = m_dir.path() + "/cache";
    m_options.thumbnailDirectory = m_dir.path() + "/thumbnails";
    m_options.kernelCacheSeconds = 42;
    m_ext = std::make_shared<MemoryExtension>();
    m_started.clear();
}

void TestHostState::cleanup()
{
    m_ext.reset();
}

void TestHostState::kernelKeepsListedItemsButNotStagedFiles()
{
    const std::shared_ptr<HostState> host = make();
    host->replica.applyListing(
        root, {FileProviderItemSnapshot::make(MemoryExtension::folder("p", root, "Photos"))}, "1");
    FileProviderItemProperties item = MemoryExtension::file("a", "p", "a.jpg", 7);
    const QDateTime taken = QDateTime::fromString("2024-05-01T10:00:00Z", Qt::ISODate);
    item.creationDate = taken;
    item.contentModificationDate = taken.addSecs(60);
    fuse_entry_param ep = host->entryParam(listed(*host, item));
    QCOMPARE(ep.entry_timeout, 42.0);
    QCOMPARE(ep.attr_timeout, 42.0);
    QCOMPARE(qint64(ep.attr.st_size), qint64(7));
    QVERIFY(S_ISREG(ep.attr.st_mode));
    QCOMPARE(qint64(ep.attr.st_mtim.tv_sec), taken.addSecs(60).toSecsSinceEpoch());
    QCOMPARE(ep.attr.st_uid, ::getuid());

    // Without a modification date the creation date shows, then the mount's time; a size
    // the server got wrong never shows below zero.
    item.contentModificationDate.reset();
    item.documentSize = -5;
    ep = host->entryParam(listed(*host, item));
    QCOMPARE(qint64(ep.attr.st_mtim.tv_sec), taken.toSecsSinceEpoch());
    QCOMPARE(qint64(ep.attr.st_size), qint64(0));
    item.creationDate.reset();
    ep = host->entryParam(listed(*host, item));
    QCOMPARE(qint64(ep.attr.st_mtim.tv_sec), host->mountTime.toSecsSinceEpoch());

    // A file being written: its name may go as soon as it is filed, so the kernel never keeps
    // it; its attributes only the kernel changes.
    const InodeNumber photos = host->replica.entry("p")->ino;
    const auto made = host->staging.create(photos, "new.jpg", 0644);
    QVERIFY(made);
    const std::optional<StagedFile> staged = host->staging.file(made.value().first);
    QVERIFY(staged);
    ep = host->entryParam(*staged);
    QCOMPARE(ep.entry_timeout, 0.0);
    QCOMPARE(ep.attr_timeout, HostState::kStagedAttributeSeconds);
    QCOMPARE(ep.attr.st_mode, mode_t(S_IFREG | 0644));
    host->staging.release(made.value().second);
}

void TestHostState::slowFolderIsAnsweredAsItWasOrFails()
{
    m_options.listedWait = std::chrono::milliseconds(50);
    m_options.unlistedWait = std::chrono::milliseconds(150);
    const std::shared_ptr<HostState> host = make();
    std::atomic<int> answers = 0;
    std::optional<Result<void>> last;
    const auto ready = [&](Result<void> result) {
        last = std::move(result);
        ++answers;
    };

    // Never listed: a slow listing fails the request with ETIMEDOUT, once, and goes on.
    host->whenCurrent("p", ready);
    QCOMPARE(m_started, QStringList({"p"}));
    QTRY_COMPARE(answers.load(), 1);
    QCOMPARE(errnoForError(last->error()), ETIMEDOUT);
    host->scheduler.finished("p", Result<void>::success());
    QCOMPARE(answers.load(), 1);

    // Listed before: answered as it was once the shorter wait passes.
    host->scheduler.markAllChanged();
    host->whenCurrent("p", ready);
    QCOMPARE(m_started.size(), 2);
    QTRY_COMPARE(answers.load(), 2);
    QVERIFY(*last);
    host->scheduler.finished("p", Result<void>::success());
    QCOMPARE(answers.load(), 2);

    // A listing that ends in time answers at once; fixed folders need none.
    host->scheduler.markAllChanged();
    host->whenCurrent("p", ready);
    host->scheduler.finished("p", Result<void>::success());
    QCOMPARE(answers.load(), 3);
    host->whenCurrent(FuseHostFolder::trashInfo, ready);
    QCOMPARE(answers.load(), 4);
    QCOMPARE(m_started.size(), 3);
    QTest::qWait(200);
    QCOMPARE(answers.load(), 4);
}

void TestHostState::completionsAfterTheHostIsGoneDoNothing()
{
    std::shared_ptr<HostState> host = make();
    int ran = 0;
    const auto completion = host->whileAlive([&ran](int n) { ran += n; });
    completion(1);
    QCOMPARE(ran, 1);
    host.reset();
    // The extension answers after the mount went: nothing of the host is touched.
    completion(1);
    QCOMPARE(ran, 1);
}

void TestHostState::thumbnailsOnlyForPhotosAndVideos()
{
    const std::shared_ptr<HostState> host = make();
    host->replica.applyListing(
        root, {FileProviderItemSnapshot::make(MemoryExtension::folder("p", root, "Mes photos"))},
        "1");
    const auto candidate = [&](const QString& name, const QString& mime) {
        return host->thumbnailCandidate(
            listed(*host, MemoryExtension::file(name, "p", name, 1, mime)));
    };
    const std::optional<ThumbnailSeeder::Candidate> photo = candidate("a b.jpg", "image/jpeg");
    QVERIFY(photo);
    // The address a file manager looks its thumbnail up by: the file's own, escaped.
    QCOMPARE(photo->uri,
             QUrl::fromLocalFile(m_options.mountPoint + "/Mes photos/a b.jpg").toEncoded());
    QVERIFY(candidate("v.mp4", "video/mp4"));
    QVERIFY(!candidate("notes.txt", "text/plain"));
    QVERIFY(!host->thumbnailCandidate(*host->replica.entry("p")));
}

QTEST_GUILESS_MAIN(TestHostState)
#include "TestHostState.moc"
