#include "FileProviderItem.h"

#include "StoreFiles.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

using namespace pixavella;

Q_DECLARE_METATYPE(FPNode)

namespace {

ImmichAsset heicAsset()
{
    ImmichAsset a;
    a.id = QStringLiteral("A1");
    a.type = QStringLiteral("IMAGE");
    a.originalFileName = QStringLiteral("IMG_1.HEIC");
    a.fileCreatedAt = QStringLiteral("2024-03-10T10:00:00.000Z");
    a.fileModifiedAt = QStringLiteral("2024-03-11T10:00:00.000Z");
    a.checksum = QStringLiteral("abc");
    a.exifInfo = ExifInfo{123456, QStringLiteral("2024-03-09T08:00:00Z")};
    return a;
}

// A name store loaded from a names cache that holds `names`.
std::unique_ptr<AssetNameStore> storeWithNames(const QJsonObject& names)
{
    const auto path = StoreFiles::containerFile(QStringLiteral("names-cache.json"));
    if (!path || !StoreFiles::writeAtomically(*path, QJsonDocument(names).toJson()))
        qFatal("cannot write the names cache");
    return std::make_unique<AssetNameStore>();
}

} // namespace

class TestFileProviderItem : public QObject {
    Q_OBJECT
private slots:
    void init();
    void assetTokensFollowRenameInNameStore();
    void assetTokensWithoutChecksum();
    void assetTypeWithoutExtension_data();
    void assetTypeWithoutExtension();
    void assetWithoutExifHasNoSize();
    void monthFolderItem();
    void derivedFolderCapabilities_data();
    void derivedFolderCapabilities();
    void sharedAlbumCapabilitiesByRole();
    void pendingItemTracksAttemptsAndPayload();
};

void TestFileProviderItem::init()
{
    AssetNameStore::removeCacheFile();
}

void TestFileProviderItem::assetTokensFollowRenameInNameStore()
{
    const ImmichAsset asset = heicAsset();
    const auto before = storeWithNames({});
    const auto item =
        FileProviderItem::asset(asset, "asset:A1", "month:2024-03", ItemCaps::full, *before);
    QCOMPARE(item->contentToken(), QStringLiteral("abc"));
    QCOMPARE(item->versionToken(), QStringLiteral("abc|IMG_1.HEIC"));
    QCOMPARE(item->filename(), QStringLiteral("IMG_1.HEIC"));
    QCOMPARE(item->contentType().mimeName(), QStringLiteral("image/heif"));
    QCOMPARE(item->itemVersion(), (FileProviderItemVersion{"abc", "abc|IMG_1.HEIC"}));

    const auto after = storeWithNames({{QStringLiteral("A1"), QStringLiteral("Plage")}});
    const auto renamed =
        FileProviderItem::asset(asset, "asset:A1", "month:2024-03", ItemCaps::full, *after);
    QCOMPARE(renamed->filename(), QStringLiteral("Plage"));
    QCOMPARE(renamed->itemVersion().contentVersion, item->itemVersion().contentVersion);
    QCOMPARE(renamed->itemVersion().metadataVersion, QByteArray("abc|Plage"));
    QCOMPARE(renamed->contentType(), item->contentType());

    ImmichAsset newContent = asset;
    newContent.checksum = QStringLiteral("def");
    const auto changed =
        FileProviderItem::asset(newContent, "asset:A1", "month:2024-03", ItemCaps::full, *after);
    QCOMPARE(changed->itemVersion(), (FileProviderItemVersion{"def", "def|Plage"}));
}

void TestFileProviderItem::assetTokensWithoutChecksum()
{
    const auto names = storeWithNames({});
    ImmichAsset asset = heicAsset();
    asset.checksum.reset();
    QCOMPARE(FileProviderItem::asset(asset, "asset:A1", "photos", ItemCaps::full, *names)
                 ->contentToken(),
             *asset.fileModifiedAt);
    asset.fileModifiedAt.reset();
    const auto item = FileProviderItem::asset(asset, "asset:A1", "photos", ItemCaps::full, *names);
    QCOMPARE(item->contentToken(), asset.fileCreatedAt);
    QVERIFY(item->versionToken().startsWith(asset.fileCreatedAt + u'|'));
}

