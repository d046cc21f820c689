#include "ContainerRefresher.h"

#include "ErrnoMapping.h"
#include "FileProviderError.h"
#include "MemoryExtension.h"

#include <QTest>

using namespace pixavella;

namespace {

const QString root = FileProviderContainer::root;

FileProviderItemRef photo(const QString& id, const QString& name)
{
    return FileProviderItemSnapshot::make(MemoryExtension::file(id, "p", name, 1));
}

// An enumerator the test answers by hand: every call waits in `calls` for the test to finish it,
// on the test's thread.
struct HandEnumerator final : FileProviderEnumeratorProtocol {
    struct Calls {
        std::function<void(std::optional<FileProviderSyncAnchor>)> anchor;
        std::shared_ptr<FileProviderEnumerationObserver> listing;
        std::shared_ptr<FileProviderChangeObserver> changes;
        FileProviderSyncAnchor changesSince;
        QList<FileProviderPage> pages;
        int invalidated = 0;
    };
    explicit HandEnumerator(std::shared_ptr<Calls> c) : calls(std::move(c)) {}
    void invalidate() override { ++calls->invalidated; }
    void enumerateItems(std::shared_ptr<FileProviderEnumerationObserver> observer,
                        const FileProviderPage& page) override
    {
        calls->listing = std::move(observer);
        calls->pages.append(page);
    }
    void enumerateChanges(std::shared_ptr<FileProviderChangeObserver> observer,
                          const FileProviderSyncAnchor& anchor) override
    {
        calls->changes = std::move(observer);
        calls->changesSince = anchor;
    }
    void currentSyncAnchor(
        std::function<void(std::optional<FileProviderSyncAnchor>)> completion) override
    {
        calls->anchor = std::move(completion);
    }
    std::shared_ptr<Calls> calls;
};

// Only enumerators: the refresher asks for nothing else.
struct HandExtension final : FileProviderReplicatedExtension {
    std::shared_ptr<HandEnumerator::Calls> calls = std::make_shared<HandEnumerator::Calls>();
    void invalidate() override {}
    ProgressRef itemForIdentifier(const FileProviderItemIdentifier&, ItemCompletion) override
    {
        return Progress::make();
    }
    ProgressRef fetchContents(const FileProviderItemIdentifier&,
                              const std::optional<FileProviderItemVersion>&,
                              const FileProviderRequest&, FetchContentsCompletion) override
    {
        return Progress::make();
    }
    ProgressRef createItem(FileProviderItemRef, FileProviderItemFields,
                           const std::optional<QString>&, FileProviderCreateOptions,
                           ItemChangeCompletion) override
    {
        return Progress::make();
    }
    ProgressRef modifyItem(FileProviderItemRef, const FileProviderItemVersion&,
                           FileProviderItemFields, const std::optional<QString>&,
                           ItemChangeCompletion) override
    {
        return Progress::make();
    }
    ProgressRef deleteItem(const FileProviderItemIdentifier&, const FileProviderItemVersion&,
                           FileProviderDeleteOptions, DeleteCompletion) override
    {
        return Progress::make();
    }
    Result<FileProviderEnumeratorRef>
    enumeratorForContainer(const FileProviderItemIdentifier&) override
    {
        return FileProviderEnumeratorRef(std::make_shared<HandEnumerator>(calls));
    }
    ProgressRef fetchThumbnails(const QList<FileProviderItemIdentifier>&, const QSize&,
                                PerThumbnailCompletion, ThumbnailsCompletion) override
    {
        return Progress::make();
    }
};

// What one refresh ended with; `count` catches a second answer.
struct Ended {
    int count = 0;
    std::optional<Result<void>> result;
    ReplicaDelta delta;
};

} // namespace

class TestContainerRefresher : public QObject {
    Q_OBJECT
private slots:
    void init();

    void listsInPagesThenAsksForChangesSinceTheAnchor();
    void expiredAnchorListsEverythingAgain();
    void refreshThatNeverEndsIsAnsweredOnceAtItsDeadline();
    void answersAfterStopLeaveTheReplicaAlone();

private:
    ContainerRefresher::Completion recordInto(Ended& ended)
    {
        return [&ended](Result<void> result, ReplicaDelta delta) {
            ++ended.count;
            ended.result = std::move(result);
            ended.delta = std::move(delta);
        };
    }
    QStringList names() const
    {
        QStringList out;
        const auto children = m_replica->children(m_replica->entry("p")->ino);
        for (const ReplicaEntry& e : children.value_or(QList<ReplicaEntry>()))
            out << e.item.filename;
        return out;
    }

    std::shared_ptr<HandExtension> m_ext;
    std::unique_ptr<Replica> m_replica;
    std::unique_ptr<Deadlines> m_deadlines;
};

void TestContainerRefresher::init()
{
    m_ext = std::make_shared<HandExtension>();
    m_replica = std::make_unique<Replica>();
    m_replica->applyListing(
        root, {FileProviderItemSnapshot::make(MemoryExtension::folder("p", root, "Photos"))}, "1");
    m_deadlines = std::make_unique<Deadlines>();
}

