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

    ImmichDoubleProcess m_immich;
    ApiKeyVerifier::TimePoint m_now{std::chrono::hours(1000)};

    ApiKeyVerifier::TimeSource clock()
    {
        return [this] { return m_now; };
    }
    // How many key checks reached the double since the last reset.
    int checksAtImmich() const
    {
        int count = 0;
        const QJsonArray requests = m_immich.requests();
        for (const QJsonValue& request : requests)
            count += request[u"path"_s].toString() == u"/api/users/me"_s;
        return count;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_immich.start({u"--user"_s, u"a@example.org:pa:key-a"_s, u"--user"_s,
                                u"b@example.org:pb:key-b"_s, u"--user"_s,
                                u"c@example.org:pc:key-c"_s}));
    }
    void init() { m_immich.reset(); }

    // Refusals and failures are never remembered; an accepted key is trusted for 60 s.
    void trustsAnAcceptedKeyForSixtySeconds()
    {
        ApiKeyVerifier verifier(m_immich.url(), clock());
        m_immich.fail(401, 1, u"/api/users/me"_s);
        QCOMPARE(verifier.verify("key-a").kind, Kind::Rejected);
        m_immich.fail(500, 1, u"/api/users/me"_s);
        QCOMPARE(verifier.verify("key-a").kind, Kind::Unavailable);
        m_immich.drop(1, u"/api/users/me"_s);
        QCOMPARE(verifier.verify("key-a").kind, Kind::Unavailable);
        QCOMPARE(verifier.verify("key-a").kind, Kind::Trusted);
        const int checks = checksAtImmich();

        // From now on Immich refuses the key, as after its revocation.
        m_immich.fail(401, 100, u"/api/users/me"_s);
        m_now += std::chrono::seconds(59);
        QCOMPARE(verifier.verify("key-a").kind, Kind::Trusted);
        QCOMPARE(checksAtImmich(), checks);
        m_now += std::chrono::seconds(1);
        QCOMPARE(verifier.verify("key-a").kind, Kind::Rejected);
        QCOMPARE(checksAtImmich(), checks + 1);
    }

    void remembersOnlyTheNewestAcceptedKeys()
    {
        ApiKeyVerifier verifier(m_immich.url(), clock(), 2);
        // Empty and oversized keys are refused without asking.
        QCOMPARE(verifier.verify("").kind, Kind::Rejected);
        QCOMPARE(verifier.verify(std::string(ApiKeyVerifier::maxKeyLength + 1, 'k')).kind,
                 Kind::Rejected);
        QCOMPARE(checksAtImmich(), 0);
        for (const char* key : {"key-a", "key-b", "key-c"}) {
            QCOMPARE(verifier.verify(key).kind, Kind::Trusted);
            m_now += std::chrono::seconds(1);
        }
        QCOMPARE(checksAtImmich(), 3);
        for (const char* key : {"key-b", "key-c"})
            QCOMPARE(verifier.verify(key).kind, Kind::Trusted);
        QCOMPARE(checksAtImmich(), 3);
        QCOMPARE(verifier.verify("key-a").kind, Kind::Trusted);
        QCOMPARE(checksAtImmich(), 4);
    }
};

QTEST_GUILESS_MAIN(TestApiKeyVerifier)
#include "TestApiKeyVerifier.moc"
