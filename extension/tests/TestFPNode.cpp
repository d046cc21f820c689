#include "FPNode.h"

#include <QTest>

using namespace pixavella;

Q_DECLARE_METATYPE(FPNode::Kind)
Q_DECLARE_METATYPE(FPNode)
Q_DECLARE_METATYPE(UploadQuarantine::Target)
Q_DECLARE_METATYPE(std::optional<QDateTime>)

namespace {

UploadQuarantine::Entry entry(qint64 attempts, UploadQuarantine::Target target,
                              std::optional<QDateTime> capturedAt)
{
    UploadQuarantine::Entry e;
    e.id = QStringLiteral("E1");
    e.filename = QStringLiteral("IMG_1.HEIC");
    e.attempts = attempts;
    e.target = target;
    e.capturedAt = capturedAt;
    return e;
}

ImmichAsset assetCreatedAt(const QString& fileCreatedAt)
{
    ImmichAsset a;
    a.id = QStringLiteral("A1");
    a.fileCreatedAt = fileCreatedAt;
    return a;
}

} // namespace

class TestFPNode : public QObject {
    Q_OBJECT
private slots:
    void parsesAcceptedForms_data();
    void parsesAcceptedForms();
    void rejectsUnknownForms_data();
    void rejectsUnknownForms();
    void producedIdentifiersRoundTrip_data();
    void producedIdentifiersRoundTrip();
    void parentsOfNodes_data();
    void parentsOfNodes();
    void assetParents_data();
    void assetParents();
    void pendingParents_data();
    void pendingParents();
};

void TestFPNode::parsesAcceptedForms_data()
{
    QTest::addColumn<QString>("identifier");
    QTest::addColumn<FPNode::Kind>("kind");
    QTest::addColumn<QString>("first");  // year, album id or entry id
    QTest::addColumn<QString>("second"); // month or asset id

    using K = FPNode::Kind;
    QTest::newRow("root") << FileProviderContainer::root << K::root << ""
                          << "";
    QTest::newRow("photos") << "photos" << K::photos << ""
                            << "";
    QTest::newRow("albums") << "albums" << K::albums << ""
                            << "";
    QTest::newRow("shared") << "shared" << K::shared << ""
                            << "";
    QTest::newRow("failed") << "failed" << K::failed << ""
                            << "";
    QTest::newRow("year") << "year:2024" << K::year << "2024"
                          << "";
    QTest::newRow("empty year") << "year:" << K::year << ""
                                << "";
    QTest::newRow("month") << "month:2024-03" << K::month << "2024"
                           << "03";
    QTest::newRow("month, doubled dash") << "month:2024--03" << K::month << "2024"
                                         << "03";
    QTest::newRow("asset") << "asset:A1" << K::asset << ""
                           << "A1";
    QTest::newRow("empty asset") << "asset:" << K::asset << ""
                                 << "";
    QTest::newRow("album") << "album:L1" << K::album << "L1"
                           << "";
    QTest::newRow("album item") << "ai:L1:A1" << K::albumItem << "L1"
                                << "A1";
    QTest::newRow("shared album") << "salbum:S1" << K::sharedAlbum << "S1"
                                  << "";
    QTest::newRow("shared item") << "si:S1:A1" << K::sharedItem << "S1"
                                 << "A1";
    QTest::newRow("pending") << "pending:E1" << K::pending << "E1"
                             << "";
    QTest::newRow("pending, colon in id") << "pending:a:b" << K::pending << "a:b"
                                          << "";
}

void TestFPNode::parsesAcceptedForms()
{
    QFETCH(QString, identifier);
    QFETCH(FPNode::Kind, kind);
    QFETCH(QString, first);
    QFETCH(QString, second);

    const auto node = FPNode::parse(identifier);
    QVERIFY(node);
    QCOMPARE(node->kind(), kind);
    switch (kind) {
    case FPNode::Kind::year:
    case FPNode::Kind::month:
        QCOMPARE(node->year(), first);
        QCOMPARE(node->month(), second);
        break;
    case FPNode::Kind::asset:
    case FPNode::Kind::albumItem:
    case FPNode::Kind::sharedItem:
        QCOMPARE(node->albumId(), first);
        QCOMPARE(node->assetId(), std::optional(second));
        break;
    case FPNode::Kind::album:
    case FPNode::Kind::sharedAlbum:
        QCOMPARE(node->albumId(), first);
        QCOMPARE(node->assetId(), std::nullopt);
        break;
    case FPNode::Kind::pending:
        QCOMPARE(node->entryId(), first);
        break;
    default:
        break;
    }
}

void TestFPNode::rejectsUnknownForms_data()
{
    QTest::addColumn<QString>("identifier");
    QTest::newRow("capitalised") << "Photos";
    QTest::newRow("trailing space") << "photos ";
    QTest::newRow("empty") << "";
    QTest::newRow("trash") << FileProviderContainer::trash;
    QTest::newRow("working set") << FileProviderContainer::workingSet;
    QTest::newRow("month with day") << "month:2024-03-01";
    QTest::newRow("month without month") << "month:2024";
    QTest::newRow("month without year") << "month:-03";
    QTest::newRow("album item, three pieces") << "ai:L1:A1:X";
    QTest::newRow("album item, empty album") << "ai::A1";
    QTest::newRow("shared item, three pieces") << "si:S1:A1:X";
    QTest::newRow("shared item, empty album") << "si::A1";
    QTest::newRow("unknown prefix") << "thing:1";
}

void TestFPNode::rejectsUnknownForms()
{
    QFETCH(QString, identifier);
    QCOMPARE(FPNode::parse(identifier), std::nullopt);
}