void TestContainerRefresher::listsInPagesThenAsksForChangesSinceTheAnchor()
{
    ContainerRefresher refresher(m_ext, *m_replica, *m_deadlines, std::chrono::seconds(30));
    HandEnumerator::Calls& calls = *m_ext->calls;
    Ended first;
    refresher.refresh("p", recordInto(first));
    // The anchor comes before the listing, so that what changes meanwhile is seen next time.
    QVERIFY(calls.anchor && !calls.listing);
    calls.anchor(FileProviderSyncAnchor("A1"));
    calls.listing->didEnumerateItems({photo("a", "a.jpg")});
    calls.listing->finishEnumeratingUpToPage(FileProviderPage("2"));
    QCOMPARE(first.count, 0);
    QCOMPARE(calls.pages.last(), FileProviderPage("2"));
    calls.listing->didEnumerateItems({photo("b", "b.jpg")});
    calls.listing->finishEnumeratingUpToPage(std::nullopt);
    QCOMPARE(first.count, 1);
    QVERIFY(*first.result);
    QCOMPARE(names(), QStringList({"a.jpg", "b.jpg"}));
    QCOMPARE(m_replica->anchor("p"), FileProviderSyncAnchor("A1"));
    QCOMPARE(calls.invalidated, 1);

    // Changes come in batches: "more coming" asks again from the anchor each batch ends at.
    Ended second;
    refresher.refresh("p", recordInto(second));
    QCOMPARE(calls.changesSince, FileProviderSyncAnchor("A1"));
    calls.changes->didDeleteItemsWithIdentifiers({"a"});
    calls.changes->finishEnumeratingChangesUpToSyncAnchor("A2", true);
    QCOMPARE(calls.changesSince, FileProviderSyncAnchor("A2"));
    QCOMPARE(second.count, 0);
    calls.changes->didUpdateItems({photo("c", "c.jpg")});
    calls.changes->finishEnumeratingChangesUpToSyncAnchor("A3", false);
    QCOMPARE(second.count, 1);
    QCOMPARE(names(), QStringList({"b.jpg", "c.jpg"}));
    QCOMPARE(m_replica->anchor("p"), FileProviderSyncAnchor("A3"));
}

void TestContainerRefresher::expiredAnchorListsEverythingAgain()
{
    ContainerRefresher refresher(m_ext, *m_replica, *m_deadlines, std::chrono::seconds(30));
    m_replica->applyListing("p", {photo("a", "a.jpg")}, FileProviderSyncAnchor("old"));
    HandEnumerator::Calls& calls = *m_ext->calls;
    Ended ended;
    refresher.refresh("p", recordInto(ended));
    // What came before the failure is not applied: the listing replaces it.
    calls.changes->didUpdateItems({photo("x", "x.jpg")});
    calls.changes->finishEnumeratingWithError(
        Error{ErrorDomain::FileProvider, FileProviderHostErrorCode::syncAnchorExpired, "expired"});
    QCOMPARE(ended.count, 0);
    calls.anchor(FileProviderSyncAnchor("new"));
    calls.listing->didEnumerateItems({photo("b", "b.jpg")});
    calls.listing->finishEnumeratingUpToPage(std::nullopt);
    QCOMPARE(ended.count, 1);
    QCOMPARE(names(), QStringList({"b.jpg"}));
    QCOMPARE(m_replica->anchor("p"), FileProviderSyncAnchor("new"));

    // Any other failure ends the refresh with it, and the replica keeps what it had.
    Ended failed;
    refresher.refresh("p", recordInto(failed));
    calls.changes->finishEnumeratingWithError(fileError(EHOSTUNREACH, "offline"));
    QCOMPARE(failed.count, 1);
    QCOMPARE(errnoForError(failed.result->error()), EHOSTUNREACH);
    QCOMPARE(names(), QStringList({"b.jpg"}));
}

void TestContainerRefresher::refreshThatNeverEndsIsAnsweredOnceAtItsDeadline()
{
    ContainerRefresher refresher(m_ext, *m_replica, *m_deadlines, std::chrono::milliseconds(50));
    HandEnumerator::Calls& calls = *m_ext->calls;
    std::atomic<int> count = 0;
    std::optional<Result<void>> result;
    refresher.refresh("p", [&](Result<void> r, ReplicaDelta) {
        result = std::move(r);
        ++count;
    });
    QTRY_COMPARE_WITH_TIMEOUT(count.load(), 1, 5000);
    QCOMPARE(errnoForError(result->error()), ETIMEDOUT);
    // The extension answering late changes nothing and answers nobody twice.
    calls.anchor(FileProviderSyncAnchor("late"));
    QVERIFY(!calls.listing);
    QTest::qWait(100);
    QCOMPARE(count.load(), 1);
    QVERIFY(!m_replica->anchor("p"));
}

void TestContainerRefresher::answersAfterStopLeaveTheReplicaAlone()
{
    ContainerRefresher refresher(m_ext, *m_replica, *m_deadlines, std::chrono::seconds(30));
    HandEnumerator::Calls& calls = *m_ext->calls;
    Ended ended;
    refresher.refresh("p", recordInto(ended));
    calls.anchor(FileProviderSyncAnchor("A1"));
    calls.listing->didEnumerateItems({photo("a", "a.jpg")});
    refresher.stop();
    // The host may be gone by now: nothing reaches the replica or the completion.
    calls.listing->finishEnumeratingUpToPage(std::nullopt);
    QCOMPARE(ended.count, 0);
    QVERIFY(names().isEmpty());
    QVERIFY(!m_replica->anchor("p"));
}

QTEST_GUILESS_MAIN(TestContainerRefresher)
#include "TestContainerRefresher.moc"
