// The fast reader of search pages must agree with the reference decoder on every input:
// the same records when both succeed, a decoding error whenever the reference fails.
#include "SearchPageReader.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace pixavella;

namespace {

QString show(const std::optional<QString>& s)
{
    return s ? QStringLiteral("«") + *s + QStringLiteral("»") : QStringLiteral("∅");
}

QString render(const Result<SearchResponse>& r)
{
    if (!r.ok())
        return r.error().domain == ErrorDomain::Decoding ? QStringLiteral("decoding error")
                                                         : QStringLiteral("other error");
    QStringList lines{QStringLiteral("next ") + show(r.value().assets.nextPage)};
    for (const ImmichAsset& a : r.value().assets.items) {
        QString exif = QStringLiteral("∅");
        if (a.exifInfo)
            exif = (a.exifInfo->fileSizeInByte ? QString::number(*a.exifInfo->fileSizeInByte)
                                               : QStringLiteral("∅")) +
                   u'/' + show(a.exifInfo->dateTimeOriginal);
        lines.append(QStringList{show(a.id), show(a.type), show(a.originalFileName),
                                 show(a.fileCreatedAt), show(a.fileModifiedAt), show(a.checksum),
                                 a.isTrashed ? QString::number(*a.isTrashed) : QStringLiteral("∅"),
                                 exif}
                         .join(u'|'));
    }
    return lines.join(u'\n');
}

Result<SearchResponse> reference(const QByteArray& json)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError)
        return decodingError(error.errorString());
    return SearchResponse::fromJson(document.isArray() ? QJsonValue(document.array())
                                                       : QJsonValue(document.object()));
}

QByteArray asset(const QByteArray& fields)
{
    return R"({"id":"a1","type":"IMAGE","originalFileName":"a.jpg","fileCreatedAt":"2024-01-01T00:00:00.000Z")" +
           (fields.isEmpty() ? QByteArray() : "," + fields) + "}";
}

QByteArray page(const QByteArray& items, const QByteArray& rest = R"(,"nextPage":null)")
{
    return R"({"albums":{"total":0,"items":[],"facets":[]},"assets":{"total":1,"items":[)" + items +
           "]" + rest + "}}";
}

} // namespace

class TestSearchPageReader : public QObject {
    Q_OBJECT

private slots:
    void agreesWithReference_data();
    void agreesWithReference();
    void stringsBehaveAsOwnStrings();
};

