#include "ContainerPaths.h"
#include "Signals.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QSemaphore>
#include <QTest>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

using namespace pixavella;
using namespace Qt::StringLiterals;

namespace {

constexpr int kWaitMs = 10000;

// Counts the calls of one observation.
struct Counter {
    std::atomic<int> calls{0};
    std::function<void()> callback()
    {
        return [this] { ++calls; };
    }
};

// The watcher dispatches in order: once a signal posted later has arrived, every earlier post
// has been dispatched too, so "no call" can be checked without waiting for nothing.
class Fence {
public:
    Fence() : m_subscription(Signals::observe(u"test.fence"_s, m_counter.callback())) {}
    bool pass()
    {
        const int before = m_counter.calls;
        Signals::post(u"test.fence"_s);
        return QTest::qWaitFor([&] { return m_counter.calls > before; }, kWaitMs);
    }

private:
    Counter m_counter;
    std::unique_ptr<Signals::Subscription> m_subscription;
};

} // namespace

class TestSignals : public QObject {
    Q_OBJECT

private slots:
    // A post of another process reaches every live observer of the name, and only those.
    void postOfAnotherProcessReachesItsObservers()
    {
        Fence fence;
        Counter first, second, other, destroyed;
        const auto a = Signals::observe(u"app.pixavella.noticePosted"_s, first.callback());
        const auto b = Signals::observe(u"app.pixavella.noticePosted"_s, second.callback());
        const auto c = Signals::observe(u"app.pixavella.quarantineChanged"_s, other.callback());
        Signals::observe(u"app.pixavella.noticePosted"_s, destroyed.callback()).reset();
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(QCoreApplication::applicationFilePath(),
                    {"--child-post", "app.pixavella.noticePosted"});
        QVERIFY(child.waitForFinished(kWaitMs));
        QCOMPARE(child.exitCode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(first.calls >= 1 && second.calls >= 1, kWaitMs);
        QVERIFY(fence.pass());
        QCOMPARE(other.calls.load(), 0);
        QCOMPARE(destroyed.calls.load(), 0);
    }

    void destructionWaitsForTheRunningCallback()
    {
        QSemaphore entered, release;
        std::mutex mutex;
        QStringList order;
        auto subscription = Signals::observe(u"test.slow"_s, [&] {
            entered.release();
            release.tryAcquire(1, kWaitMs);
            std::lock_guard lock(mutex);
            order << u"callback returned"_s;
        });
        Signals::post(u"test.slow"_s);
        QVERIFY(entered.tryAcquire(1, kWaitMs));
        std::thread destroyer([&] {
            subscription.reset();
            std::lock_guard lock(mutex);
            order << u"destroyed"_s;
        });
        // Gives the destroyer time to reach the destructor while the callback still runs.
        QTest::qWait(100);
        release.release();
        destroyer.join();
        QCOMPARE(order, QStringList({"callback returned", "destroyed"}));
    }

    void callbackMayDestroyItsOwnSubscription()
    {
        Fence fence;
        std::atomic<int> calls{0};
        std::unique_ptr<Signals::Subscription> subscription;
        subscription = Signals::observe(u"test.once"_s, [&] {
            ++calls;
            subscription.reset();
        });
        Signals::post(u"test.once"_s);
        QVERIFY(fence.pass());
        Signals::post(u"test.once"_s);
        QVERIFY(fence.pass()); // the watcher is still alive
        QCOMPARE(calls.load(), 1);
    }

    // A burst within the window is heard twice: at its start and once when the window ends, so
    // that the last change of the burst is not missed.
    void coalescedPostsEndWithOneMore()
    {
        Fence fence;
        Counter burst;
        const auto subscription = Signals::observe(u"test.burst"_s, burst.callback());
        const auto window = std::chrono::milliseconds(1500);
        Signals::postCoalesced(u"test.burst"_s, window);
        QTRY_COMPARE_WITH_TIMEOUT(burst.calls.load(), 1, kWaitMs);
        for (int i = 0; i < 50; ++i)
            Signals::postCoalesced(u"test.burst"_s, window);
        QTRY_COMPARE_WITH_TIMEOUT(burst.calls.load(), 2, kWaitMs);
        QVERIFY(fence.pass());
        QCOMPARE(burst.calls.load(), 2);
    }

    // A post still held back when its process exits is made on the way out.
    void heldPostIsMadeAtExit()
    {
        Counter heard;
        const auto subscription = Signals::observe(u"test.exit"_s, heard.callback());
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(), {"--child-post-held", "test.exit"});
        QTRY_COMPARE_WITH_TIMEOUT(heard.calls.load(), 1, kWaitMs);
        // The second post falls within the child's window of a minute: only the exit makes it.
        child.write("again\n");
        QVERIFY(child.waitForFinished(kWaitMs));
        QCOMPARE(child.exitCode(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(heard.calls.load(), 2, kWaitMs);
    }

    // Each post stamps the signal anew, which readers compare with what their cache was read at.
    void everyPostIsStamped()
    {
        const QString name = u"test.stamp"_s;
        QCOMPARE(Signals::lastPosted(name), std::nullopt);
        Signals::post(name);
        const auto first = Signals::lastPosted(name);
        QVERIFY(first);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        Signals::post(name);
        const auto second = Signals::lastPosted(name);
        QVERIFY(second && *second > *first);
        // Read where posts are made, without making the folder.
        QCOMPARE(ContainerPaths::signalsPath(), ContainerPaths::signalsDirectory());
        QCOMPARE(ContainerPaths::containerPath(), ContainerPaths::container());
    }

    void unsafeNamesAreRefused_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("empty") << QString();
        QTest::newRow("hidden") << u".hidden"_s;
        QTest::newRow("path") << u"../escaped"_s;
    }

    void unsafeNamesAreRefused()
    {
        QFETCH(QString, name);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("ignored observer"));
        const auto subscription = Signals::observe(name, [] {});
        QVERIFY(subscription);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("ignored signal name"));
        Signals::post(name);
        const QDir signalsDir(ContainerPaths::signalsDirectory());
        QCOMPARE(signalsDir.entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
                     .filter(QRegularExpression("^(\\.hidden|escaped|a|\\.post.*)$")),
                 QStringList());
        QVERIFY(!QFileInfo::exists(ContainerPaths::container() + u"/escaped"_s));
    }
};

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 3 && qstrcmp(argv[1], "--child-post") == 0) {
        Signals::post(QString::fromUtf8(argv[2]));
        return 0;
    }
    if (argc == 3 && qstrcmp(argv[1], "--child-post-held") == 0) {
        const QString name = QString::fromUtf8(argv[2]);
        Signals::postCoalesced(name, std::chrono::minutes(1));
        // Waits for the parent to have heard the first post, so that the two are not merged.
        char line[16];
        if (!std::fgets(line, sizeof line, stdin))
            return 1;
        Signals::postCoalesced(name, std::chrono::minutes(1));
        return 0;
    }
    TestSignals test;
    return QTest::qExec(&test, argc, argv);
}

#include "TestSignals.moc"
