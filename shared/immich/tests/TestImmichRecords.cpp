#include "ImmichRecords.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

using namespace pixavella;
using namespace Qt::StringLiterals;

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
        .absoluteFilePath(u"../shared/immich-v3-samples"_s);
}

QJsonValue sampleBody(const QString& name)
{
    QFile file(QDir(samplesDirectory()).absoluteFilePath(name));
    if (!file.open(QIODevice::ReadOnly))
        return QJsonValue::Undefined;
    return QJsonDocument::fromJson(file.readAll()).object().value("body"_L1);
}

std::optional<QString> optional(const QString& text)
{
    return text.isEmpty() ? std::nullopt : std::optional<QString>(text);
}

} // namespace

class TestImmichRecords : public QObject {
    Q_OBJECT

private slots:
    void decodingErrorsNameTheirField_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("failingPath"); // what the error names

        QTest::newRow("fractional size")
            << asset(R"("exifInfo":{"fileSizeInByte":1.5})") << "exifInfo.fileSizeInByte";
        QTest::newRow("not an object") << QByteArray(R"([1,2])") << "(root)";
        QTest::newRow("one bad asset fails the page")
            << R"({"assets":{"items":[)" + asset() + "," + asset({}, {}) + R"(],"nextPage":"2"}})"
            << "assets.items[1].fileCreatedAt";
    }
    void decodingErrorsNameTheirField()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, failingPath);
        Result<ImmichAsset> result = ImmichAsset::fromJson(parse(json));
        if (json.startsWith(R"({"assets")")) {
            const Result<SearchResponse> page = SearchResponse::fromJson(parse(json));
            QVERIFY(!page.ok());
            result = page.error();
        }
        QVERIFY(!result.ok());
        QCOMPARE(result.error().domain, ErrorDomain::Decoding);
        QVERIFY2(result.error().description.contains(failingPath + ':'),
                 qPrintable(result.error().description));
    }

    void nextPage_data()
    {
        QTest::addColumn<QByteArray>("nextPage"); // JSON fragment; empty: key left out
        QTest::addColumn<int>("page");            // 0: no further page; -1: does not decode
        QTest::newRow("two") << QByteArray(R"("2")") << 2;
        QTest::newRow("plus sign") << QByteArray(R"("+3")") << 3;
        QTest::newRow("missing") << QByteArray() << 0;
        QTest::newRow("null") << QByteArray("null") << 0;
        QTest::newRow("empty") << QByteArray(R"("")") << 0;
        QTest::newRow("fraction") << QByteArray(R"("2.5")") << 0;
        QTest::newRow("beyond int") << QByteArray(R"("99999999999")") << 0;
        QTest::newRow("number, not text") << QByteArray("2") << -1;
    }
    void nextPage()
    {
        QFETCH(QByteArray, nextPage);
        QFETCH(int, page);
        QByteArray body = R"({"assets":{"items":[)" + asset() + "]";
        if (!nextPage.isEmpty())
            body += R"(,"nextPage":)" + nextPage;
        const Result<SearchResponse> result = SearchResponse::fromJson(parse(body + "}}"));
        QCOMPARE(result.ok(), page >= 0);
        if (page < 0)
            return;
        QCOMPARE(result.value().assets.items.size(), 1);
        QCOMPARE(result.value().assets.nextPageNumber(),
                 page ? std::optional<int>(page) : std::nullopt);
    }

    void albumOwner_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("ownerId"); // empty: absent
        QTest::addColumn<int>("memberCount");
        QTest::newRow("v3: owner among members")
            << QByteArray(R"({"id":"al","albumName":"V","assetCount":3,"albumUsers":[
                {"user":{"id":"u1","email":"a"},"role":"editor"},{"user":{"id":"u2"},"role":"owner"}]})")
            << "u2" << 2;
        QTest::newRow("classic: ownerId wins")
            << QByteArray(R"({"id":"al","albumName":"V","ownerId":"u9","albumUsers":[
                {"user":{"id":"u2"},"role":"owner"}]})")
            << "u9" << 1;
        QTest::newRow("null ownerId mended")
            << QByteArray(R"({"id":"al","albumName":"V","ownerId":null,"albumUsers":[
                {"user":{"id":"u2"},"role":"owner"}]})")
            << "u2" << 1;
        QTest::newRow("no owner anywhere")
            << QByteArray(R"({"id":"al","albumName":"V","albumUsers":[
                {"user":{"id":"u1"},"role":"Owner"}]})")
            << QString() << 1;
        QTest::newRow("no members")
            << QByteArray(R"({"id":"al","albumName":"V"})") << QString() << -1;
    }
    void albumOwner()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, ownerId);
        QFETCH(int, memberCount);
        const Result<ImmichAlbum> album = ImmichAlbum::fromJson(parse(json));
        const Result<AlbumMeta> meta = AlbumMeta::fromJson(parse(json));
        QVERIFY(album.ok() && meta.ok());
        QCOMPARE(album.value().ownerId, optional(ownerId));
        QCOMPARE(meta.value().ownerId, optional(ownerId));
        QCOMPARE(album.value().albumUsers ? album.value().albumUsers->size() : -1, memberCount);

        // Without assets (v3) the detail is made of the metadata and a search.
        QVERIFY(!ImmichAlbumDetail::hasAssets(parse(json)));
        QVERIFY(!ImmichAlbumDetail::fromJson(parse(json)).ok());
        const ImmichAlbumDetail joined = ImmichAlbumDetail::fromMetaAndAssets(
            meta.value(), {ImmichAsset::fromJson(parse(asset())).value()});
        QCOMPARE(joined.ownerId, optional(ownerId));
        QCOMPARE(joined.assets.size(), 1);

        QJsonObject withAssets = parse(json).toObject();
        withAssets.insert("assets"_L1, QJsonArray{parse(asset()).toObject()});
        QVERIFY(ImmichAlbumDetail::hasAssets(withAssets));
        const Result<ImmichAlbumDetail> detail = ImmichAlbumDetail::fromJson(withAssets);
        QVERIFY(detail.ok());
        QCOMPARE(detail.value().ownerId, optional(ownerId));
        QCOMPARE(detail.value().assets.size(), 1);
    }

    void brokenMemberBreaksTheAlbum()
    {
        const Result<ImmichAlbum> broken = ImmichAlbum::fromJson(
            parse(R"({"id":"al","albumName":"V","albumUsers":[{"user":{"id":"u2"}}]})"));
        QVERIFY(!broken.ok());
        QVERIFY(broken.error().description.contains("albumUsers[0].role"_L1));
        QVERIFY(
            !ImmichAlbumDetail::hasAssets(parse(R"({"id":"al","albumName":"V","assets":null})")));
    }

    void parseDate_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("utc"); // ISO 8601 in UTC with milliseconds; empty: absent
        const auto row = [](const char* tag, const char* text, const char* utc) {
            QTest::newRow(tag) << QString(text) << QString(utc);
        };
        row("whole second", "2024-03-01T10:00:00Z", "2024-03-01T10:00:00.000Z");
        row("micros, offset", "2026-12-06T19:20:01.897307+00:00", "2026-12-06T19:20:01.897Z");
        row("one fraction digit", "2024-03-01T10:00:00.5Z", "2024-03-01T10:00:00.500Z");
        row("east offset", "2024-03-01T12:30:00+02:30", "2024-03-01T10:00:00.000Z");
        row("west offset, next day", "2024-02-29T22:00:00-03:00", "2024-03-01T01:00:00.000Z");
        QTest::newRow("EXIF style") << "2024:03:01 10:00:00" << QString();
        QTest::newRow("no zone") << "2024-03-01T10:00:00" << QString();
        QTest::newRow("offset without colon") << "2024-03-01T10:00:00+0200" << QString();
        QTest::newRow("empty fraction") << "2024-03-01T10:00:00.Z" << QString();
        QTest::newRow("trailing text") << "2024-03-01T10:00:00Zjunk" << QString();
        QTest::newRow("no such day") << "2023-02-29T10:00:00Z" << QString();
        QTest::newRow("empty") << "" << QString();
    }
    void parseDate()
    {
        QFETCH(QString, text);
        QFETCH(QString, utc);
        const std::optional<QDateTime> instant = parseImmichDate(text);
        QCOMPARE(instant ? instant->toUTC().toString(Qt::ISODateWithMs) : QString(), utc);
        QVERIFY(!parseImmichDate(std::nullopt));
    }

    void albumAccessRules_data()
    {
        QTest::addColumn<QString>("ownerId");    // empty: absent
        QTest::addColumn<QByteArray>("members"); // JSON array; empty: absent
        QTest::addColumn<AlbumAccess>("expected");
        const QByteArray meViewer = R"([{"user":{"id":"me"},"role":"viewer"}])";
        const QByteArray meEditor = R"([{"user":{"id":"me"},"role":"editor"}])";
        QTest::newRow("owner also listed as viewer") << "me" << meViewer << AlbumAccess::owner;
        QTest::newRow("listed as viewer") << "other" << meViewer << AlbumAccess::viewer;
        QTest::newRow("no owner, editor") << QString() << meEditor << AlbumAccess::editor;
        QTest::newRow("Editor with a capital")
            << "other" << QByteArray(R"([{"user":{"id":"me"},"role":"Editor"}])")
            << AlbumAccess::viewer;
        QTest::newRow("first listing wins")
            << "other" << meViewer.chopped(1) + "," + meEditor.mid(1) << AlbumAccess::viewer;
        QTest::newRow("no members") << "other" << QByteArray() << AlbumAccess::viewer;
        QTest::newRow("id differs in case") << "ME" << meViewer << AlbumAccess::viewer;
    }
    void albumAccessRules()
    {
        QFETCH(QString, ownerId);
        QFETCH(QByteArray, members);
        QFETCH(AlbumAccess, expected);
        QJsonObject json{{"id"_L1, "al"_L1}, {"albumName"_L1, "V"_L1}};
        if (!ownerId.isEmpty())
            json.insert("ownerId"_L1, ownerId);
        if (!members.isEmpty())
            json.insert("albumUsers"_L1, parse(members));
        const Result<AlbumMeta> meta = AlbumMeta::fromJson(json);
        QVERIFY(meta.ok());
        QCOMPARE(albumAccess(meta.value(), u"me"_s), expected);
    }

    // Answers recorded from a real server decode.
    void serverSamples()
    {
        if (!QDir(samplesDirectory()).exists())
            QSKIP("recorded server answers not available");
        QCOMPARE(SearchResponse::fromJson(sampleBody(u"search-metadata-page1-of-several.json"_s))
                     .value()
                     .assets.nextPageNumber(),
                 std::optional<int>(2));

        for (const QString& name : {u"albums-list.json"_s, u"albums-list-shared-true.json"_s}) {
            const Result<QList<ImmichAlbum>> albums = ImmichAlbum::listFromJson(sampleBody(name));
            QVERIFY2(albums.ok() && !albums.value().isEmpty(), qPrintable(name));
            for (const ImmichAlbum& album : albums.value())
                QVERIFY2(album.ownerId && !album.ownerId->isEmpty(), qPrintable(album.albumName));
        }
        QCOMPARE(AlbumMeta::fromJson(sampleBody(u"albums-get.json"_s)).value().ownerId,
                 optional(u"091c2a46-8fea-40ab-a3b4-06a1b7f09563"_s));

        const Result<ImmichAsset> asset = ImmichAsset::fromJson(sampleBody(u"asset-get.json"_s));
        QVERIFY(asset.ok());
        QVERIFY(asset.value().exifInfo && asset.value().exifInfo->fileSizeInByte == 56695);
        QCOMPARE(asset.value().isTrashed, std::optional<bool>(false));
        QVERIFY(parseImmichDate(asset.value().fileCreatedAt).has_value());
        QVERIFY(parseImmichDate(asset.value().exifInfo->dateTimeOriginal).has_value());
        QCOMPARE(ImmichAsset::fromJson(sampleBody(u"asset-get-trashed.json"_s)).value().isTrashed,
                 std::optional<bool>(true));

        const Result<ImmichAssetStatistics> statistics =
            ImmichAssetStatistics::fromJson(sampleBody(u"assets-statistics.json"_s));
        QVERIFY(statistics.ok());
        QCOMPARE(QList<qint64>({statistics.value().images, statistics.value().videos,
                                statistics.value().total}),
                 QList<qint64>({5, 1, 6}));
    }
};

QTEST_GUILESS_MAIN(TestImmichRecords)
#include "TestImmichRecords.moc"
