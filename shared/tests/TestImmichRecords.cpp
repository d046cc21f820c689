#include "ImmichRecords.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

using namespace pixavella;

namespace {

QJsonValue parse(const QByteArray& text)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError)
        qFatal("bad test JSON: %s", text.constData());
    return doc.isArray() ? QJsonValue(doc.array()) : QJsonValue(doc.object());
}

QByteArray asset(const QByteArray& extra = {},
                 const QByteArray& fileCreatedAt = R"("fileCreatedAt":"2024-03-01T10:00:00.000Z")")
{
    QByteArray text = R"({"id":"a1","type":"IMAGE","originalFileName":"IMG_1.HEIC")";
    if (!fileCreatedAt.isEmpty())
        text += "," + fileCreatedAt;
    if (!extra.isEmpty())
        text += "," + extra;
    return text + "}";
}

QString samplesDirectory()
{
    return QDir(qEnvironmentVariable("PIXAVELLA_SOURCE_DIR"))
        .absoluteFilePath(QStringLiteral("../shared/immich-v3-samples"));
}

QJsonValue sampleBody(const QString& name)
{
    QFile file(QDir(samplesDirectory()).absoluteFilePath(name));
    if (!file.open(QIODevice::ReadOnly))
        return QJsonValue::Undefined;
    return QJsonDocument::fromJson(file.readAll()).object().value(QLatin1String("body"));
}

} // namespace

class TestImmichRecords : public QObject {
    Q_OBJECT

private slots:
    void assetDecoding_data();
    void assetDecoding();
    void pageFailsWithOneBadAsset();
    void nextPage_data();
    void nextPage();
    void albumOwner_data();
    void albumOwner();
    void albumDetailWithoutAssets();
    void parseDate_data();
    void parseDate();
    void albumAccessRules_data();
    void albumAccessRules();
    void serverSamples();
};

void TestImmichRecords::assetDecoding_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("failingPath"); // empty: decodes

    QTest::newRow("all keys") << asset(R"("fileModifiedAt":"2024-03-01T10:00:00Z",
        "checksum":"abc=","isTrashed":true,"exifInfo":{"fileSizeInByte":12,
        "dateTimeOriginal":"2024-03-01T10:00:00+00:00"})")
                              << QString();
    QTest::newRow("unknown keys ignored")
        << asset(R"("ownerId":"u1","width":640,"people":[],"exifInfo":{"make":null,"iso":100})")
        << QString();
    QTest::newRow("optional nulls") << asset(R"("checksum":null,"exifInfo":null)") << QString();
    QTest::newRow("whole size in exponent form")
        << asset(R"("exifInfo":{"fileSizeInByte":1e3})") << QString();
    QTest::newRow("missing fileCreatedAt") << asset({}, {}) << "fileCreatedAt";
    QTest::newRow("null fileCreatedAt") << asset({}, R"("fileCreatedAt":null)") << "fileCreatedAt";
    QTest::newRow("id is a number") << QByteArray(R"({"id":5,"type":"IMAGE",
        "originalFileName":"a","fileCreatedAt":"x"})")
                                    << "id";
    QTest::newRow("isTrashed as text") << asset(R"("isTrashed":"false")") << "isTrashed";
    QTest::newRow("exifInfo as text") << asset(R"("exifInfo":"none")") << "exifInfo";
    QTest::newRow("fractional size")
        << asset(R"("exifInfo":{"fileSizeInByte":1.5})") << "exifInfo.fileSizeInByte";
    QTest::newRow("size as text") << asset(R"("exifInfo":{"fileSizeInByte":"12"})")
                                  << "exifInfo.fileSizeInByte";
    QTest::newRow("not an object") << QByteArray(R"([1,2])") << "(root)";
}

void TestImmichRecords::assetDecoding()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, failingPath);

    const Result<ImmichAsset> result = ImmichAsset::fromJson(parse(json));
    if (failingPath.isEmpty()) {
        QVERIFY2(result.ok(), qPrintable(result ? QString() : result.error().description));
        QCOMPARE(result.value().id, QStringLiteral("a1"));
    } else {
        QVERIFY(!result.ok());
        QCOMPARE(result.error().domain, ErrorDomain::Decoding);
        QVERIFY2(result.error().description.contains(failingPath + QLatin1Char(':')),
                 qPrintable(result.error().description));
    }
}

