#include "RefreshScheduler.h"

#include "Clock.h"
#include "FileProviderError.h"

#include <QTest>

using namespace pixavella;

namespace {

// Records the refreshes the scheduler starts; the test finishes them by hand.
struct Harness {
    QStringList started;
    RefreshScheduler scheduler{[this](const QString& c) { started.append(c); }, 60};
    QList<Result<void>> answers;

    RefreshScheduler::Ready ready()
    {
        return [this](Result<void> r) { answers.append(r); };
    }
};

} // namespace

class TestRefreshScheduler : public QObject {
    Q_OBJECT
private slots:
    void firstUseListsOnceForAllWaiters();
    void signalsDuringARefreshFoldIntoOne();
    void usersArrivingAfterASignalWaitForTheNextRefresh();
    void failedRefreshKeepsTheListedContainerUsable();
};

void TestRefreshScheduler::firstUseListsOnceForAllWaiters()
{
    Harness h;
    h.scheduler.use("photos", h.ready());
    h.scheduler.use("photos", h.ready());
    QCOMPARE(h.started, QStringList{"photos"});
    QVERIFY(h.answers.isEmpty());
    h.scheduler.finished("photos", Result<void>::success());
    QCOMPARE(h.answers.size(), 2);
    QVERIFY(h.answers.at(0) && h.answers.at(1));
    // Listed and unchanged: answered at once, nothing started.
    h.scheduler.use("photos", h.ready());
    QCOMPARE(h.answers.size(), 3);
    QCOMPARE(h.started.size(), 1);
}

void TestRefreshScheduler::signalsDuringARefreshFoldIntoOne()
{
    ManualClock clock;
    Harness h;
    h.scheduler.use("photos", h.ready());
    h.scheduler.finished("photos", Result<void>::success());
    h.scheduler.signal("photos");
    QCOMPARE(h.started.size(), 2);
    h.scheduler.signal("photos");
    h.scheduler.signal("photos");
    h.scheduler.signal("photos");
    QCOMPARE(h.started.size(), 2); // never two at once
    h.scheduler.finished("photos", Result<void>::success());
    QCOMPARE(h.started.size(), 3); // the three signals: one more refresh
    h.scheduler.finished("photos", Result<void>::success());
    QCOMPARE(h.started.size(), 3);
}

void TestRefreshScheduler::usersArrivingAfterASignalWaitForTheNextRefresh()
{
    ManualClock clock;
    Harness h;
    h.scheduler.use("photos", h.ready());
    h.scheduler.finished("photos", Result<void>::success());
    h.scheduler.signal("photos");         // refresh #2 runs
    h.scheduler.use("photos", h.ready()); // covered by #2
    h.scheduler.signal("photos");
    h.scheduler.use("photos", h.ready()); // needs #3
    const qsizetype before = h.answers.size();
    h.scheduler.finished("photos", Result<void>::success());
    QCOMPARE(h.answers.size(), before + 1);
    QCOMPARE(h.started.size(), 3);
    h.scheduler.finished("photos", Result<void>::success());
    QCOMPARE(h.answers.size(), before + 2);
}

void TestRefreshScheduler::failedRefreshKeepsTheListedContainerUsable()
{
    ManualClock clock;
    Harness h;
    h.scheduler.use("photos", h.ready());
    h.scheduler.finished("photos", Result<void>::success());
    clock.advance(120);
    h.scheduler.signal("photos");
    h.scheduler.use("photos", h.ready());
    h.scheduler.finished("photos", fileProviderError(FileProviderErrorCode::serverUnreachable));
    QCOMPARE(h.answers.size(), 2);
    QVERIFY(h.answers.last()); // the previous listing still serves
    h.scheduler.use("photos", h.ready());
    QCOMPARE(h.started.size(), 2); // and no retry until the next signal
}

QTEST_GUILESS_MAIN(TestRefreshScheduler)
#include "TestRefreshScheduler.moc"
