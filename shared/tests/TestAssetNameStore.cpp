#include "AssetNameStore.h"
#include "Clock.h"
#include "RecordingServer.h"
#include "SharedSettings.h"
#include "StoreFiles.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <condition_variable>
#include <mutex>

using namespace pixavella;
using Names = AssetNameStore::Names;
using pixavella::testing::RecordingServer;

namespace {

QString cachePath()
{
    return StoreFiles::containerFile(QStringLiteral("names-cache.json")).value_or(QString());
}

Names cacheFile()
{
    const QJsonObject object =
        QJsonDocument::fromJson(StoreFiles::read(cachePath()).value_or(QByteArray())).object();
    Names names;
    for (auto it = object.begin(); it != object.end(); ++it)
        names.insert(it.key(), it.value().toString());
    return names;
}

void writeCacheFile(const QByteArray& bytes)
{
    QVERIFY(StoreFiles::writeAtomically(cachePath(), bytes));
}

const Names kCached{{"a1", "Plage.jpg"}};

} // namespace

class TestAssetNameStore : public QObject {
    Q_OBJECT

    // The names service: answers what it is told, and can hold a listing back until released.
    RecordingServer m_service;
    std::mutex m_mutex;
    std::condition_variable m_released;
    bool m_holding = false;           // protected by m_mutex
    RecordingServer::Answer m_answer; // protected by m_mutex
    std::atomic<int> m_answered = 0;

    QString url() const { return m_service.url().toString() + QStringLiteral("/svc"); }
    void answer(int status, const QByteArray& body)
    {
        std::lock_guard lock(m_mutex);
        m_answer = {status, body};
    }
    void hold(bool holding)
    {
        std::lock_guard lock(m_mutex);
        m_holding = holding;
        m_released.notify_all();
    }
    QList<RecordingServer::Request> requests(const QByteArray& method) const
    {
        QList<RecordingServer::Request> found;
        for (const RecordingServer::Request& request : m_service.requests())
            if (request.method == method)
                found << request;
        return found;
    }
    int gets() const { return int(requests("GET").size()); }

private slots:
    void initTestCase()
    {
        SharedSettings::setApiKey(QStringLiteral("test-key"));
        m_service.setScript([this](const RecordingServer::Request& request) {
            if (request.method != "GET")
                return RecordingServer::Answer{204, {}};
            std::unique_lock lock(m_mutex);
            m_released.wait_for(lock, std::chrono::seconds(30), [this] { return !m_holding; });
            ++m_answered;
            return m_answer;
        });
    }

    void init()
    {
        m_service.clear();
        answer(200, "{}");
        m_answered = 0;
        SharedSettings::setNamesServiceURL(url());
        writeCacheFile(R"({"a1":"Plage.jpg"})");
    }
    void cleanup() { hold(false); }

