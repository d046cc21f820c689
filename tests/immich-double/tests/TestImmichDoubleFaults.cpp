// Fault injection and the request log of the Immich double, as other tests rely on them.
#include "DoubleHttp.h"
#include "ImmichDoubleProcess.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QTest>

using immichdouble::testing::Answer;
using immichdouble::testing::DoubleHttp;
using pixavella::testing::ImmichDoubleProcess;

class TestImmichDoubleFaults : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void failAnswersStatusForNextRequestsOnly_data();
    void failAnswersStatusForNextRequestsOnly();
    void faultsMatchAPathPrefixUntilReset();
    void requestLogRecordsApiRequests();
    void controlUsersListsKeys();

private:
    ImmichDoubleProcess m_double;
};

void TestImmichDoubleFaults::initTestCase()
{
    QVERIFY(m_double.start({QStringLiteral("--user"), QStringLiteral("a@x.test:pw:key-a"),
                            QStringLiteral("--user"), QStringLiteral("b@x.test:pw2")}));
}

void TestImmichDoubleFaults::init()
{
    m_double.reset();
}

void TestImmichDoubleFaults::failAnswersStatusForNextRequestsOnly_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");
    QTest::newRow("503") << 503 << QStringLiteral("Injected failure");
    QTest::newRow("401") << 401 << QStringLiteral("Invalid API key");
}

void TestImmichDoubleFaults::failAnswersStatusForNextRequestsOnly()
{
    QFETCH(int, status);
    QFETCH(QString, message);
    const DoubleHttp http(m_double.port(), "key-a");
    m_double.fail(status, 2);
    for (int i = 0; i < 2; ++i) {
        const Answer answer = http.get(QStringLiteral("/api/users/me"));
        QCOMPARE(answer.status, status);
        QCOMPARE(answer.json().object().value(QLatin1String("message")).toString(), message);
    }
    QCOMPARE(http.get(QStringLiteral("/api/users/me")).status, 200);
}

void TestImmichDoubleFaults::faultsMatchAPathPrefixUntilReset()
{
    const DoubleHttp http(m_double.port(), "key-a");
    m_double.fail(500, 1, QStringLiteral("/api/assets"));
    m_double.drop(1, QStringLiteral("/api/users"));
    QCOMPARE(http.get(QStringLiteral("/api/albums")).status, 200);
    QCOMPARE(http.get(QStringLiteral("/api/assets/statistics")).status, 500);
    QCOMPARE(http.get(QStringLiteral("/api/assets/statistics")).status, 200);
    QCOMPARE(http.get(QStringLiteral("/api/users/me")).status, -1);
    QCOMPARE(http.get(QStringLiteral("/api/users/me")).status, 200);
    // The dropped request was received, so it is in the log.
    QCOMPARE(m_double.requests().size(), 5);

    m_double.fail(500, 5);
    m_double.drop(5, QStringLiteral("/api/albums"));
    m_double.reset();
    QCOMPARE(m_double.requests().size(), 0);
    QCOMPARE(http.get(QStringLiteral("/api/users/me")).status, 200);
    QCOMPARE(http.get(QStringLiteral("/api/albums")).status, 200);
}

void TestImmichDoubleFaults::requestLogRecordsApiRequests()
{
    const DoubleHttp http(m_double.port(), "key-a");
    http.json("POST", QStringLiteral("/api/search/metadata?x=1"),
              QJsonDocument(QJsonObject{{QStringLiteral("page"), 1}}));
    http.send("POST", QStringLiteral("/api/assets"), QByteArray("\xff\xfe\x00", 3),
              "application/octet-stream");
    m_double.control("GET", QStringLiteral("/_double/users")); // not an /api request

    const QJsonArray log = m_double.requests();
    QCOMPARE(log.size(), 2);
    const QJsonObject search = log[0].toObject();
    QCOMPARE(search.value(QLatin1String("method")).toString(), QStringLiteral("POST"));
    QCOMPARE(search.value(QLatin1String("path")).toString(),
             QStringLiteral("/api/search/metadata"));
    QCOMPARE(search.value(QLatin1String("query")).toString(), QStringLiteral("x=1"));
    QCOMPARE(search.value(QLatin1String("headers")).toObject().value(QLatin1String("x-api-key")),
             QJsonValue(QStringLiteral("key-a")));
    QCOMPARE(search.value(QLatin1String("body")).toString(), QStringLiteral("{\"page\":1}"));
    QCOMPARE(search.value(QLatin1String("bodySize")).toInt(), 10);
    const QJsonObject binary = log[1].toObject();
    QCOMPARE(binary.value(QLatin1String("bodySize")).toInt(), 3);
    QVERIFY(!binary.contains(QLatin1String("body")));
}

void TestImmichDoubleFaults::controlUsersListsKeys()
{
    const QJsonArray users = m_double.control("GET", QStringLiteral("/_double/users")).array();
    QCOMPARE(users.size(), 2);
    QCOMPARE(users[0].toObject().value(QLatin1String("email")).toString(),
             QStringLiteral("a@x.test"));
    QCOMPARE(users[0].toObject().value(QLatin1String("apiKeys")).toArray(),
             QJsonArray{QStringLiteral("key-a")});
    QVERIFY(users[1].toObject().value(QLatin1String("apiKeys")).toArray().isEmpty());
}

QTEST_GUILESS_MAIN(TestImmichDoubleFaults)
#include "TestImmichDoubleFaults.moc"
