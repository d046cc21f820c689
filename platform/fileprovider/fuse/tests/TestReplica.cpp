#include "Replica.h"

#include "MemoryExtension.h"

#include <QTest>

using namespace pixavella;

namespace {

FileProviderItemRef fileItem(const QString& id, const QString& parent, const QString& name,
                             qint64 size = 1)
{
    return FileProviderItemSnapshot::make(MemoryExtension::file(id, parent, name, size));
}

FileProviderItemRef rankedItem(const QString& id, const QString& name, const QString& rank)
{
    FileProviderItemProperties p =
        MemoryExtension::file(id, QString(FileProviderContainer::root), name, 1);
    p.nameRank = QDateTime::fromString(rank, Qt::ISODate).toMSecsSinceEpoch();
    return FileProviderItemSnapshot::make(p);
}

FileProviderItemRef folderItem(const QString& id, const QString& parent, const QString& name)
{
    return FileProviderItemSnapshot::make(MemoryExtension::folder(id, parent, name));
}

const QString root = FileProviderContainer::root;

} // namespace

class TestReplica : public QObject {
    Q_OBJECT
private slots:
    void inodesStayWithTheirIdentifier();
    void nodeHeldByTheKernelOutlivesItsDeletion();
    void deletionFromAFormerFolderIsIgnored();
    void renameTellsWhichNamesToForget();
    void placedItemIsNoticedOnlyWhenTheKernelHoldsIt();
    void deletedFolderTakesItsListingAlong();
    void shownNamesStayWithTheirItems();
};

void TestReplica::inodesStayWithTheirIdentifier()
{
    Replica r;
    r.applyListing(root, {folderItem("p", root, "Photos")}, "1");
    r.applyListing("p", {fileItem("a", "p", "a.jpg"), fileItem("b", "p", "b.jpg")}, "1");
    const InodeNumber a = r.child(r.entry("p")->ino, "a.jpg", false)->ino;
    // Gone from a listing, then back: the same inode.
    r.applyListing("p", {fileItem("b", "p", "b.jpg")}, "2");
    QVERIFY(!r.entry(a));
    r.applyListing("p", {fileItem("b", "p", "b.jpg"), fileItem("a", "p", "a.jpg")}, "3");
    QCOMPARE(r.entry("a")->ino, a);
    QVERIFY(r.entry("b")->ino != a);
    QCOMPARE(*r.path(a), QByteArray("Photos/a.jpg"));
}

void TestReplica::nodeHeldByTheKernelOutlivesItsDeletion()
{
    Replica r;
    r.applyListing(root, {fileItem("a", root, "a.jpg", 7)}, "1");
    const std::optional<ReplicaEntry> held = r.child(kRootInode, "a.jpg", true);
    QVERIFY(held);
    r.applyChanges(root, {}, {"a"}, "2");
    QVERIFY(!r.child(kRootInode, "a.jpg", false));      // no longer listed
    QCOMPARE(r.entry(held->ino)->item.documentSize, 7); // still answers getattr
    r.forget(held->ino, 1);
    QVERIFY(!r.entry(held->ino));
}

void TestReplica::deletionFromAFormerFolderIsIgnored()
{
    Replica r;
    r.applyListing(root, {folderItem("m1", root, "Mars"), folderItem("m2", root, "Avril")}, "1");
    r.applyListing("m1", {fileItem("a", "m1", "a.jpg")}, "1");
    r.applyListing("m2", {}, "1");
    // The photo moved from March to April: April reports it first, March deletes it later.
    r.applyChanges("m2", {fileItem("a", "m2", "a.jpg")}, {}, "2");
    r.applyChanges("m1", {}, {"a"}, "2");
    QVERIFY(r.child(r.entry("m2")->ino, "a.jpg", false));
    QVERIFY(!r.child(r.entry("m1")->ino, "a.jpg", false));
}

void TestReplica::renameTellsWhichNamesToForget()
{
    Replica r;
    r.applyListing(root, {fileItem("a", root, "x.jpg"), fileItem("b", root, "y.jpg")}, "1");
    const InodeNumber b = r.entry("b")->ino;
    // b takes a's name: a's old name now means another file, b's old name nothing.
    const ReplicaDelta delta = r.applyChanges(
        root, {fileItem("a", root, "z.jpg"), fileItem("b", root, "x.jpg", 2)}, {}, "2");
    QVERIFY(delta.entries.contains(qMakePair(kRootInode, QByteArray("x.jpg"))));
    QVERIFY(delta.entries.contains(qMakePair(kRootInode, QByteArray("y.jpg"))));
    QVERIFY(delta.inodes.contains(b)); // size changed
    QCOMPARE(r.child(kRootInode, "x.jpg", false)->ino, b);
}

// A created item the kernel never looked up has no attributes cached to drop.
void TestReplica::placedItemIsNoticedOnlyWhenTheKernelHoldsIt()
{
    Replica r;
    r.applyListing(root, {fileItem("a", root, "a.jpg")}, "1");
    // Filed in a folder not listed: nothing the kernel holds changed.
    QCOMPARE(r.placeItem(fileItem("new", "month", "new.jpg")).inodes, QList<InodeNumber>{});
    const InodeNumber held = r.child(kRootInode, "a.jpg", true)->ino;
    QVERIFY(r.placeItem(fileItem("a", root, "a.jpg", 2)).inodes.contains(held));
}

void TestReplica::deletedFolderTakesItsListingAlong()
{
    Replica r;
    r.applyListing(root, {folderItem("f", root, "F")}, "1");
    r.applyListing("f", {fileItem("a", "f", "a.jpg")}, "1");
    const ReplicaDelta delta = r.applyListing(root, {}, "2");
    QCOMPARE(delta.droppedContainers, QList<FileProviderItemIdentifier>{"f"});
    QVERIFY(!r.anchor("f"));
    QVERIFY(!r.entry("a"));
}

void TestReplica::shownNamesStayWithTheirItems()
{
    // Identifiers are random: the older item must keep the plain name whichever sorts first.
    Replica r;
    r.applyListing(root, {rankedItem("b", "x.jpg", "2024-01-02"), rankedItem("a", "x.jpg", "2024-05-01")},
                   "1");
    QCOMPARE(r.entry("b")->diskName, QByteArray("x.jpg"));
    QCOMPARE(r.entry("a")->diskName, QByteArray("x 2.jpg"));

    // A newcomer that ranks first still does not take a name already shown.
    r.applyChanges(root, {rankedItem("0", "x.jpg", "2023-01-01")}, {}, "2");
    QCOMPARE(r.entry("b")->diskName, QByteArray("x.jpg"));
    QCOMPARE(r.entry("a")->diskName, QByteArray("x 2.jpg"));
    QCOMPARE(r.entry("0")->diskName, QByteArray("x 3.jpg"));

    // When the holder leaves, the names are dealt again by rank.
    r.applyChanges(root, {}, {"b"}, "3");
    r.applyChanges(root, {rankedItem("a", "y.jpg", "2024-05-01")}, {}, "4");
    r.applyChanges(root, {rankedItem("a", "x.jpg", "2024-05-01")}, {}, "5");
    QCOMPARE(r.entry("0")->diskName, QByteArray("x 3.jpg"));
    QCOMPARE(r.entry("a")->diskName, QByteArray("x.jpg"));
}

QTEST_GUILESS_MAIN(TestReplica)
#include "TestReplica.moc"
