#include "ApiKeyVerifier.h"
#include "ImmichDoubleProcess.h"

#include <QJsonArray>
#include <QTest>

using namespace pixavella::names;
using namespace pixavella::testing;
using namespace Qt::StringLiterals;
using Kind = ApiKeyVerifier::Verdict::Kind;

class TestApiKeyVerifier : public QObject {
    Q_OBJECT

private:
    // How many key checks reached the double since the last reset.
    int checksAtImmich() const;
    ApiKeyVerifier::TimeSource clock()
    {
        return [this] { return m_now; };
    }

    ImmichDoubleProcess m_immich;
    ApiKeyVerifier::TimePoint m_now{std::chrono::hours(1000)};

private slots:
    void initTestCase();
    void init();

    void trustsAnAcceptedKeyForSixtySeconds();
    void neverRemembersRefusalsOrFailures_data();
    void neverRemembersRefusalsOrFailures();
    void remembersOnlyTheNewestAcceptedKeys();
};

int TestApiKeyVerifier::checksAtImmich() const
{
    int count = 0;
    const QJsonArray requests = m_immich.requests();
    for (const QJsonValue& request : requests)
        count += request[u"path"_s].toString() == u"/api/users/me"_s;
    return count;
}

void TestApiKeyVerifier::initTestCase()
{
    QVERIFY(
        m_immich.start({u"--user"_s, u"a@example.org:pa:key-a"_s, u"--user"_s,
                        u"b@example.org:pb:key-b"_s, u"--user"_s, u"c@example.org:pc:key-c"_s}));
}

void TestApiKeyVerifier::init()
{
    m_immich.reset();
}

void TestApiKeyVerifier::trustsAnAcceptedKeyForSixtySeconds()
{
    ApiKeyVerifier verifier(m_immich.url(), clock());
    QCOMPARE(verifier.verify("key-a").kind, Kind::Trusted);
    // From now on Immich refuses the key, as after its revocation.
    m_immich.fail(401, 100, u"/api/users/me"_s);

    m_now += std::chrono::seconds(59);
    QCOMPARE(verifier.verify("key-a").kind, Kind::Trusted);
    QCOMPARE(checksAtImmich(), 1);

    m_now += std::chrono::seconds(1);
    QCOMPARE(verifier.verify("key-a").kind, Kind::Rejected);
    QCOMPARE(checksAtImmich(), 2);
}

void TestApiKeyVerifier::neverRemembersRefusalsOrFailures_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<Kind>("first");
    QTest::newRow("refused") << u"401"_s << Kind::Rejected;
    QTest::newRow("server error") << u"500"_s << Kind::Unavailable;
    QTest::newRow("connection dropped") << u"drop"_s << Kind::Unavailable;
}

void TestApiKeyVerifier::neverRemembersRefusalsOrFailures()
{
    QFETCH(QString, fault);
    QFETCH(Kind, first);
    ApiKeyVerifier verifier(m_immich.url(), clock());
    if (fault == u"drop"_s)
        m_immich.drop(1, u"/api/users/me"_s);
    else
        m_immich.fail(fault.toInt(), 1, u"/api/users/me"_s);

    QCOMPARE(verifier.verify("key-a").kind, first);
    QCOMPARE(verifier.verify("key-a").kind, Kind::Trusted);
}

void TestApiKeyVerifier::remembersOnlyTheNewestAcceptedKeys()
{
    ApiKeyVerifier verifier(m_immich.url(), clock(), 2);
    // Empty and oversized keys are refused without asking.
    QCOMPARE(verifier.verify("").kind, Kind::Rejected);
    QCOMPARE(verifier.verify(std::string(ApiKeyVerifier::maxKeyLength + 1, 'k')).kind,
             Kind::Rejected);
    QCOMPARE(checksAtImmich(), 0);
    QCOMPARE(verifier.verify("key-a").kind, Kind::Trusted);
    m_now += std::chrono::seconds(1);
    QCOMPARE(verifier.verify("key-b").kind, Kind::Trusted);
    m_now += std::chrono::seconds(1);
    QCOMPARE(verifier.verify("key-c").kind, Kind::Trusted);
    QCOMPARE(checksAtImmich(), 3);

    QCOMPARE(verifier.verify("key-b").kind, Kind::Trusted);
    QCOMPARE(verifier.verify("key-c").kind, Kind::Trusted);
    QCOMPARE(checksAtImmich(), 3);
    QCOMPARE(verifier.verify("key-a").kind, Kind::Trusted);
    QCOMPARE(checksAtImmich(), 4);
}

QTEST_GUILESS_MAIN(TestApiKeyVerifier)
#include "TestApiKeyVerifier.moc"
