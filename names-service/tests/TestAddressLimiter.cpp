// Which client addresses AddressLimiter counts together, and the workers that answer the
// connections admitted. The total limit and places given back are TestConnections'.

#include "AddressLimiter.h"
#include "ClientConnection.h"
#include "WorkerPool.h"

#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <set>

using namespace pixavella::names;

namespace {

sockaddr_storage address(const char* text)
{
    sockaddr_storage storage{};
    if (auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
        ::inet_pton(AF_INET, text, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        return storage;
    }
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (::inet_pton(AF_INET6, text, &v6->sin6_addr) == 1)
        v6->sin6_family = AF_INET6;
    return storage;
}

} // namespace

class TestAddressLimiter : public QObject {
    Q_OBJECT

private slots:
    void countsAddressesTogether()
    {
        const std::tuple<const char*, const char*, bool> pairs[] = {
            {"192.0.2.7", "192.0.2.7", true},
            {"192.0.2.7", "192.0.2.8", false},
            {"2001:db8:1:2::1", "2001:db8:1:2:ffff::9", true}, // one /64
            {"2001:db8:1:2::1", "2001:db8:1:3::1", false},
            {"::ffff:192.0.2.7", "192.0.2.7", true}}; // IPv4-mapped
        for (const auto& [first, second, together] : pairs) {
            AddressLimiter limiter(10, 1);
            const auto held = limiter.admit(address(first));
            QVERIFY(held.slot);
            const auto next = limiter.admit(address(second));
            QVERIFY2(!next.slot == together, second);
            QCOMPARE(next.refusal, together ? AddressLimiter::Refusal::PerAddress
                                            : AddressLimiter::Refusal::None);
        }
    }

    // The worker that went idle last answers next, so a steady load stays on one thread (and
    // one database connection); what was posted is answered before the threads end.
    void workersLastIdleFirst()
    {
        static const ConnectionLimits limits;
        std::mutex mutex;
        std::set<std::thread::id> threads;
        std::atomic<int> answered = 0;
        auto pool = std::make_unique<WorkerPool>(4, [&](std::unique_ptr<ClientConnection>) {
            const std::lock_guard lock(mutex);
            threads.insert(std::this_thread::get_id());
            ++answered;
        });
        const auto post = [&pool] {
            int fds[2];
            QVERIFY(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0);
            ::close(fds[1]);
            pool->post(std::make_unique<ClientConnection>(
                fds[0], sockaddr_storage{}, nullptr, limits, 0, ClientConnection::Clock::now()));
        };
        for (int i = 1; i <= 10; ++i) {
            QTest::qWait(20); // every worker idle again
            post();
            QTRY_COMPARE(answered.load(), i);
        }
        QCOMPARE(threads.size(), std::size_t(1));
        for (int i = 0; i < 20; ++i)
            post();
        pool.reset();
        QCOMPARE(answered.load(), 30);
    }
};

QTEST_GUILESS_MAIN(TestAddressLimiter)
#include "TestAddressLimiter.moc"