void TestImmichRecords::pageFailsWithOneBadAsset()
{
    const QByteArray body =
        R"({"assets":{"items":[)" + asset() + "," + asset({}, {}) + R"(],"nextPage":"2"}})";
    const Result<SearchResponse> result = SearchResponse::fromJson(parse(body));
    QVERIFY(!result.ok());
    QVERIFY2(result.error().description.contains(QLatin1String("assets.items[1].fileCreatedAt")),
             qPrintable(result.error().description));
}

void TestImmichRecords::nextPage_data()
{
    QTest::addColumn<QByteArray>("nextPage"); // JSON fragment; empty: key left out
    QTest::addColumn<bool>("decodes");
    QTest::addColumn<int>("page"); // 0: no further page

    QTest::newRow("two") << QByteArray(R"("2")") << true << 2;
    QTest::newRow("plus sign") << QByteArray(R"("+3")") << true << 3;
    QTest::newRow("missing") << QByteArray() << true << 0;
    QTest::newRow("null") << QByteArray("null") << true << 0;
    QTest::newRow("fraction") << QByteArray(R"("2.5")") << true << 0;
    QTest::newRow("beyond int") << QByteArray(R"("99999999999")") << true << 0;
    QTest::newRow("number, not text") << QByteArray("2") << false << 0;
}

void TestImmichRecords::nextPage()
{
    QFETCH(QByteArray, nextPage);
    QFETCH(bool, decodes);
    QFETCH(int, page);

    QByteArray body = R"({"assets":{"items":[)" + asset() + "]";
    if (!nextPage.isEmpty())
        body += R"(,"nextPage":)" + nextPage;
    body += "}}";
    const Result<SearchResponse> result = SearchResponse::fromJson(parse(body));
    QCOMPARE(result.ok(), decodes);
    if (!decodes)
        return;
    QCOMPARE(result.value().assets.items.size(), 1);
    QCOMPARE(result.value().assets.nextPageNumber(),
             page ? std::optional<int>(page) : std::nullopt);
}

void TestImmichRecords::albumOwner_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("ownerId"); // empty: absent
    QTest::addColumn<int>("memberCount");

    QTest::newRow("v3: owner among members")
        << QByteArray(R"({"id":"al","albumName":"Vacances","assetCount":3,"albumUsers":[
            {"user":{"id":"u1","email":"a"},"role":"editor"},
            {"user":{"id":"u2"},"role":"owner"}]})")
        << "u2" << 2;
    QTest::newRow("classic: ownerId wins")
        << QByteArray(R"({"id":"al","albumName":"V","ownerId":"u9","albumUsers":[
            {"user":{"id":"u2"},"role":"owner"}]})")
        << "u9" << 1;
    QTest::newRow("null ownerId mended")
        << QByteArray(R"({"id":"al","albumName":"V","ownerId":null,"albumUsers":[
            {"user":{"id":"u2"},"role":"owner"}]})")
        << "u2" << 1;
    QTest::newRow("no owner anywhere") << QByteArray(R"({"id":"al","albumName":"V","albumUsers":[
            {"user":{"id":"u1"},"role":"Owner"}]})")
                                       << QString() << 1;
    QTest::newRow("no members") << QByteArray(R"({"id":"al","albumName":"V"})") << QString() << -1;
}

void TestImmichRecords::albumOwner()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, ownerId);
    QFETCH(int, memberCount);
    const std::optional<QString> expectedOwner =
        ownerId.isEmpty() ? std::nullopt : std::optional<QString>(ownerId);

    const Result<ImmichAlbum> album = ImmichAlbum::fromJson(parse(json));
    const Result<AlbumMeta> meta = AlbumMeta::fromJson(parse(json));
    QVERIFY(album.ok() && meta.ok());
    QCOMPARE(album.value().ownerId, expectedOwner);
    QCOMPARE(meta.value().ownerId, expectedOwner);
    QCOMPARE(album.value().albumUsers ? album.value().albumUsers->size() : -1, memberCount);

    QJsonObject withAssets = parse(json).toObject();
    withAssets.insert(QLatin1String("assets"), QJsonArray{parse(asset()).toObject()});
    const Result<ImmichAlbumDetail> detail = ImmichAlbumDetail::fromJson(withAssets);
    QVERIFY(detail.ok());
    QCOMPARE(detail.value().ownerId, expectedOwner);
    QCOMPARE(detail.value().assets.size(), 1);
}

