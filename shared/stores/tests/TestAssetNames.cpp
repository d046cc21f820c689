// The names as the drive keeps them against a names service that fails, refuses or lies:
// only a good list replaces them, renames wait for the service and are sent in order, a
// failing service is asked once per wait, and a refused rename is undone and told.
#include "AssetNameStore.h"
#include "Clock.h"
#include "DelayedCall.h"
#include "HttpSession.h"
#include "NamesServiceHealth.h"
#include "RecordingServer.h"
#include "RenameQueue.h"
#include "SettingsSuite.h"
#include "SharedSettings.h"
#include "StoreFiles.h"
#include "UserNoticeQueue.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace pixavella;
using namespace pixavella::testing;
using Answer = RecordingServer::Answer;
using namespace std::chrono_literals;

class TestAssetNames : public QObject {
    Q_OBJECT

private:
    // PUT and GET answered as given.
    void answer(Answer put, Answer get = {200, "{}"})
    {
        m_server.setScript([put, get](const RecordingServer::Request& request) {
            return request.method == "PUT" ? put : get;
        });
    }
    qsizetype puts() const
    {
        qsizetype count = 0;
        for (const RecordingServer::Request& request : m_server.requests())
            count += request.method == "PUT";
        return count;
    }
    QString lastPutName() const
    {
        const QList<RecordingServer::Request> requests = m_server.requests();
        for (auto it = requests.rbegin(); it != requests.rend(); ++it) {
            if (it->method == "PUT")
                return QJsonDocument::fromJson(it->body)[u"name"].toString();
        }
        return {};
    }

    RecordingServer m_server;
    RenameQueue m_queue;
    UserNoticeQueue m_notices{SettingsSuite::shared()};
    std::unique_ptr<ManualClock> m_clock;
    std::unique_ptr<NamesServiceHealth> m_health;
    std::unique_ptr<AssetNameStore> m_store;

    // A store as a start of the program makes it: loaded from the files the last one left.
    std::unique_ptr<AssetNameStore> newStore()
    {
        return std::make_unique<AssetNameStore>(m_queue, *m_health, SettingsSuite::shared(),
                                                HttpSession::shared(), m_notices);
    }

private slots:
    // The retry behind a failing service: an earlier arm moves the pending call, a later one
    // leaves it, and the destructor cancels what is pending without waiting for it.
    void delayedCall()
    {
        std::atomic<int> calls = 0;
        auto retry = std::make_unique<DelayedCall>([&calls] { ++calls; });
        retry->armWithin(10h);
        retry->armWithin(20ms);
        retry->armWithin(10h);
        QTRY_COMPARE(calls.load(), 1);
        retry->armWithin(10h);
        retry.reset();
        QCOMPARE(calls.load(), 1);
    }

    void initTestCase()
    {
        SharedSettings::setApiKey(QStringLiteral("key"));
        SharedSettings::setNamesServiceURL(m_server.url().toString() + "/pixavella-names");
    }

    void init()
    {
        // What a sign-out leaves, before the store under test reads the cache file.
        AssetNameStore::removeCacheFile();
        m_queue.clear();
        NamesServiceHealth::unmark(SettingsSuite::shared());
        m_notices.drain();
        m_server.clear();
        answer({200, "{}"});
        m_clock.reset(); // before the next one takes its place: its destructor restores the clock
        m_clock = std::make_unique<ManualClock>();
        m_health = std::make_unique<NamesServiceHealth>(SettingsSuite::shared());
        m_store = newStore();
    }
    void cleanup() { m_store.reset(); }

