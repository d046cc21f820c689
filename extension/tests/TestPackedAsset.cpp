// The library mirror keeps every asset packed; what comes out must be exactly what the server
// sent, or names, dates and versions shown in the folders change on their own.
#include "PackedAsset.h"

#include <QTest>

#include <limits>

using namespace pixavella;

Q_DECLARE_METATYPE(pixavella::ImmichAsset)

namespace {

ImmichAsset photo()
{
    ImmichAsset a;
    a.id = QStringLiteral("a1");
    a.type = QStringLiteral("IMAGE");
    a.originalFileName = QStringLiteral("IMG_0001.JPG");
    a.fileCreatedAt = QStringLiteral("2023-07-14T10:00:00.000Z");
    a.fileModifiedAt = QStringLiteral("2023-07-14T10:00:05.123Z");
    a.checksum = QStringLiteral("2jmj7l5rSw0yVb/vlWAYkK/YBwk=");
    a.isTrashed = false;
    a.exifInfo = ExifInfo{qint64(5'242'880), QStringLiteral("2023-07-14T09:59:58.000Z")};
    a.createdAt = QStringLiteral("2024-01-02T03:04:05.006Z");
    return a;
}

void compareAssets(const ImmichAsset& got, const ImmichAsset& want)
{
    QCOMPARE(got.id, want.id);
    QCOMPARE(got.type, want.type);
    QCOMPARE(got.originalFileName, want.originalFileName);
    QCOMPARE(got.fileCreatedAt, want.fileCreatedAt);
    QCOMPARE(got.fileModifiedAt, want.fileModifiedAt);
    QCOMPARE(got.checksum, want.checksum);
    QCOMPARE(got.isTrashed, want.isTrashed);
    QCOMPARE(got.exifInfo.has_value(), want.exifInfo.has_value());
    if (want.exifInfo) {
        QCOMPARE(got.exifInfo->fileSizeInByte, want.exifInfo->fileSizeInByte);
        QCOMPARE(got.exifInfo->dateTimeOriginal, want.exifInfo->dateTimeOriginal);
    }
    QCOMPARE(got.createdAt, want.createdAt);
}

} // namespace

class TestPackedAsset : public QObject {
    Q_OBJECT

private slots:
    void unpacksWhatWasPacked_data()
    {
        QTest::addColumn<ImmichAsset>("asset");
        QTest::addColumn<std::optional<int>>("month");

        QTest::newRow("photo in the server's usual form") << photo() << std::optional(24282);
        ImmichAsset bare = photo();
        bare.fileModifiedAt.reset();
        bare.checksum.reset();
        bare.isTrashed.reset();
        bare.exifInfo.reset();
        bare.createdAt.reset();
        QTest::newRow("only what is required") << bare << std::optional<int>();
        ImmichAsset trashed = photo();
        trashed.isTrashed = true;
        trashed.exifInfo = ExifInfo{};
        QTest::newRow("trashed, empty EXIF") << trashed << std::optional(-13);
        ImmichAsset other = photo();
        other.fileCreatedAt = QStringLiteral("2023-07-14T12:00:00+02:00");
        other.fileModifiedAt = QStringLiteral("2023-07-14T10:00:00Z");
        other.exifInfo->dateTimeOriginal = QStringLiteral("2023-07-14T10:00:00.000z");
        other.createdAt = QStringLiteral("0000-00-00T00:00:00.000Z");
        QTest::newRow("dates in other forms, zeros kept") << other << std::optional(0);
        ImmichAsset wide = photo();
        wide.fileCreatedAt = QStringLiteral("9999-99-99T99:99:99.999Z");
        wide.originalFileName = QStringLiteral("Été à Noël 🎄.heic");
        wide.exifInfo->fileSizeInByte = std::numeric_limits<qint64>::min();
        QTest::newRow("largest digits, accents and emoji") << wide << std::optional(1 << 30);
        ImmichAsset odd = photo();
        odd.originalFileName = QString::fromUtf16(u"a\xd800" u"b");
        odd.type = QString();
        odd.checksum = QString();
        odd.createdAt = QString(200, QChar(u'x'));
        QTest::newRow("lone surrogate, empty and long text")
            << odd << std::optional<int>();
    }

    void unpacksWhatWasPacked()
    {
        QFETCH(ImmichAsset, asset);
        QFETCH(std::optional<int>, month);
        const PackedAsset packed(asset, month);
        compareAssets(packed.unpack(asset.id), asset);
        QCOMPARE(packed.month(), month);
    }

    void packsSmall()
    {
        // The point of packing: well under the 600-odd bytes the same record takes as strings.
        QVERIFY2(PackedAsset(photo(), 24282).byteSize() < 120,
                 qPrintable(QString::number(PackedAsset(photo(), 24282).byteSize())));
    }
};

QTEST_GUILESS_MAIN(TestPackedAsset)
#include "TestPackedAsset.moc"
