// The drive's model without a server: the identifier grammar, the month a photo is filed
// under, and the versions that tell the framework what changed.
#include "FPNode.h"
#include "FileProviderItem.h"
#include "HttpSession.h"
#include "LibraryCalendar.h"
#include "NamesServiceHealth.h"
#include "PhotoFolders.h"
#include "RenameQueue.h"
#include "SettingsSuite.h"
#include "StoreFiles.h"
#include "UserNoticeQueue.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <ctime>

using namespace pixavella;

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

// What a name store is handed. The items only read the cache: the service is never asked.
struct NameStoreParts {
    RenameQueue queue;
    NamesServiceHealth health{SettingsSuite::shared()};
    UserNoticeQueue notices{SettingsSuite::shared()};
};

// A name store loaded from a names cache that holds `names`.
std::unique_ptr<AssetNameStore> storeWithNames(const QJsonObject& names)
{
    const auto path = StoreFiles::containerFile(QStringLiteral("names-cache.json"));
    if (!path || !StoreFiles::writeAtomically(*path, QJsonDocument(names).toJson()))
        qFatal("cannot write the names cache");
    static NameStoreParts parts;
    return std::make_unique<AssetNameStore>(parts.queue, parts.health, SettingsSuite::shared(),
                                            HttpSession::shared(), parts.notices);
}

FileProviderItemPtr assetItem(const ImmichAsset& asset, const AssetNameStore& names)
{
    return FileProviderItem::asset(asset, QStringLiteral("asset:A1"), QStringLiteral("photos"),
                                   ItemCaps::full, names);
}

} // namespace

