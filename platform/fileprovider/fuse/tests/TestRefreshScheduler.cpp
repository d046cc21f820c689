#include "Clock.h"
#include "RefreshScheduler.h"

#include <QTest>

using namespace pixavella;

// The rules that decide when a folder is listed again, with the listings started by hand.
class TestRefreshScheduler : public QObject {
    Q_OBJECT

    struct Run {
        QStringList started; // containers whose refresh began, in order
        int answered = 0;    // Ready callbacks run
        std::unique_ptr<RefreshScheduler> scheduler;

        Run()
            : scheduler(std::make_unique<RefreshScheduler>(
                  [this](const FileProviderItemIdentifier& c) { started.append(c); }, 60))
        {
        }
        void use(const QString& c)
        {
            scheduler->use(c, [this](Result<void>) { ++answered; });
        }
        void finish(const QString& c) { scheduler->finished(c, Result<void>::success()); }
    };

private slots:
    void firstUseListsThenAnswersFromWhatWasListed()
    {
        ManualClock clock;
        Run run;
        run.use("photos");
        run.use("photos"); // waits for the same listing
        QCOMPARE(run.started, QStringList{"photos"});
        QCOMPARE(run.answered, 0);
        run.finish("photos");
        QCOMPARE(run.answered, 2);
        run.use("photos");
        QCOMPARE(run.answered, 3);
        QCOMPARE(run.started.size(), 1);
    }

    // A signal refreshes at once a folder used in the last minute, an idle one at its next use,
    // and signals during a refresh fold into one more.
    void signalsRefreshByRecentUse()
    {
        ManualClock clock;
        Run run;
        run.use("recent");
        run.finish("recent");
        run.use("idle");
        run.finish("idle");
        run.scheduler->signal("never listed");
        clock.advance(61);
        run.use("recent");
        run.started.clear();

        run.scheduler->signalAll();
        QCOMPARE(run.started, QStringList{"recent"});
        run.scheduler->signal("recent");
        run.scheduler->signal("recent");
        run.use("recent"); // needs a listing that starts after the signals
        QCOMPARE(run.started, QStringList{"recent"});
        run.finish("recent");
        QCOMPARE(run.started, (QStringList{"recent", "recent"}));
        const int before = run.answered;
        run.finish("recent");
        QCOMPARE(run.answered, before + 1);

        run.use("idle");
        QCOMPARE(run.started.last(), QStringLiteral("idle"));
    }

    // Marked changed, every listed folder lists again when next used, and not before.
    void markedFoldersListAtTheirNextUseOnly()
    {
        ManualClock clock;
        Run run;
        for (const QString c : {"a", "b"}) {
            run.use(c);
            run.finish(c);
        }
        run.started.clear();
        run.scheduler->markAllChanged();
        run.scheduler->markAllChanged();
        QCOMPARE(run.started, QStringList());
        const int before = run.answered;
        run.use("a");
        QCOMPARE(run.started, QStringList{"a"});
        QCOMPARE(run.answered, before);
        run.finish("a");
        QCOMPARE(run.answered, before + 1);
        run.use("a");
        QCOMPARE(run.started, QStringList{"a"});
        run.use("b");
        QCOMPARE(run.started, (QStringList{"a", "b"}));
    }

    // The thread whose drop marked the folders need not wait for them for two seconds, even
    // while another program's use lists them; a signal, another thread or time end that.
    void markingWriterNeedNotWait()
    {
        ManualClock clock;
        Run run;
        run.use("a");
        run.finish("a");
        const auto exempt = [&](pid_t pid) { return run.scheduler->changedOnlyBy("a", pid); };
        QVERIFY(!exempt(42));
        run.scheduler->markAllChanged(42);
        QVERIFY(exempt(42));
        QVERIFY(!exempt(7));
        QVERIFY(!run.scheduler->changedOnlyBy("never listed", 42));
        run.use("a");
        QVERIFY(exempt(42));
        run.scheduler->signal("a");
        QVERIFY(!exempt(42));
        run.finish("a"); // the signal's own listing starts
        QVERIFY(!exempt(42));
        run.finish("a");

        run.scheduler->markAllChanged(42);
        clock.advance(RefreshScheduler::kWriterWindowSeconds);
        QVERIFY(!exempt(42));

        // Once the drops pause, what was marked lists again with no one waiting: folders used
        // lately only.
        run.use("idle");
        run.finish("idle");
        clock.advance(61);
        run.use("a");
        run.finish("a");
        run.started.clear();
        run.scheduler->markAllChanged(42);
        run.scheduler->startMarkedOnceSettled(std::chrono::milliseconds(100));
        QCOMPARE(run.started, QStringList());
        clock.advance(1);
        run.scheduler->startMarkedOnceSettled(std::chrono::milliseconds(100));
        QCOMPARE(run.started, QStringList{"a"});
        run.scheduler->startMarkedOnceSettled(std::chrono::milliseconds(100));
        QCOMPARE(run.started, QStringList{"a"});
        run.finish("a");
        run.use("idle");
        QCOMPARE(run.started, (QStringList{"a", "idle"}));
        run.scheduler->markAllChanged();
        QVERIFY(!exempt(0));
    }
};

QTEST_GUILESS_MAIN(TestRefreshScheduler)
#include "TestRefreshScheduler.moc"