    void onlyAGoodListReplacesTheNames_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("shown");
        QTest::newRow("an error page shaped like a list")
            << 500 << QByteArray(R"({"a": "Erased.jpg"})") << "Old.jpg";
        QTest::newRow("an error object")
            << 502 << QByteArray(R"({"message": "Bad Gateway"})") << "Old.jpg";
        QTest::newRow("a good list") << 200 << QByteArray(R"({"a": "New.jpg"})") << "New.jpg";
    }
    void onlyAGoodListReplacesTheNames()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, shown);
        m_store->setName("a", "Old.jpg");
        QTRY_VERIFY(m_queue.list().isEmpty());

        answer({200, "{}"}, {status, body});
        m_store->refresh(true, 10);
        QCOMPARE(m_store->name("a"), shown);
        // What the next start shows.
        QCOMPARE(newStore()->name("a"), shown);
    }

    void renamesWaitForTheServiceAndTheLastOneWins()
    {
        answer({503, R"({"message": "The name storage is unavailable."})"});
        m_store->setName("a", "One.jpg");
        QTRY_VERIFY(m_health->isFailing());
        QVERIFY(NamesServiceHealth::isMarkedUnreachable(SettingsSuite::shared()));
        m_store->setName("a", "Two.jpg");
        QCOMPARE(puts(), 1);
        QCOMPARE(m_store->name("a"), QString("Two.jpg"));

        // Back for listing but not yet for storing: the queued name outlives the list.
        m_clock->advance(5);
        m_store->refresh(true, 10);
        QCOMPARE(m_store->name("a"), QString("Two.jpg"));
        QTRY_COMPARE(puts(), 2);
        QTRY_VERIFY(m_health->isFailing());

        // A restart in between: the queue is all the next run knows.
        m_store = newStore();
        answer({200, R"({"assetId": "a", "name": "Two.jpg"})"});
        m_clock->advance(5);
        m_store->sendQueued();
        QTRY_VERIFY(m_queue.list().isEmpty());
        QCOMPARE(puts(), 3);
        QCOMPARE(lastPutName(), QString("Two.jpg"));
        QVERIFY(!m_health->isFailing());
        QVERIFY(!NamesServiceHealth::isMarkedUnreachable(SettingsSuite::shared()));
    }

    void aFailingServiceIsAskedOncePerWait()
    {
        answer({502, R"({"message": "Bad Gateway"})"}, {502, R"({"message": "Bad Gateway"})"});
        m_store->setName("a", "A.jpg");
        QTRY_VERIFY(m_health->isFailing());
        m_store->setName("b", "B.jpg");
        qsizetype asked = m_server.requests().size();
        QCOMPARE(asked, 1);
        for (const int wait : {5, 30, 60, 60}) {
            m_clock->advance(wait - 0.5);
            m_store->sendQueued();
            m_store->refresh(true, 10);
            QTest::qWait(100);
            QCOMPARE(m_server.requests().size(), asked);
            m_clock->advance(0.5);
            m_store->refresh(true, 10);
            m_store->sendQueued();
            QTRY_COMPARE(m_health->nextAttempt(), Clock::now().addSecs(wait == 5 ? 30 : 60));
            QCOMPARE(m_server.requests().size(), ++asked);
        }
    }

    void aRefusedRenameIsUndoneAndTold_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("before"); // empty: never renamed
        QTest::newRow("invalid name") << 400 << "Old.jpg";
        QTest::newRow("forbidden") << 403 << "";
    }
    void aRefusedRenameIsUndoneAndTold()
    {
        QFETCH(int, status);
        QFETCH(QString, before);
        QStringList undone;
        m_store->setRefusalListener([&undone](const QString& assetId) { undone.append(assetId); });
        if (!before.isEmpty()) {
            m_store->setName("a", before);
            QTRY_VERIFY(m_queue.list().isEmpty());
        }
        answer({status, R"({"message": "no"})"});
        m_store->setName("a", "Refusé.jpg");
        QTRY_COMPARE(undone, QStringList{"a"});
        QCOMPARE(m_store->name("a"), before.isEmpty() ? std::nullopt : std::optional(before));
        QVERIFY(m_queue.list().isEmpty());
        QVERIFY(!m_health->isFailing());
        const QStringList told = m_notices.drain();
        QCOMPARE(told.size(), 1);
        QVERIFY2(told[0].contains("« Refusé.jpg »") && told[0].contains("nom précédent"),
                 qPrintable(told[0]));
    }
};

QTEST_GUILESS_MAIN(TestAssetNames)
#include "TestAssetNames.moc"