void TestImmichRecords::albumDetailWithoutAssets()
{
    const QJsonValue v3 = parse(R"({"id":"al","albumName":"V","albumUsers":[
        {"user":{"id":"u2"},"role":"owner"}]})");
    QVERIFY(!ImmichAlbumDetail::hasAssets(v3));
    QVERIFY(!ImmichAlbumDetail::fromJson(v3).ok());
    QVERIFY(!ImmichAlbumDetail::hasAssets(parse(R"({"id":"al","albumName":"V","assets":null})")));
    QVERIFY(ImmichAlbumDetail::hasAssets(parse(R"({"id":"al","albumName":"V","assets":[]})")));

    const Result<AlbumMeta> meta = AlbumMeta::fromJson(v3);
    QVERIFY(meta.ok());
    const ImmichAlbumDetail detail = ImmichAlbumDetail::fromMetaAndAssets(
        meta.value(), {ImmichAsset::fromJson(parse(asset())).value()});
    QCOMPARE(detail.id, QStringLiteral("al"));
    QCOMPARE(detail.ownerId, std::optional<QString>(QStringLiteral("u2")));
    QCOMPARE(detail.assets.size(), 1);

    // A broken member breaks the album, whatever the dialect.
    const Result<ImmichAlbum> broken = ImmichAlbum::fromJson(
        parse(R"({"id":"al","albumName":"V","albumUsers":[{"user":{"id":"u2"}}]})"));
    QVERIFY(!broken.ok());
    QVERIFY(broken.error().description.contains(QLatin1String("albumUsers[0].role")));
}

void TestImmichRecords::parseDate_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("utc"); // ISO 8601 in UTC with milliseconds; empty: absent

    QTest::newRow("millis") << "2024-03-01T10:00:00.123Z"
                            << "2024-03-01T10:00:00.123Z";
    QTest::newRow("whole second") << "2024-03-01T10:00:00Z"
                                  << "2024-03-01T10:00:00.000Z";
    QTest::newRow("micros, offset") << "2026-12-06T19:20:01.897307+00:00"
                                    << "2026-12-06T19:20:01.897Z";
    QTest::newRow("one fraction digit") << "2024-03-01T10:00:00.5Z"
                                        << "2024-03-01T10:00:00.500Z";
    QTest::newRow("east offset") << "2024-03-01T12:30:00+02:30"
                                 << "2024-03-01T10:00:00.000Z";
    QTest::newRow("west offset, next day") << "2024-02-29T22:00:00-03:00"
                                           << "2024-03-01T01:00:00.000Z";
    QTest::newRow("EXIF style") << "2024:03:01 10:00:00" << QString();
    QTest::newRow("no zone") << "2024-03-01T10:00:00" << QString();
    QTest::newRow("space for T") << "2024-03-01 10:00:00Z" << QString();
    QTest::newRow("offset without colon") << "2024-03-01T10:00:00+0200" << QString();
    QTest::newRow("empty fraction") << "2024-03-01T10:00:00.Z" << QString();
    QTest::newRow("trailing text") << "2024-03-01T10:00:00Zjunk" << QString();
    QTest::newRow("no such day") << "2023-02-29T10:00:00Z" << QString();
    QTest::newRow("empty") << "" << QString();
    QTest::newRow("garbage") << "not a date" << QString();
}

void TestImmichRecords::parseDate()
{
    QFETCH(QString, text);
    QFETCH(QString, utc);

    const std::optional<QDateTime> instant = parseImmichDate(text);
    if (utc.isEmpty()) {
        QVERIFY2(!instant, qPrintable(instant ? instant->toString(Qt::ISODateWithMs) : QString()));
        return;
    }
    QVERIFY(instant.has_value());
    QCOMPARE(instant->toUTC().toString(Qt::ISODateWithMs), utc);
    QVERIFY(!parseImmichDate(std::nullopt));
}

void TestImmichRecords::albumAccessRules_data()
{
    QTest::addColumn<QString>("ownerId");    // empty: absent
    QTest::addColumn<QByteArray>("members"); // JSON array; empty: absent
    QTest::addColumn<AlbumAccess>("expected");

    const QByteArray meViewer = R"([{"user":{"id":"me"},"role":"viewer"}])";
    QTest::newRow("owner also listed as viewer") << "me" << meViewer << AlbumAccess::owner;
    QTest::newRow("listed as viewer") << "other" << meViewer << AlbumAccess::viewer;
    QTest::newRow("editor") << "other" << QByteArray(R"([{"user":{"id":"me"},"role":"editor"}])")
                            << AlbumAccess::editor;
    QTest::newRow("Editor with a capital")
        << "other" << QByteArray(R"([{"user":{"id":"me"},"role":"Editor"}])")
        << AlbumAccess::viewer;
    QTest::newRow("first listing wins")
        << "other"
        << QByteArray(
               R"([{"user":{"id":"me"},"role":"viewer"},{"user":{"id":"me"},"role":"editor"}])")
        << AlbumAccess::viewer;
    QTest::newRow("no members") << "other" << QByteArray() << AlbumAccess::viewer;
    QTest::newRow("no owner, editor")
        << QString() << QByteArray(R"([{"user":{"id":"me"},"role":"editor"}])")
        << AlbumAccess::editor;
    QTest::newRow("id differs in case") << "ME" << meViewer << AlbumAccess::viewer;
}