class TestItemModel : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Far from UTC, so that filing by local time instead of UTC shows.
        qputenv("TZ", "Pacific/Kiritimati");
        tzset();
    }

    // Each identifier with the identifier its parse gives back; empty when it is refused.
    void identifiers_data()
    {
        QTest::addColumn<QString>("identifier");
        QTest::addColumn<QString>("canonical");
        for (const char* same : {"photos", "albums", "shared", "failed", "year:2024", "year:999",
                                 "month:2024-03", "asset:A1", "album:L1", "ai:L1:A1", "salbum:S1",
                                 "si:S1:A1", "pending:E1", "pending:a:b"})
            QTest::newRow(same) << same << same;
        QTest::newRow("root") << FileProviderContainer::root << FileProviderContainer::root;
        QTest::newRow("doubled dash") << "month:2024--03"
                                      << "month:2024-03";
        for (const char* refused :
             {"Photos", "photos ", "", "month:2024-03-01", "month:2024", "month:-03", "ai:L1:A1:X",
              "ai::A1", "si:S1:A1:X", "si::A1", "thing:1",
              "asset:", "album:", "salbum:", "year:", "pending:", "ai:L1:"})
            QTest::newRow(refused) << refused << "";
        QTest::newRow("trash") << FileProviderContainer::trash << "";
        QTest::newRow("working set") << FileProviderContainer::workingSet << "";
    }
    void identifiers()
    {
        QFETCH(QString, identifier);
        QFETCH(QString, canonical);
        const std::optional<FPNode> node = FPNode::parse(identifier);
        QCOMPARE(node ? node->identifier() : QString(), canonical);
    }

    // "dateTimeOriginal|fileCreatedAt" ("-": no EXIF date) → "year-month", empty for none.
    void filingMonth_data()
    {
        QTest::addColumn<QString>("dates");
        QTest::addColumn<QString>("month");
        const auto row = [](const char* tag, const char* dates, const char* month) {
            QTest::newRow(tag) << dates << month;
        };
        row("west of UTC, last evening", "2024-03-31T23:30:00-02:00|", "2024-04");
        row("east of UTC, first night", "2024-04-01T00:30:00+02:00|", "2024-03");
        row("creation across the year", "-|2024-01-01T00:10:00+01:00", "2023-12");
        row("exif date wins", "2022-06-01T10:00:00Z|2024-01-01T00:00:00Z", "2022-06");
        row("year before 1000", "0999-05-01T10:00:00Z|", "999-05");
        row("offset past the year", "2023-12-31T22:00:00.5-02:00|", "2024-01");
        row("into February 29", "2024-03-01T00:59:00+01:00|", "2024-02");
        row("first month", "0001-01-01T00:30:00+01:00|", "-1-12");
        row("EXIF text: no date", "2024:03:01 10:00:00|2024-01-01T00:00:00Z", "");
        row("no such day", "2023-02-29T10:00:00Z|", "");
        row("offset of 24 h", "2024-03-01T10:00:00+24:00|", "");
        row("year 0", "0000-03-01T10:00:00Z|", "");
        row("unreadable creation", "-|", "");
    }
    void filingMonth()
    {
        QFETCH(QString, dates);
        QFETCH(QString, month);
        ImmichAsset asset;
        asset.fileCreatedAt = dates.section(u'|', 1);
        if (dates.section(u'|', 0, 0) != u"-")
            asset.exifInfo = ExifInfo{std::nullopt, dates.section(u'|', 0, 0)};
        const std::optional<MonthKey> key = monthKey(asset);
        QCOMPARE(key ? key->year + u'-' + key->month : QString(), month);
        // The numbers read from the text agree with the full reading of the date.
        const std::optional<QDateTime> date = captureDate(asset);
        QCOMPARE(date.has_value(), key.has_value());
        if (date) {
            const QDate day = date->toUTC().date();
            QCOMPARE(captureMonth(asset), (YearMonth{day.year(), day.month()}));
        }
    }

    void monthNames()
    {
        QCOMPARE(monthFolderName(QStringLiteral("8")), QStringLiteral("Août"));
        QCOMPARE(monthFolderName(QStringLiteral("12")), QStringLiteral("Décembre"));
        QCOMPARE(monthFolderName(QStringLiteral("13")), QStringLiteral("13"));
        QCOMPARE(folderDate(QStringLiteral("+2024"), QStringLiteral("+3")),
                 QDateTime(QDate(2024, 3, 1), QTime(0, 0), Qt::UTC));
        QCOMPARE(folderDate(QStringLiteral("99999999999"), QStringLiteral("01")), std::nullopt);
        // Only the texts a date is filed under name a month folder: "3" is no second March.
        QCOMPARE(PhotoFolders::folderMonth("-1", "03"), (YearMonth{-1, 3}));
        for (const auto& [year, month] : QList<std::pair<QString, QString>>{
                 {"2024", "3"}, {"02024", "03"}, {"+2024", "03"}, {"2024", "13"}, {"2024", "00"}})
            QCOMPARE(PhotoFolders::folderMonth(year, month), std::nullopt);
    }

    // A rename changes only the metadata version, new bytes the content version.
    void assetVersions()
    {
        AssetNameStore::removeCacheFile();
        const ImmichAsset asset = heicAsset();
        const auto item = assetItem(asset, *storeWithNames({}));
        QCOMPARE(item->filename(), QStringLiteral("IMG_1.HEIC"));

        const auto named = storeWithNames({{QStringLiteral("A1"), QStringLiteral("Plage")}});
        const auto renamed = assetItem(asset, *named);
        QCOMPARE(renamed->filename(), QStringLiteral("Plage"));
        QCOMPARE(renamed->contentType(), item->contentType());
        QCOMPARE(renamed->itemVersion().contentVersion(), item->itemVersion().contentVersion());
        QVERIFY(renamed->itemVersion().metadataVersion() != item->itemVersion().metadataVersion());

        ImmichAsset edited = asset;
        edited.checksum = QStringLiteral("def");
        QVERIFY(assetItem(edited, *named)->itemVersion().contentVersion() !=
                item->itemVersion().contentVersion());
        // Without checksum the dates stand for the bytes.
        edited.checksum.reset();
        const QByteArray byModification = assetItem(edited, *named)->itemVersion().contentVersion();
        edited.fileModifiedAt = QStringLiteral("2024-05-01T00:00:00.000Z");
        QVERIFY(assetItem(edited, *named)->itemVersion().contentVersion() != byModification);
    }
};

QTEST_GUILESS_MAIN(TestItemModel)
#include "TestItemModel.moc"
