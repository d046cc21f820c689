// The double's library: a seeded library paged through the metadata search, and uploads.
#include "DoubleHttp.h"
#include "ImmichDoubleProcess.h"
#include "SampleMedia.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QSet>
#include <QTest>

using namespace immichdouble::testing;
using pixavella::testing::ImmichDoubleProcess;

namespace {

constexpr int kSeeded = 2500;

QJsonObject page(int number, const QString& order = QStringLiteral("desc"))
{
    return {{QStringLiteral("page"), number},
            {QStringLiteral("size"), 1000},
            {QStringLiteral("withExif"), true},
            {QStringLiteral("order"), order}};
}

} // namespace

class TestImmichDoubleLibrary : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void seededLibraryPagesInDateOrder();
    void trashedAssetsNeedWithDeleted();
    void uploadRefusals_data();
    void uploadRefusals();
    void uploadTakesExifCaptureDate();
    void duplicatesAreFoundPerUser();

private:
    QJsonObject search(const QJsonObject& body, const QByteArray& key = "main-key") const;

    ImmichDoubleProcess m_double;
};

void TestImmichDoubleLibrary::initTestCase()
{
    QVERIFY(
        m_double.start({QStringLiteral("--seed"), QString::number(kSeeded),
                        QStringLiteral("--user"), QStringLiteral("main@x.test:pw:main-key"),
                        QStringLiteral("--user"), QStringLiteral("other@x.test:pw:other-key")}));
}

QJsonObject TestImmichDoubleLibrary::search(const QJsonObject& body, const QByteArray& key) const
{
    const Answer answer =
        DoubleHttp(m_double.port(), key)
            .json("POST", QStringLiteral("/api/search/metadata"), QJsonDocument(body));
    return answer.status == 200 ? answer.json().object().value(QLatin1String("assets")).toObject()
                                : QJsonObject();
}

void TestImmichDoubleLibrary::seededLibraryPagesInDateOrder()
{
    QSet<QString> ids;
    QString previous;
    const QList<QJsonValue> nextPages = {QStringLiteral("2"), QStringLiteral("3"), QJsonValue()};
    for (int number = 1; number <= 3; ++number) {
        const QJsonObject assets = search(page(number));
        const QJsonArray items = assets.value(QLatin1String("items")).toArray();
        QCOMPARE(assets.value(QLatin1String("total")).toInt(), number < 3 ? 1000 : kSeeded - 2000);
        QCOMPARE(items.size(), assets.value(QLatin1String("total")).toInt());
        QCOMPARE(assets.value(QLatin1String("nextPage")), nextPages[number - 1]);
        for (const QJsonValue& item : items) {
            ids.insert(item[QLatin1String("id")].toString());
            const QString date = item[QLatin1String("fileCreatedAt")].toString();
            QVERIFY2(previous.isEmpty() || date < previous, qPrintable(date));
            previous = date;
            QVERIFY(item[QLatin1String("exifInfo")][QLatin1String("fileSizeInByte")].toInteger() >
                    0);
        }
    }
    QCOMPARE(ids.size(), kSeeded);
    QVERIFY(search(page(4)).value(QLatin1String("items")).toArray().isEmpty());

    const QJsonArray oldest =
        search(page(3, QStringLiteral("asc"))).value(QLatin1String("items")).toArray();
    QCOMPARE(oldest.size(), 500);
    QCOMPARE(oldest.last()[QLatin1String("id")],
             search(page(1)).value(QLatin1String("items"))[0][QLatin1String("id")]);
}