void TestFileProviderItem::assetTypeWithoutExtension_data()
{
    QTest::addColumn<QString>("originalFileName");
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("mime");
    QTest::newRow("video") << "clip"
                           << "VIDEO"
                           << "video/*";
    QTest::newRow("image") << "photo"
                           << "IMAGE"
                           << "image/*";
    QTest::newRow("unknown type") << "thing"
                                  << "AUDIO"
                                  << "image/*";
    QTest::newRow("unknown extension, video") << "clip.zzqx"
                                              << "VIDEO"
                                              << "video/*";
    QTest::newRow("extension wins") << "clip.jpg"
                                    << "VIDEO"
                                    << "image/jpeg";
}

void TestFileProviderItem::assetTypeWithoutExtension()
{
    QFETCH(QString, originalFileName);
    QFETCH(QString, type);
    const auto names = storeWithNames({});
    ImmichAsset asset = heicAsset();
    asset.originalFileName = originalFileName;
    asset.type = type;
    const auto item = FileProviderItem::asset(asset, "asset:A1", "photos", ItemCaps::full, *names);
    QTEST(item->contentType().mimeName(), "mime");
}

void TestFileProviderItem::assetWithoutExifHasNoSize()
{
    const auto names = storeWithNames({});
    ImmichAsset asset = heicAsset();
    asset.exifInfo.reset();
    const auto item =
        FileProviderItem::asset(asset, "ai:L1:A1", "album:L1", ItemCaps::full, *names);
    QCOMPARE(item->documentSize(), std::nullopt);
    QCOMPARE(item->creationDate(),
             std::optional(QDateTime(QDate(2024, 3, 10), QTime(10, 0), Qt::UTC)));
    QCOMPARE(item->capabilities(), 63u);
    QVERIFY(!item->isFolder());
}

void TestFileProviderItem::monthFolderItem()
{
    const auto item = FileProviderItem::standardFolder(FPNode::month("2024", "03"));
    QVERIFY(item);
    QCOMPARE(item->itemIdentifier(), QStringLiteral("month:2024-03"));
    QCOMPARE(item->parentItemIdentifier(), QStringLiteral("year:2024"));
    QCOMPARE(item->filename(), QStringLiteral("Mars"));
    QVERIFY(item->isFolder());
    QVERIFY(item->contentType().conformsTo(ContentKind::folder));
    const QDateTime first(QDate(2024, 3, 1), QTime(0, 0), Qt::UTC);
    QCOMPARE(item->creationDate(), std::optional(first));
    QCOMPARE(item->contentModificationDate(), std::optional(first));
    QCOMPARE(item->versionToken(), QStringLiteral("folder:month:2024-03:Mars:c3"));
    QCOMPARE(item->contentToken(), item->versionToken());

    const auto odd = FileProviderItem::standardFolder(FPNode::month("2024", "x"));
    QCOMPARE(odd->filename(), QStringLiteral("x"));
    QCOMPARE(odd->creationDate(), std::nullopt);
}

void TestFileProviderItem::derivedFolderCapabilities_data()
{
    QTest::addColumn<FPNode>("node");
    QTest::addColumn<QString>("name");
    QTest::addColumn<unsigned>("caps");
    QTest::newRow("root") << FPNode::root() << "Pixavella" << 3u;
    QTest::newRow("photos") << FPNode::photos() << "Mes photos" << 3u;
    QTest::newRow("albums") << FPNode::albums() << "Mes albums" << 3u;
    QTest::newRow("shared") << FPNode::shared() << "Mes albums partagés" << 1u;
    QTest::newRow("failed") << FPNode::failed() << "Envois échoués" << 3u;
    QTest::newRow("year") << FPNode::year("2024") << "2024" << 3u;
    QTest::newRow("month") << FPNode::month("2024", "12") << "Décembre" << 3u;
    QTest::newRow("album") << FPNode::album("L1") << "Vacances" << 59u;
    QTest::newRow("shared album") << FPNode::sharedAlbum("S1") << "Famille" << 1u;
}

