#include "Progress.h"

#include <QTest>

using namespace pixavella;

class TestProgress : public QObject {
    Q_OBJECT
private slots:
    // A child counts its fraction of the units it covers; nothing shows past 1 or below 0.
    void fractionCountsChildren()
    {
        const ProgressRef parent = Progress::make(10);
        QCOMPARE(parent->fractionCompleted(), 0.0);
        const ProgressRef child = Progress::make(4);
        parent->addChild(child, 6);
        parent->setCompletedUnitCount(2);
        child->addCompletedUnitCount(2);
        QCOMPARE(parent->fractionCompleted(), (2 + 0.5 * 6) / 10.0);
        child->setCompletedUnitCount(40);
        parent->addCompletedUnitCount(20);
        QCOMPARE(parent->fractionCompleted(), 1.0);
        // An unknown total shows nothing done; a progress is never its own child.
        parent->setTotalUnitCount(0);
        QCOMPARE(parent->fractionCompleted(), 0.0);
        parent->setTotalUnitCount(10);
        parent->addChild(parent, 5);
        QCOMPARE(parent->fractionCompleted(), 1.0);
    }

    // Cancelling reaches every child, runs each handler once, and reaches a child added late.
    void cancelReachesEveryChildOnce()
    {
        const ProgressRef parent = Progress::make(2);
        const ProgressRef child = Progress::make(1);
        parent->addChild(child, 1);
        int parentRuns = 0;
        int childRuns = 0;
        parent->setCancellationHandler([&] { ++parentRuns; });
        child->setCancellationHandler([&] { ++childRuns; });
        parent->cancel();
        parent->cancel();
        QVERIFY(parent->isCancelled() && child->isCancelled());
        QCOMPARE(parentRuns, 1);
        QCOMPARE(childRuns, 1);

        const ProgressRef late = Progress::make(1);
        parent->addChild(late, 1);
        QVERIFY(late->isCancelled());
        // A handler set after the cancel runs at once.
        int lateRuns = 0;
        late->setCancellationHandler([&] { ++lateRuns; });
        QCOMPARE(lateRuns, 1);
    }
};

QTEST_GUILESS_MAIN(TestProgress)
#include "TestProgress.moc"
