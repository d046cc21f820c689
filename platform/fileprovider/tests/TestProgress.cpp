#include "Progress.h"

#include <QTest>

using namespace pixavella;

class TestProgress : public QObject {
    Q_OBJECT
private slots:
    void childCountsItsShareOfTheParent();
    void cancellationReachesChildrenAndRunsHandlerOnce();
    void childAddedAfterCancellationIsCancelled();
};

void TestProgress::childCountsItsShareOfTheParent()
{
    auto parent = Progress::make(100);
    auto download = Progress::make(2000);
    parent->addChild(download, 100);
    download->setCompletedUnitCount(500);
    QCOMPARE(parent->fractionCompleted(), 0.25);
    download->setCompletedUnitCount(2000);
    QCOMPARE(parent->fractionCompleted(), 1.0);
    QCOMPARE(Progress::make()->fractionCompleted(), 0.0);
}

void TestProgress::cancellationReachesChildrenAndRunsHandlerOnce()
{
    auto parent = Progress::make(1);
    auto child = Progress::make(1);
    parent->addChild(child, 1);
    int runs = 0;
    child->setCancellationHandler([&runs] { ++runs; });
    parent->cancel();
    parent->cancel();
    QVERIFY(child->isCancelled());
    QCOMPARE(runs, 1);
    child->setCancellationHandler([&runs] { ++runs; });
    QCOMPARE(runs, 2);
}

void TestProgress::childAddedAfterCancellationIsCancelled()
{
    auto parent = Progress::make(1);
    parent->cancel();
    auto child = Progress::make(1);
    parent->addChild(child, 1);
    QVERIFY(child->isCancelled());
}

QTEST_GUILESS_MAIN(TestProgress)
#include "TestProgress.moc"
