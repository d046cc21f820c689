// Changes made through the client, checked against the test double's state and request log.
#include "ClientTestSupport.h"
#include "ImmichDoubleProcess.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QTemporaryDir>
#include <QTest>

using namespace pixavella;
using namespace pixavella::testing;

namespace {

QJsonObject bodyOf(const QJsonValue& request)
{
    return QJsonDocument::fromJson(request[QLatin1String("body")].toString().toUtf8()).object();
}

QJsonArray requestsTo(const ImmichDoubleProcess& server, const QString& method, const QString& path)
{
    QJsonArray found;
    const QJsonArray all = server.requests();
    for (const QJsonValue& r : all) {
        if (r[QLatin1String("method")].toString() == method &&
            r[QLatin1String("path")].toString() == path)
            found.append(r);
    }
    return found;
}

} // namespace

class TestImmichClientChanges : public QObject {
    Q_OBJECT

    ImmichDoubleProcess m_double;
    QTemporaryDir m_dir;

    ImmichClient client() const
    {
        return ImmichClient(m_double.url(), QStringLiteral("demo-api-key"));
    }
    Result<ImmichAsset> asset(const QString& id) const
    {
        Awaited<ImmichAsset> got;
        client().getAsset(id, got.completion());
        return got.wait();
    }
    QString addAsset(const QString& name, const QByteArray& bytes, bool trashed)
    {
        return m_double.addAsset(
            {{QStringLiteral("originalFileName"), name},
             {QStringLiteral("base64"), QString::fromLatin1(bytes.toBase64())},
             {QStringLiteral("fileCreatedAt"), QStringLiteral("2024-03-01T10:00:00.000Z")},
             {QStringLiteral("isTrashed"), trashed}});
    }
    QString writeFile(const QString& name, const QByteArray& bytes)
    {
        const QString path = m_dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(m_double.start());
    }
    void init() { m_double.reset(); }
    void uploadOfDuplicate_data();
    void uploadOfDuplicate();
    void newUploadIsCreated();
    void droppedConnectionIsTransient();
};

void TestImmichClientChanges::uploadOfDuplicate_data()
{
    QTest::addColumn<bool>("trashed");
    QTest::newRow("in the trash: restored") << true;
    QTest::newRow("in the library: left alone") << false;
}

void TestImmichClientChanges::newUploadIsCreated()
{
    Awaited<UploadResult> upload;
    client().uploadAsset(
        writeFile(QStringLiteral("new.jpg"), "fresh bytes"), QStringLiteral("Plage \"été\".jpg"),
        QDateTime(QDate(2024, 5, 1), QTime(10, 11, 12), Qt::UTC), upload.completion());
    const Result<UploadResult> result = upload.wait();
    QVERIFY2(result.ok(), describe(result));
    QCOMPARE(result.value().duplicate, false);
    const Result<ImmichAsset> created = asset(result.value().assetId);
    QVERIFY2(created.ok(), describe(created));
    QCOMPARE(created.value().originalFileName, QStringLiteral("Plage %22été%22.jpg"));
    QCOMPARE(parseImmichDate(created.value().fileCreatedAt),
             std::optional(QDateTime(QDate(2024, 5, 1), QTime(10, 11, 12), Qt::UTC)));
}

void TestImmichClientChanges::uploadOfDuplicate()
{
    QFETCH(bool, trashed);
    const QByteArray bytes = "same content " + QByteArray::number(int(trashed));
    const QString existing = addAsset(QStringLiteral("first.jpg"), bytes, trashed);
    m_double.reset();

    Awaited<UploadResult> upload;
    client().uploadAsset(writeFile(QStringLiteral("again.jpg"), bytes), QStringLiteral("again.jpg"),
                         std::nullopt, upload.completion());
    const Result<UploadResult> result = upload.wait();
    QVERIFY2(result.ok(), describe(result));
    QCOMPARE(result.value().assetId, existing);
    QCOMPARE(result.value().duplicate, true);

    const QJsonArray restores = requestsTo(m_double, "POST", "/api/trash/restore/assets");
    QCOMPARE(restores.size(), trashed ? 1 : 0);
    if (trashed)
        QCOMPARE(bodyOf(restores.first())[QLatin1String("ids")].toArray(), QJsonArray{existing});
    const Result<ImmichAsset> after = asset(existing);
    QVERIFY2(after.ok(), describe(after));
    QCOMPARE(after.value().isTrashed, std::optional<bool>(false));
}

void TestImmichClientChanges::droppedConnectionIsTransient()
{
    // Qt sends a request once more after a connection closed without answer: two drops.
    m_double.drop(2, QStringLiteral("/api/assets/statistics"));
    Awaited<ImmichAssetStatistics> stats;
    client().fetchStatistics(stats.completion());
    const Result<ImmichAssetStatistics> result = stats.wait();
    QVERIFY(!result.ok());
    QCOMPARE(result.error().domain, ErrorDomain::Network);
    QCOMPARE(result.error().code, int(QNetworkReply::RemoteHostClosedError));
    QVERIFY(isTransientError(result.error()));

    m_double.fail(503, 1);
    Awaited<ImmichAssetStatistics> unavailable;
    client().fetchStatistics(unavailable.completion());
    QVERIFY(ClientError::isHttp(unavailable.wait().error(), 503));
    QVERIFY(isTransientError(unavailable.wait().error()));
}

QTEST_GUILESS_MAIN(TestImmichClientChanges)
#include "TestImmichClientChanges.moc"
