// The program's own parts: what it keeps for its run, with or without a display, and its quit
// on the termination signals.
#include "AppServices.h"
#include "HttpSession.h"
#include "ProcessStores.h"
#include "QuitSignals.h"
#include "SettingsSuite.h"

#include <QTest>
#include <QTimer>

#include <csignal>

using namespace pixavella;

class TestProgramParts : public QObject {
    Q_OBJECT

private slots:
    void windowsOnlyWithADisplay()
    {
        for (const bool display : {false, true}) {
            AppServices services(display, testing::appStores(), SettingsSuite::shared(),
                                 HttpSession::shared());
            QCOMPARE(bool(services.notices) && bool(services.noticeObserver), display);
            QCOMPARE(bool(services.status) && bool(services.history), display);
        }
    }

    void terminationSignalsQuitTheLoop_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
    }
    void terminationSignalsQuitTheLoop()
    {
        QFETCH(int, signal);
        quitOnTerminationSignals(*QCoreApplication::instance());
        QTimer::singleShot(0, [signal] { ::raise(signal); });
        QTimer hung;
        hung.callOnTimeout([] { QCoreApplication::exit(99); });
        hung.start(10'000);
        QCOMPARE(QCoreApplication::exec(), 0);
    }
};

QTEST_MAIN(TestProgramParts)
#include "TestProgramParts.moc"