void TestFPNode::producedIdentifiersRoundTrip_data()
{
    QTest::addColumn<FPNode>("node");
    const QString uuid = QStringLiteral("9f3c1f0e-6a55-4d43-9a4e-2b1f5f7f0c11");
    QTest::newRow("root") << FPNode::root();
    QTest::newRow("photos") << FPNode::photos();
    QTest::newRow("albums") << FPNode::albums();
    QTest::newRow("shared") << FPNode::shared();
    QTest::newRow("failed") << FPNode::failed();
    QTest::newRow("year") << FPNode::year(QStringLiteral("2024"));
    QTest::newRow("month") << FPNode::month(QStringLiteral("2024"), QStringLiteral("03"));
    QTest::newRow("year before 1000") << FPNode::year(QStringLiteral("999"));
    QTest::newRow("month before 1000")
        << FPNode::month(QStringLiteral("999"), QStringLiteral("12"));
    QTest::newRow("asset") << FPNode::asset(uuid);
    QTest::newRow("album") << FPNode::album(uuid);
    QTest::newRow("album item") << FPNode::albumItem(uuid, uuid);
    QTest::newRow("shared album") << FPNode::sharedAlbum(uuid);
    QTest::newRow("shared item") << FPNode::sharedItem(uuid, uuid);
    QTest::newRow("pending") << FPNode::pending(
        QStringLiteral("0C6F3F0A-1B2C-4D5E-8F90-A1B2C3D4E5F6"));
}

void TestFPNode::producedIdentifiersRoundTrip()
{
    QFETCH(FPNode, node);
    const QString identifier = node.identifier();
    const auto parsed = FPNode::parse(identifier);
    QVERIFY(parsed);
    QCOMPARE(*parsed, node);
    QCOMPARE(parsed->identifier(), identifier);
}

void TestFPNode::parentsOfNodes_data()
{
    QTest::addColumn<FPNode>("node");
    QTest::addColumn<QString>("parent");
    QTest::newRow("root") << FPNode::root() << FileProviderContainer::root;
    QTest::newRow("photos") << FPNode::photos() << FileProviderContainer::root;
    QTest::newRow("albums") << FPNode::albums() << FileProviderContainer::root;
    QTest::newRow("shared") << FPNode::shared() << FileProviderContainer::root;
    QTest::newRow("failed") << FPNode::failed() << "photos";
    QTest::newRow("year") << FPNode::year("2024") << "photos";
    QTest::newRow("month") << FPNode::month("2024", "03") << "year:2024";
    QTest::newRow("album") << FPNode::album("L1") << "albums";
    QTest::newRow("album item") << FPNode::albumItem("L1", "A1") << "album:L1";
    QTest::newRow("shared album") << FPNode::sharedAlbum("S1") << "shared";
    QTest::newRow("shared item") << FPNode::sharedItem("S1", "A1") << "salbum:S1";
}

void TestFPNode::parentsOfNodes()
{
    QFETCH(FPNode, node);
    QFETCH(QString, parent);
    QVERIFY(node.parent());
    QCOMPARE(node.parent()->identifier(), parent);
}

void TestFPNode::assetParents_data()
{
    QTest::addColumn<QString>("requested");
    QTest::addColumn<QString>("fileCreatedAt");
    QTest::addColumn<QString>("parent");
    QTest::newRow("library asset") << "asset:A1"
                                   << "2024-03-10T10:00:00Z"
                                   << "month:2024-03";
    QTest::newRow("library asset without date") << "asset:A1"
                                                << "yesterday"
                                                << "photos";
    QTest::newRow("album item") << "ai:L1:A1"
                                << "2024-03-10T10:00:00Z"
                                << "album:L1";
    QTest::newRow("shared item") << "si:S1:A1"
                                 << "yesterday"
                                 << "salbum:S1";
    QTest::newRow("other node") << "album:L1"
                                << "2024-03-10T10:00:00Z"
                                << "photos";
    QTest::newRow("unknown identifier") << "nonsense"
                                        << "2024-03-10T10:00:00Z"
                                        << "photos";
}

void TestFPNode::assetParents()
{
    QFETCH(QString, requested);
    QFETCH(QString, fileCreatedAt);
    QTEST(assetParentIdentifier(requested, assetCreatedAt(fileCreatedAt)), "parent");
}

void TestFPNode::pendingParents_data()
{
    using Target = UploadQuarantine::Target;
    QTest::addColumn<qint64>("attempts");
    QTest::addColumn<Target>("target");
    QTest::addColumn<std::optional<QDateTime>>("capturedAt");
    QTest::addColumn<QString>("parent");

    const std::optional<QDateTime> march(QDateTime(QDate(2024, 3, 15), QTime(12, 0), Qt::UTC));
    const std::optional<QDateTime> none;
    QTest::newRow("library, 4 attempts")
        << qint64(4) << Target::library() << march << "month:2024-03";
    QTest::newRow("library, no date") << qint64(0) << Target::library() << none << "photos";
    QTest::newRow("library, 5 attempts") << qint64(5) << Target::library() << march << "failed";
    QTest::newRow("album") << qint64(0) << Target::album("L1") << march << "album:L1";
    QTest::newRow("album, 7 attempts") << qint64(7) << Target::album("L1") << march << "failed";
    QTest::newRow("shared album") << qint64(4) << Target::sharedAlbum("S1") << none << "salbum:S1";
}

void TestFPNode::pendingParents()
{
    QFETCH(qint64, attempts);
    QFETCH(UploadQuarantine::Target, target);
    QFETCH(std::optional<QDateTime>, capturedAt);
    QTEST(pendingParent(entry(attempts, target, capturedAt)).identifier(), "parent");
}

QTEST_GUILESS_MAIN(TestFPNode)
#include "TestFPNode.moc"
