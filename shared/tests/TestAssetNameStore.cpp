#include "AssetNameStore.h"
#include "Clock.h"
#include "SharedSettings.h"
#include "StoreFiles.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <httplib.h>

#include <condition_variable>
#include <mutex>
#include <thread>

using namespace pixavella;
using Names = AssetNameStore::Names;

namespace {

// A names service that answers what it is told, counts requests and can hold an answer back
// until released.
class FakeNamesService {
public:
    struct Put {
        std::string path, apiKey, contentType, body;
    };

    FakeNamesService()
    {
        m_server.Get(
            "/svc/names", [this](const httplib::Request& request, httplib::Response& response) {
                std::unique_lock lock(m_mutex);
                ++m_gets;
                m_lastKey = request.get_header_value("x-api-key");
                m_changed.notify_all();
                m_changed.wait_for(lock, std::chrono::seconds(30), [this] { return !m_holding; });
                response.status = m_status;
                response.set_content(m_body, "application/json");
                ++m_answered;
            });
        m_server.Put(".*", [this](const httplib::Request& request, httplib::Response& response) {
            std::lock_guard lock(m_mutex);
            m_puts.push_back({request.path, request.get_header_value("x-api-key"),
                              request.get_header_value("Content-Type"), request.body});
            m_changed.notify_all();
            response.status = 204;
        });
        // One request per connection: a kept-alive connection would hold stop() for seconds.
        m_server.set_keep_alive_max_count(1);
        m_port = m_server.bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        // stop() before the accept loop runs would be lost, and the join would never return.
        while (m_port > 0 && !m_server.is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~FakeNamesService()
    {
        release();
        m_server.stop();
        m_thread.join();
    }

    QString url() const { return QStringLiteral("http://127.0.0.1:%1/svc").arg(m_port); }
    void answer(int status, const std::string& body)
    {
        std::lock_guard lock(m_mutex);
        m_status = status;
        m_body = body;
    }
    void hold()
    {
        std::lock_guard lock(m_mutex);
        m_holding = true;
    }
    void release()
    {
        std::lock_guard lock(m_mutex);
        m_holding = false;
        m_changed.notify_all();
    }
    int gets() const
    {
        std::lock_guard lock(m_mutex);
        return m_gets;
    }
    int answered() const
    {
        std::lock_guard lock(m_mutex);
        return m_answered;
    }
    std::string lastKey() const
    {
        std::lock_guard lock(m_mutex);
        return m_lastKey;
    }
    std::optional<Put> waitForPut()
    {
        std::unique_lock lock(m_mutex);
        if (!m_changed.wait_for(lock, std::chrono::seconds(10), [this] { return !m_puts.empty(); }))
            return std::nullopt;
        return m_puts.back();
    }

private:
    httplib::Server m_server;
    std::thread m_thread;
    int m_port = 0;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_status = 200;
    std::string m_body = "{}";
    bool m_holding = false;
    int m_gets = 0;
    int m_answered = 0;
    std::string m_lastKey;
    std::vector<Put> m_puts;
};

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

    std::unique_ptr<FakeNamesService> m_service;

private slots:
    void initTestCase() { SharedSettings::setApiKey(QStringLiteral("test-key")); }

    void init()
    {
        m_service = std::make_unique<FakeNamesService>();
        SharedSettings::setNamesServiceURL(m_service->url());
        writeCacheFile(R"({"a1":"Plage.jpg"})");
    }
    void cleanup() { m_service.reset(); }

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
        m_service->answer(status, body.toStdString());
        store.refresh(false, 4);
        QCOMPARE(m_service->lastKey(), std::string("test-key"));
        QCOMPARE(store.names(), names);
        QCOMPARE(cacheFile(), names);

        const bool replaced = names != kCached;
        store.refresh(false, 4);
        QCOMPARE(m_service->gets(), replaced ? 1 : 2);
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
        m_service->answer(200, R"({"a1":"first"})");
        store.refresh(false, 4);
        m_service->answer(200, R"({"a1":"second"})");
        clock.advance(elapsed);
        store.refresh(force, 4);
        QCOMPARE(m_service->gets(), requests);
        QCOMPARE(store.name("a1"), requests == 2 ? "second" : "first");
    }

    void slowServiceCostsOnlyTheWait()
    {
        ManualClock clock;
        AssetNameStore store;
        m_service->answer(200, R"({"late":"name"})");
        m_service->hold();
        store.refresh(true, 0.3);
        // Back before the service answered, with the names as they were.
        QCOMPARE(m_service->answered(), 0);
        QCOMPARE(store.names(), kCached);
        m_service->release();

        // Nothing was recorded as refreshed: the next call asks again, even unforced.
        store.refresh(false, 4);
        QCOMPARE(store.names(), (Names{{"late", "name"}}));
        QCOMPARE(m_service->gets(), 2);
    }

    void setNameIsVisibleAtOnceAndSentToTheService()
    {
        ManualClock clock;
        AssetNameStore store;
        store.setName("a2", "Mon chat.jpg");
        QCOMPARE(store.name("a2"), QStringLiteral("Mon chat.jpg"));
        QCOMPARE(cacheFile(), (Names{{"a1", "Plage.jpg"}, {"a2", "Mon chat.jpg"}}));
        const std::optional<FakeNamesService::Put> put = m_service->waitForPut();
        QVERIFY(put);
        QCOMPARE(put->path, std::string("/svc/names/a2"));
        QCOMPARE(put->apiKey, std::string("test-key"));
        QCOMPARE(put->contentType, std::string("application/json"));
        QCOMPARE(QJsonDocument::fromJson(QByteArray::fromStdString(put->body)).object(),
                 (QJsonObject{{"name", "Mon chat.jpg"}}));
    }

    void renameSurvivesAnUnreachableServiceUntilTheNextRefresh()
    {
        ManualClock clock;
        const QString url = m_service->url();
        m_service.reset(); // nothing listens there any more
        AssetNameStore store;
        store.setName("a2", "Mon chat.jpg");
        store.refresh(true, 4);
        QCOMPARE(store.name("a2"), QStringLiteral("Mon chat.jpg"));

        // The service is back without that name: the service wins.
        m_service = std::make_unique<FakeNamesService>();
        SharedSettings::setNamesServiceURL(m_service->url());
        m_service->answer(200, R"({"a1":"Plage.jpg"})");
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
        QCOMPARE(m_service->gets(), 0);
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