    void startsFromTheCacheFile_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<Names>("names");
        QTest::newRow("names") << QByteArray(R"({"a1":"Plage.jpg","a2":"Été.heic"})")
                               << Names{{"a1", "Plage.jpg"}, {"a2", "Été.heic"}};
        QTest::newRow("one number spoils the file")
            << QByteArray(R"({"a1":"Plage.jpg","a2":7})") << Names{};
        QTest::newRow("truncated") << QByteArray("{\"a1\":\"Pla") << Names{};
    }
    void startsFromTheCacheFile()
    {
        QFETCH(QByteArray, content);
        QFETCH(Names, names);
        writeCacheFile(content);
        AssetNameStore store;
        QCOMPARE(store.names(), names);
        QCOMPARE(store.name("a2"),
                 names.contains("a2") ? std::optional(names["a2"]) : std::nullopt);
    }

    // Whatever HTTP status comes with it, an object of texts replaces the names; anything else
    // leaves them and lets the next call ask again.
    void refreshTakesObjectsOfTexts_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<Names>("names"); // empty: unchanged
        QTest::newRow("names") << 200 << QByteArray(R"({"b1":"Neige.jpg"})")
                               << Names{{"b1", "Neige.jpg"}};
        QTest::newRow("server error with an object")
            << 500 << QByteArray(R"({"a": "b"})") << Names{{"a", "b"}};
        QTest::newRow("no names") << 200 << QByteArray("{}") << Names{};
        QTest::newRow("number value") << 200 << QByteArray(R"({"a1":"x","a2":3})") << kCached;
        QTest::newRow("not JSON") << 502 << QByteArray("<html>Bad gateway</html>") << kCached;
    }
    void refreshTakesObjectsOfTexts()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(Names, names);
        ManualClock clock;
        AssetNameStore store;
        answer(status, body);
        store.refresh(false, 4);
        QCOMPARE(requests("GET").last().headers.value("x-api-key"), QByteArray("test-key"));
        QCOMPARE(store.names(), names);
        QCOMPARE(cacheFile(), names);

        const bool replaced = names != kCached;
        store.refresh(false, 4);
        QCOMPARE(gets(), replaced ? 1 : 2);
    }

    void refreshAsksAtMostEveryTenSeconds_data()
    {
        QTest::addColumn<double>("elapsed");
        QTest::addColumn<bool>("force");
        QTest::addColumn<int>("requests");
        QTest::newRow("at once") << 0.0 << false << 1;
        QTest::newRow("9.999 s later") << 9.999 << false << 1;
        QTest::newRow("10 s later") << 10.0 << false << 2;
        QTest::newRow("forced at once") << 0.0 << true << 2;
    }
    void refreshAsksAtMostEveryTenSeconds()
    {
        QFETCH(double, elapsed);
        QFETCH(bool, force);
        QFETCH(int, requests);
        ManualClock clock;
        AssetNameStore store;
        answer(200, R"({"a1":"first"})");
        store.refresh(false, 4);
        answer(200, R"({"a1":"second"})");
        clock.advance(elapsed);
        store.refresh(force, 4);
        QCOMPARE(gets(), requests);
        QCOMPARE(store.name("a1"), requests == 2 ? "second" : "first");
    }

    void slowServiceCostsOnlyTheWait()
    {
        ManualClock clock;
        AssetNameStore store;
        answer(200, R"({"late":"name"})");
        hold(true);
        store.refresh(true, 0.3);
        // Back before the service answered, with the names as they were.
        QCOMPARE(m_answered.load(), 0);
        QCOMPARE(store.names(), kCached);
        hold(false);

        // Nothing was recorded as refreshed: the next call asks again, even unforced.
        store.refresh(false, 4);
        QCOMPARE(store.names(), (Names{{"late", "name"}}));
        QCOMPARE(gets(), 2);
    }

    void setNameIsVisibleAtOnceAndSentToTheService()
    {
        ManualClock clock;
        AssetNameStore store;
        store.setName("a2", "Mon chat.jpg");
        QCOMPARE(store.name("a2"), QStringLiteral("Mon chat.jpg"));
        QCOMPARE(cacheFile(), (Names{{"a1", "Plage.jpg"}, {"a2", "Mon chat.jpg"}}));
        QTRY_COMPARE(requests("PUT").size(), 1);
        const RecordingServer::Request put = requests("PUT").first();
        QCOMPARE(put.path, QByteArray("/svc/names/a2"));
        QCOMPARE(put.headers.value("x-api-key"), QByteArray("test-key"));
        QCOMPARE(put.headers.value("content-type"), QByteArray("application/json"));
        QCOMPARE(QJsonDocument::fromJson(put.body).object(),
                 (QJsonObject{{"name", "Mon chat.jpg"}}));
    }

    void renameSurvivesAnUnreachableServiceUntilTheNextRefresh()
    {
        ManualClock clock;
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        SharedSettings::setNamesServiceURL(
            QStringLiteral("http://127.0.0.1:%1/svc").arg(closed.serverPort()));
        closed.close(); // nothing listens there any more
        AssetNameStore store;
        store.setName("a2", "Mon chat.jpg");
        store.refresh(true, 4);
        QCOMPARE(store.name("a2"), QStringLiteral("Mon chat.jpg"));

        // The service is back without that name: the service wins.
        SharedSettings::setNamesServiceURL(url());
        answer(200, R"({"a1":"Plage.jpg"})");
        store.refresh(true, 4);
        QCOMPARE(store.name("a2"), std::nullopt);
        QCOMPARE(cacheFile(), kCached);
    }

    void unusableServiceURLSendsNothing()
    {
        SharedSettings::setNamesServiceURL(QStringLiteral("not a url"));
        AssetNameStore store;
        store.refresh(true, 4);
        store.setName("a2", "x");
        QCOMPARE(store.name("a2"), QStringLiteral("x"));
        QCOMPARE(gets(), 0);
    }

    void removeCacheFile()
    {
        AssetNameStore::removeCacheFile();
        QVERIFY(!QFile::exists(cachePath()));
        QCOMPARE(AssetNameStore().names(), Names());
    }

    // The real service, checking keys at the Immich double: a rename reaches it and another
    // process (a fresh store) gets it back.
    void throughTheNamesService()
    {
        const QString build = qEnvironmentVariable("PIXAVELLA_BUILD_DIR");
        const QString namesBinary = build + "/names-service/pixavella-names";
        const QString doubleBinary = build + "/tests/immich-double/immich-double";
        if (!QFileInfo(namesBinary).isExecutable() || !QFileInfo(doubleBinary).isExecutable())
            QSKIP("pixavella-names or immich-double is not built");

        QProcess immich;
        const auto stopImmich = qScopeGuard([&] { stop(immich); });
        const std::optional<quint16> immichPort =
            start(immich, doubleBinary, {"--user", "ana@example.test:pw:ana-key"});
        QVERIFY(immichPort);
        QTemporaryDir data;
        QProcess names;
        const auto stopNames = qScopeGuard([&] { stop(names); });
        const std::optional<quint16> namesPort =
            start(names, namesBinary,
                  {"--listen", "127.0.0.1:0", "--immich-url",
                   QStringLiteral("http://127.0.0.1:%1").arg(*immichPort), "--database",
                   data.filePath("names.sqlite")});
        QVERIFY(namesPort);
        // What the application stores at sign-in: the address of the service and the key.
        SharedSettings::setNamesServiceURL(
            QStringLiteral("http://127.0.0.1:%1/pixavella-names").arg(*namesPort));
        SharedSettings::setApiKey(QStringLiteral("ana-key"));
        QFile::remove(cachePath());

        const QString asset = QStringLiteral("8a1f0c4e-2b7d-4c39-9e5a-3f6b1d2c7e90");
        AssetNameStore writer;
        writer.setName(asset, QStringLiteral("Été à Biarritz.jpg"));
        AssetNameStore reader;
        QTRY_COMPARE_WITH_TIMEOUT((reader.refresh(true, 4), reader.name(asset)),
                                  std::optional(QStringLiteral("Été à Biarritz.jpg")), 20'000);
        SharedSettings::setApiKey(QStringLiteral("test-key"));
    }

private:
    static void stop(QProcess& process)
    {
        process.kill();
        process.waitForFinished(10'000);
    }

    static std::optional<quint16> start(QProcess& process, const QString& program,
                                        const QStringList& arguments)
    {
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(program, arguments);
        const QRegularExpression listening(QStringLiteral("listening on [^:\\s]+:(\\d+)"));
        QByteArray output;
        const QDeadlineTimer deadline(20'000);
        while (!deadline.hasExpired() && process.waitForReadyRead(int(deadline.remainingTime()))) {
            output += process.readAllStandardOutput();
            const QRegularExpressionMatch match = listening.match(QString::fromUtf8(output));
            if (match.hasMatch())
                return quint16(match.captured(1).toUInt());
        }
        qWarning() << program << "did not start:" << output;
        return std::nullopt;
    }
};

QTEST_GUILESS_MAIN(TestAssetNameStore)
#include "TestAssetNameStore.moc"
