#include "ContainerPaths.h"
#include "EnumerationSnapshots.h"
#include "SettingsSuite.h"
#include "SharedSettings.h"

#include <QTest>
#include <QTimeZone>

using namespace pixavella;

namespace {

void clearAll()
{
    for (const char* key :
         {SharedSettings::Key::serverURL, SharedSettings::Key::userEmail,
          SharedSettings::Key::apiKeyId, SharedSettings::Key::namesServiceURL,
          SharedSettings::Key::lastRefresh, SharedSettings::Key::skipQuitConfirmation})
        SettingsSuite::shared().remove(QLatin1String(key));
    SharedSettings::setApiKey(QString());
}

} // namespace

class TestSharedSettings : public QObject {
    Q_OBJECT

private slots:
    void init() { clearAll(); }
    void namesServiceURL_data();
    void namesServiceURL();
    void apiKeyAndClient_data();
    void apiKeyAndClient();
    void enumerationSnapshots();
    void lastRefreshReading_data();
    void lastRefreshReading();
    void lastRefreshWriting();
};

void TestSharedSettings::namesServiceURL_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<std::optional<QString>>("storedNames");
    QTest::addColumn<QString>("expected");

    QTest::newRow("trailing slash") << "https://photos.example/" << std::optional<QString>()
                                    << "https://photos.example/pixavella-names";
    QTest::newRow("only one slash removed")
        << "https://photos.example/immich//" << std::optional<QString>()
        << "https://photos.example/immich//pixavella-names";
    QTest::newRow("stored value unchanged")
        << "https://photos.example"
        << std::optional<QString>(QStringLiteral("https://names.example/base/"))
        << "https://names.example/base/";
    QTest::newRow("stored empty text falls back")
        << "https://photos.example/" << std::optional<QString>(QString())
        << "https://photos.example/pixavella-names";
}

void TestSharedSettings::namesServiceURL()
{
    QFETCH(QString, server);
    QFETCH(std::optional<QString>, storedNames);
    QFETCH(QString, expected);

    SharedSettings::setServerURL(server);
    if (storedNames)
        SharedSettings::setNamesServiceURL(*storedNames);
    QCOMPARE(SharedSettings::namesServiceURL(), expected);
}

void TestSharedSettings::apiKeyAndClient_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<bool>("configured");

    QTest::newRow("https address") << "https://photos.example/" << true;
    QTest::newRow("address with port") << "http://127.0.0.1:2283" << true;
    QTest::newRow("no scheme") << "photos.example" << false;
    QTest::newRow("not a URL") << "http://exa mple/" << false;
}

void TestSharedSettings::apiKeyAndClient()
{
    QFETCH(QString, server);
    QFETCH(bool, configured);

    SharedSettings::setServerURL(server);
    SharedSettings::setApiKey(QStringLiteral("s3cr3t"));
    QCOMPARE(SharedSettings::apiKey(), std::optional<QString>(QStringLiteral("s3cr3t")));
    QCOMPARE(SharedSettings::isConfigured(), configured);
    const std::optional<ImmichClient> client = SharedSettings::makeClient();
    QCOMPARE(client.has_value(), configured);
    if (client) {
        QCOMPARE(client->baseURL(), QUrl(server));
        QCOMPARE(client->apiKey(), QStringLiteral("s3cr3t"));
    }

    // An empty key signs out.
    SharedSettings::setApiKey(QString());
    QVERIFY(!SharedSettings::apiKey());
    QVERIFY(!SharedSettings::isConfigured());
    QVERIFY(!SharedSettings::makeClient());
}

void TestSharedSettings::lastRefreshReading_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<qint64>("msecs"); // 0: no date

    QTest::newRow("zero") << QVariant(0.0) << qint64(0);
    QTest::newRow("negative") << QVariant(-12.5) << qint64(0);
    QTest::newRow("text") << QVariant(QStringLiteral("1700000000")) << qint64(0);
    QTest::newRow("seconds with fraction") << QVariant(1'700'000'000.25) << 1'700'000'000'250LL;
    QTest::newRow("whole seconds") << QVariant(qint64(1'700'000'000)) << 1'700'000'000'000LL;
}

void TestSharedSettings::lastRefreshReading()
{
    QFETCH(QVariant, stored);
    QFETCH(qint64, msecs);

    SettingsSuite::shared().setValue(QLatin1String(SharedSettings::Key::lastRefresh), stored);
    const std::optional<QDateTime> when = SharedSettings::lastRefresh();
    if (msecs == 0) {
        QVERIFY(!when);
        return;
    }
    QVERIFY(when.has_value());
    QCOMPARE(when->toMSecsSinceEpoch(), msecs);
}

void TestSharedSettings::lastRefreshWriting()
{
    const QDateTime instant = QDateTime::fromMSecsSinceEpoch(1'700'000'123'500LL, QTimeZone::utc());
    SharedSettings::setLastRefresh(instant);
    const QVariant stored =
        SettingsSuite::shared().value(QLatin1String(SharedSettings::Key::lastRefresh));
    QCOMPARE(stored.metaType().id(), QMetaType::Double);
    QCOMPARE(stored.toDouble(), 1'700'000'123.5);
    QCOMPARE(SharedSettings::lastRefresh(), std::optional<QDateTime>(instant));

    SharedSettings::setLastRefresh(std::nullopt);
    const QVariant cleared =
        SettingsSuite::shared().value(QLatin1String(SharedSettings::Key::lastRefresh));
    QCOMPARE(cleared.metaType().id(), QMetaType::LongLong);
    QCOMPARE(cleared.toLongLong(), 0);
    QVERIFY(!SharedSettings::lastRefresh());
}

void TestSharedSettings::enumerationSnapshots()
{
    EnumerationSnapshots snapshots(SettingsSuite::shared());
    const QString container = QStringLiteral("album:L1");
    QVERIFY(snapshots.load(container).isEmpty());
    snapshots.save(container, {"ai:L1:a", "ai:L1:b", "pending:X"});
    snapshots.save(container, {"ai:L1:a", "ai:L1:c"});
    snapshots.save(QStringLiteral("photos"), {"year:2024"});
    // Read back through another instance of the suite: nothing may come from memory.
    SettingsSuite reopened(ContainerPaths::container() + QStringLiteral("/Preferences.sqlite"));
    QCOMPARE(EnumerationSnapshots(reopened).load(container), (QSet<QString>{"ai:L1:a", "ai:L1:c"}));
    QCOMPARE(snapshots.load(QStringLiteral("photos")), QSet<QString>{"year:2024"});
    snapshots.save(container, {});
    QVERIFY(snapshots.load(container).isEmpty());

    SettingsSuite::shared().setValue(QStringLiteral("snap.root"), QVariantMap{{"a", 1.0}});
    QVERIFY(snapshots.load(QStringLiteral("root")).isEmpty());
}

QTEST_GUILESS_MAIN(TestSharedSettings)
#include "TestSharedSettings.moc"