void TestImmichRecords::albumAccessRules()
{
    QFETCH(QString, ownerId);
    QFETCH(QByteArray, members);
    QFETCH(AlbumAccess, expected);

    QJsonObject json{{QLatin1String("id"), QLatin1String("al")},
                     {QLatin1String("albumName"), QLatin1String("V")}};
    if (!ownerId.isEmpty())
        json.insert(QLatin1String("ownerId"), ownerId);
    if (!members.isEmpty())
        json.insert(QLatin1String("albumUsers"), parse(members));
    const Result<AlbumMeta> meta = AlbumMeta::fromJson(json);
    QVERIFY(meta.ok());
    QCOMPARE(albumAccess(meta.value(), QStringLiteral("me")), expected);
}

void TestImmichRecords::serverSamples()
{
    if (!QDir(samplesDirectory()).exists())
        QSKIP("recorded server answers not available");

    for (const QString& name :
         QDir(samplesDirectory()).entryList({QStringLiteral("search-metadata*.json")})) {
        const Result<SearchResponse> search = SearchResponse::fromJson(sampleBody(name));
        QVERIFY2(search.ok(), qPrintable(name + QLatin1String(": ") +
                                         (search ? QString() : search.error().description)));
        QVERIFY2(!search.value().assets.items.isEmpty(), qPrintable(name));
    }
    const Result<SearchResponse> first = SearchResponse::fromJson(
        sampleBody(QStringLiteral("search-metadata-page1-of-several.json")));
    QCOMPARE(first.value().assets.nextPageNumber(), std::optional<int>(2));

    for (const QString& name :
         {QStringLiteral("albums-list.json"), QStringLiteral("albums-list-shared-true.json")}) {
        const Result<QList<ImmichAlbum>> albums = ImmichAlbum::listFromJson(sampleBody(name));
        QVERIFY2(albums.ok(), qPrintable(name));
        QVERIFY(!albums.value().isEmpty());
        for (const ImmichAlbum& album : albums.value())
            QVERIFY2(album.ownerId && !album.ownerId->isEmpty(), qPrintable(album.albumName));
    }

    const Result<AlbumMeta> meta =
        AlbumMeta::fromJson(sampleBody(QStringLiteral("albums-get.json")));
    QVERIFY(meta.ok());
    QCOMPARE(meta.value().ownerId,
             std::optional<QString>(QStringLiteral("091c2a46-8fea-40ab-a3b4-06a1b7f09563")));

    const Result<ImmichAsset> asset =
        ImmichAsset::fromJson(sampleBody(QStringLiteral("asset-get.json")));
    QVERIFY(asset.ok());
    QVERIFY(asset.value().exifInfo && asset.value().exifInfo->fileSizeInByte == 56695);
    QCOMPARE(asset.value().isTrashed, std::optional<bool>(false));
    QVERIFY(parseImmichDate(asset.value().fileCreatedAt).has_value());
    QVERIFY(parseImmichDate(asset.value().exifInfo->dateTimeOriginal).has_value());

    const Result<ImmichAsset> trashed =
        ImmichAsset::fromJson(sampleBody(QStringLiteral("asset-get-trashed.json")));
    QVERIFY(trashed.ok());
    QCOMPARE(trashed.value().isTrashed, std::optional<bool>(true));

    const Result<ImmichAssetStatistics> statistics =
        ImmichAssetStatistics::fromJson(sampleBody(QStringLiteral("assets-statistics.json")));
    QVERIFY(statistics.ok());
    QCOMPARE(statistics.value().images, 5);
    QCOMPARE(statistics.value().videos, 1);
    QCOMPARE(statistics.value().total, 6);
}

QTEST_GUILESS_MAIN(TestImmichRecords)
#include "TestImmichRecords.moc"
