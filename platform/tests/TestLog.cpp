#include "Log.h"

#include <QTest>

using namespace pixavella;

class TestLog : public QObject {
    Q_OBJECT
private slots:
    // Quiet unless asked; a verbose program makes the programs it starts verbose too.
    void debugLinesOnlyWhenAsked()
    {
        qunsetenv(Log::kVerboseVariable);
        Log::configure(false);
        QVERIFY(!lcHttp().isDebugEnabled());
        QVERIFY(lcHttp().isInfoEnabled() && lcHttp().isWarningEnabled());

        qputenv(Log::kVerboseVariable, "1");
        Log::configure(false);
        QVERIFY(lcHttp().isDebugEnabled());

        qunsetenv(Log::kVerboseVariable);
        Log::configure(true);
        QVERIFY(lcSignals().isDebugEnabled());
        QCOMPARE(qgetenv(Log::kVerboseVariable), QByteArray("1"));
    }
};

QTEST_GUILESS_MAIN(TestLog)
#include "TestLog.moc"