void TestSearchPageReader::agreesWithReference_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("decodes");

    const QByteArray full = asset(
        R"("fileModifiedAt":"2024-01-01T00:00:00.000Z","checksum":"CRMCvQ==","isTrashed":false,)"
        R"("ownerId":"o","people":[{"id":"p","faces":[[1,2.5e-3,-0.0],{"x":null}]}],)"
        R"("exifInfo":{"make":null,"fNumber":1.8,"fileSizeInByte":1234567,)"
        R"("dateTimeOriginal":"2023-05-17T10:20:30+00:00","description":"\u00e9\"\\"})");
    QTest::newRow("full asset, next page") << page(full, R"(,"nextPage":"2")") << true;
    QTest::newRow("optional keys absent") << page(asset({})) << true;
    QTest::newRow("optional keys null")
        << page(asset(R"("fileModifiedAt":null,"checksum":null,"isTrashed":null,"exifInfo":null)"))
        << true;
    QTest::newRow("empty exif") << page(asset(R"("exifInfo":{})")) << true;
    QTest::newRow("several assets, modified differs")
        << page(asset({}) + "," +
                asset(R"("id":"a2","type":"VIDEO","fileModifiedAt":"2025-01-01T00:00:00Z")") + "," +
                asset(R"("type":"VIDEO")"))
        << true;
    QTest::newRow("modified first, same as created")
        << page(
               R"({"fileModifiedAt":"2024-01-01T00:00:00Z","id":"x","type":"IMAGE","originalFileName":"n","fileCreatedAt":"2024-01-01T00:00:00Z"})")
        << true;
    QTest::newRow("escaped and non-ASCII text")
        << page(asset(R"("originalFileName":"\"q\" \\ \/ \b\f\n\r\t \u00e9\ud83d\ude00 été 😀")"))
        << true;
    QTest::newRow("escaped key")
        << page(R"({"\u0069d":"e","type":"IMAGE","originalFileName":"n","fileCreatedAt":"d"})")
        << true;
    QTest::newRow("empty strings") << page(asset(R"("originalFileName":"","checksum":"")")) << true;
    QTest::newRow("whole numbers in other spellings")
        << page(asset(R"("exifInfo":{"fileSizeInByte":1.0e3})") + "," +
                asset(R"("exifInfo":{"fileSizeInByte":-0})") + "," +
                asset(R"("exifInfo":{"fileSizeInByte":42.0})"))
        << true;
    QTest::newRow("largest size") << page(asset(
                                         R"("exifInfo":{"fileSizeInByte":9223372036854775807})"))
                                  << true;
    QTest::newRow("byte-order mark and spaces")
        << QByteArray("\xEF\xBB\xBF \n") + page(asset({})) + " \r\n\t" << true;
    QTest::newRow("no items") << page({}) << true;
    QTest::newRow("next page absent") << page(asset({}), {}) << true;

    // Records the reference refuses.
    QTest::newRow("fileCreatedAt missing")
        << page(asset({}) + R"(,{"id":"b","type":"IMAGE","originalFileName":"b"})") << false;
    QTest::newRow("fileCreatedAt null")
        << page(asset({}).replace(R"("2024-01-01T00:00:00.000Z")", "null")) << false;
    QTest::newRow("id not text") << page(asset({}).replace(R"("a1")", "7")) << false;
    QTest::newRow("type missing") << page(asset({}).replace(R"("type":"IMAGE",)", "")) << false;
    QTest::newRow("asset not an object") << page(asset({}) + ",[]") << false;
    QTest::newRow("isTrashed text") << page(asset(R"("isTrashed":"yes")")) << false;
    QTest::newRow("checksum number") << page(asset(R"("checksum":12)")) << false;
    QTest::newRow("exif array") << page(asset(R"("exifInfo":[])")) << false;
    QTest::newRow("size text") << page(asset(R"("exifInfo":{"fileSizeInByte":"12"})")) << false;
    QTest::newRow("size fraction") << page(asset(R"("exifInfo":{"fileSizeInByte":1.5})")) << false;
    QTest::newRow("size too large")
        << page(asset(R"("exifInfo":{"fileSizeInByte":1e30})")) << false;
    QTest::newRow("date time original number")
        << page(asset(R"("exifInfo":{"dateTimeOriginal":20230517})")) << false;
    QTest::newRow("next page number") << page(asset({}), R"(,"nextPage":2)") << false;
    QTest::newRow("items missing") << QByteArray(R"({"assets":{"nextPage":null}})") << false;
    QTest::newRow("items object") << QByteArray(R"({"assets":{"items":{}}})") << false;
    QTest::newRow("assets missing") << QByteArray(R"({"albums":{}})") << false;
    QTest::newRow("assets null") << QByteArray(R"({"assets":null})") << false;
    QTest::newRow("top-level array") << QByteArray("[]") << false;

    // Text that is not JSON.
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("truncated") << page(asset({})).chopped(3) << false;
    QTest::newRow("trailing comma") << page(asset({}) + ",") << false;
    QTest::newRow("garbage after") << page(asset({})) + "x" << false;
    QTest::newRow("invalid UTF-8 in a kept string")
        << page(asset("\"checksum\":\"\xC3\x28\"")) << false;
    QTest::newRow("invalid UTF-8 in a skipped string")
        << page(asset("\"ownerId\":\"\xED\xA0\x80\"")) << false;
    QTest::newRow("invalid UTF-8 after a long ASCII run")
        << page(asset("\"ownerId\":\"abcdefghijklmnopq\xC3\x28\"")) << false;
    QTest::newRow("UTF-8 across eight-byte runs")
        << page(asset("\"ownerId\":\"abcdefg\xC3\xA9hijklmnop\xE2\x82\xACqrstuvw\"")) << true;
    QTest::newRow("short unicode escape") << page(asset(R"("ownerId":"\u12")")) << false;
    QTest::newRow("unterminated string") << QByteArray(R"({"assets":{"items":[{"id":"a)") << false;
    QTest::newRow("bad literal") << page(asset(R"("ownerId":nul)")) << false;
    QTest::newRow("bad number") << page(asset(R"("width":-)")) << false;
    QTest::newRow("number overflow") << page(asset(R"("width":1.5e400)")) << false;
    QTest::newRow("missing colon") << QByteArray(R"({"assets" {"items":[]}})") << false;

    // Recorded answers of a real server, when they are at hand.
    const QDir samples(qEnvironmentVariable("PIXAVELLA_SOURCE_DIR") +
                       QStringLiteral("/../shared/immich-v3-samples"));
    const QStringList names = samples.entryList({QStringLiteral("search-metadata*.json")});
    for (const QString& name : names) {
        QFile file(samples.filePath(name));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QJsonObject sample = QJsonDocument::fromJson(file.readAll()).object();
        QTest::addRow("sample %s", qPrintable(name))
            << QJsonDocument(sample[QLatin1String("body")].toObject()).toJson() << true;
    }
}

void TestSearchPageReader::agreesWithReference()
{
    QFETCH(QByteArray, json);
    QFETCH(bool, decodes);
    const Result<SearchResponse> expected = reference(json);
    QCOMPARE(expected.ok(), decodes); // the row means what it says
    QCOMPARE(render(client::readSearchPage(json)), render(expected));
}

void TestSearchPageReader::stringsBehaveAsOwnStrings()
{
    QList<ImmichAsset> items;
    {
        QByteArray json =
            page(asset(R"("checksum":"sum-1")") + "," + asset(R"("id":"a2","checksum":"sum-2")"));
        Result<SearchResponse> r = client::readSearchPage(json);
        QVERIFY(r.ok());
        items = std::move(r.value().assets.items);
        json.fill('x'); // the records hold no view of the answer
    }
    QCOMPARE(items.size(), 2);
    // Changing one string leaves its neighbours alone.
    items[0].id.append(QStringLiteral("-changed"));
    items[0].checksum->replace(0, 3, QStringLiteral("SUM"));
    QCOMPARE(items[0].id, QStringLiteral("a1-changed"));
    QCOMPARE(*items[0].checksum, QStringLiteral("SUM-1"));
    QCOMPARE(items[1].id, QStringLiteral("a2"));
    QCOMPARE(*items[1].checksum, QStringLiteral("sum-2"));
    QCOMPARE(items[1].originalFileName, QStringLiteral("a.jpg"));
    // Text handed to C interfaces ends where the string ends.
    const auto c = [](const QString& s) { return reinterpret_cast<const char16_t*>(s.utf16()); };
    QCOMPARE(QString::fromUtf16(c(items[1].originalFileName)), QStringLiteral("a.jpg"));
    QCOMPARE(std::char_traits<char16_t>::length(c(items[1].id)), size_t(2));
    // A string kept alone outlives the others.
    const QString kept = items[1].checksum.value();
    items.clear();
    QCOMPARE(kept, QStringLiteral("sum-2"));
}

QTEST_GUILESS_MAIN(TestSearchPageReader)
#include "TestSearchPageReader.moc"