void TestImmichDoubleLibrary::trashedAssetsNeedWithDeleted()
{
    const QString newest =
        search(page(1)).value(QLatin1String("items"))[0][QLatin1String("id")].toString();
    const DoubleHttp http(m_double.port(), "main-key");
    const auto trash = QJsonDocument(
        QJsonObject{{QStringLiteral("ids"), QJsonArray{newest}}, {QStringLiteral("force"), false}});
    QCOMPARE(http.json("DELETE", QStringLiteral("/api/assets"), trash).status, 204);

    QVERIFY(search(page(1)).value(QLatin1String("items"))[0][QLatin1String("id")].toString() !=
            newest);
    QJsonObject withDeleted = page(1);
    withDeleted.insert(QStringLiteral("withDeleted"), true);
    const QJsonValue first = search(withDeleted).value(QLatin1String("items"))[0];
    QCOMPARE(first[QLatin1String("id")].toString(), newest);
    QCOMPARE(first[QLatin1String("isTrashed")].toBool(), true);

    const auto restore = QJsonDocument(QJsonObject{{QStringLiteral("ids"), QJsonArray{newest}}});
    const Answer restored = http.json("POST", QStringLiteral("/api/trash/restore/assets"), restore);
    QCOMPARE(restored.json().object().value(QLatin1String("count")).toInt(), 1);
}

void TestImmichDoubleLibrary::uploadRefusals_data()
{
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("message");

    const MultipartBody noDate = uploadBody("a.jpg", "bytes-a", "2024-01-01T00:00:00Z", false);
    QTest::newRow("no fileCreatedAt") << noDate.contentType << noDate.body << "Validation failed";
    QTest::newRow("not multipart")
        << QByteArray("application/json") << QByteArray("{}") << "Validation failed";
    const MultipartBody text = uploadBody("notes.txt", "bytes-t", "2024-01-01T00:00:00Z");
    QTest::newRow("not a photo or video")
        << text.contentType << text.body << "Unsupported file type notes.txt";
}

void TestImmichDoubleLibrary::uploadRefusals()
{
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, body);
    QFETCH(QString, message);
    const Answer answer = DoubleHttp(m_double.port(), "main-key")
                              .send("POST", QStringLiteral("/api/assets"), body, contentType);
    QCOMPARE(answer.status, 400);
    QCOMPARE(answer.json().object().value(QLatin1String("message")).toString(), message);
}

void TestImmichDoubleLibrary::uploadTakesExifCaptureDate()
{
    const DoubleHttp http(m_double.port(), "main-key");
    const MultipartBody body = uploadBody(
        "exif.jpg", sampleJpeg("2019:08:07 06:05:04", 800, 600, "exif"), "2024-01-01T00:00:00Z");
    const Answer answer =
        http.send("POST", QStringLiteral("/api/assets"), body.body, body.contentType);
    QCOMPARE(answer.status, 201);
    const QJsonObject asset = http.get(QStringLiteral("/api/assets/") +
                                       answer.json().object().value(QLatin1String("id")).toString())
                                  .json()
                                  .object();
    QCOMPARE(asset.value(QLatin1String("fileCreatedAt")).toString(),
             QStringLiteral("2019-08-07T06:05:04.000Z"));
    QCOMPARE(asset.value(QLatin1String("fileModifiedAt")).toString(),
             QStringLiteral("2024-01-01T00:00:00.000Z"));
    QCOMPARE(asset[QLatin1String("exifInfo")][QLatin1String("dateTimeOriginal")].toString(),
             QStringLiteral("2019-08-07T06:05:04+00:00"));
    QCOMPARE(asset.value(QLatin1String("width")).toInt(), 800);
    QCOMPARE(asset.value(QLatin1String("height")).toInt(), 600);
}

void TestImmichDoubleLibrary::duplicatesAreFoundPerUser()
{
    const MultipartBody body =
        uploadBody("same.jpg", sampleJpeg({}, 10, 10, "same"), "2024-01-01T00:00:00Z");
    const auto send = [&](const QByteArray& key) {
        return DoubleHttp(m_double.port(), key)
            .send("POST", QStringLiteral("/api/assets"), body.body, body.contentType);
    };
    const Answer first = send("main-key");
    QCOMPARE(first.status, 201);
    QCOMPARE(send("other-key").status, 201);
    const Answer again = send("main-key");
    QCOMPARE(again.status, 200);
    QCOMPARE(again.json().object().value(QLatin1String("status")).toString(),
             QStringLiteral("duplicate"));
    QCOMPARE(again.json().object().value(QLatin1String("id")),
             first.json().object().value(QLatin1String("id")));
}

QTEST_GUILESS_MAIN(TestImmichDoubleLibrary)
#include "TestImmichDoubleLibrary.moc"