void TestFileProviderItem::derivedFolderCapabilities()
{
    QFETCH(FPNode, node);
    QFETCH(QString, name);
    QFETCH(unsigned, caps);

    const auto parent = node.parent().value_or(FPNode::root());
    const auto item = FileProviderItem::folder(node, name, parent, 0, true);
    QCOMPARE(item->capabilities(), caps);
    QCOMPARE(
        item->versionToken(),
        QStringLiteral("folder:%1:%2:c%3").arg(node.identifier(), name, QString::number(caps)));
    if (const auto standard = FileProviderItem::standardFolder(node)) {
        QCOMPARE(standard->filename(), name);
        QCOMPARE(standard->capabilities(), caps);
        QCOMPARE(standard->parentItemIdentifier(), parent.identifier());
    }
    // A given value is kept when derivation is not asked for, and changes the versions.
    const auto given =
        FileProviderItem::folder(node, name, parent, ItemCaps::addToAndRename, false);
    QCOMPARE(given->capabilities(), 11u);
    QVERIFY(given->itemVersion() != item->itemVersion() || caps == 11u);
}

void TestFileProviderItem::sharedAlbumCapabilitiesByRole()
{
    QCOMPARE(ItemCaps::sharedAlbumListed(AlbumAccess::owner), 11u);
    QCOMPARE(ItemCaps::sharedAlbumListed(AlbumAccess::editor), 11u);
    QCOMPARE(ItemCaps::sharedAlbumListed(AlbumAccess::viewer), 1u);
    QCOMPARE(ItemCaps::sharedAlbumLookedUp(AlbumAccess::editor), 3u);
    QCOMPARE(ItemCaps::sharedAlbumLookedUp(AlbumAccess::viewer), 1u);
    QCOMPARE(ItemCaps::sharedAlbumPhoto(AlbumAccess::owner), 51u);
    QCOMPARE(ItemCaps::sharedAlbumPhoto(AlbumAccess::viewer), 1u);
}

void TestFileProviderItem::pendingItemTracksAttemptsAndPayload()
{
    QTemporaryDir source;
    const QString file = source.filePath(QStringLiteral("IMG_2.JPG"));
    QFile f(file);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(1000, 'x'));
    f.close();

    UploadQuarantine quarantine;
    const QDateTime captured(QDate(2024, 3, 2), QTime(9, 0), Qt::UTC);
    auto entry = quarantine.enqueue(file, QStringLiteral("IMG_2.JPG"), captured,
                                    UploadQuarantine::Target::library(), std::nullopt);
    QVERIFY(entry);
    UploadQuarantine::Entry e = entry.value();
    const QString parent = pendingParent(e).identifier();
    QCOMPARE(parent, QStringLiteral("month:2024-03"));

    e.attempts = 3;
    const auto third = FileProviderItem::pending(e, parent, quarantine);
    QCOMPARE(third->itemIdentifier(), QStringLiteral("pending:") + e.id);
    QCOMPARE(third->contentToken(), QStringLiteral("pending:") + e.id);
    QCOMPARE(third->versionToken(), QStringLiteral("pending:") + e.id + QStringLiteral(":a3"));
    QCOMPARE(third->documentSize(), std::optional<qint64>(1000));
    QCOMPARE(third->creationDate(), std::optional(captured));
    QCOMPARE(third->capabilities(), 51u);
    QCOMPARE(third->contentType().mimeName(), QStringLiteral("image/jpeg"));

    e.attempts = 4;
    const auto fourth = FileProviderItem::pending(e, parent, quarantine);
    QVERIFY(fourth->versionToken().endsWith(QStringLiteral(":a4")));
    QCOMPARE(fourth->contentToken(), third->contentToken());

    QVERIFY(QFile::remove(*quarantine.payloadURL(e.id)));
    const auto gone = FileProviderItem::pending(e, parent, quarantine);
    QCOMPARE(gone->documentSize(), std::nullopt);
    QCOMPARE(gone->versionToken(), fourth->versionToken());
}

QTEST_GUILESS_MAIN(TestFileProviderItem)
#include "TestFileProviderItem.moc"
