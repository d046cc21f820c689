#include "LaunchOptions.h"

#include <QTest>

using namespace pixavella;

class TestLaunchOptions : public QObject {
    Q_OBJECT

private slots:
    void parse_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("expected");
        QTest::newRow("nothing") << QStringList{"pixavella"} << QString();
        QTest::newRow("anywhere in the list")
            << QStringList{"pixavella", "--show-history", "x", "--show-login", "--reset-notices"}
            << QStringLiteral("login history notices");
        QTest::newRow("exact match only")
            << QStringList{"pixavella", "--Remove", "--reset=1", "-show-login", "--remove "}
            << QString();
        QTest::newRow("program name is no switch") << QStringList{"--remove"} << QString();
        QTest::newRow("--remove wins over --reset")
            << QStringList{"pixavella", "--reset", "--remove"} << QStringLiteral("remove");
        QTest::newRow("notice by its key")
            << QStringList{"pixavella", "--show-notice", "shareRemoveOwnOnly"}
            << QStringLiteral("notice=shareRemoveOwnOnly");
        QTest::newRow("notice name misspelt")
            << QStringList{"pixavella", "--show-notice", "sharedremoveownonly"} << QString();
        QTest::newRow("notice switch last")
            << QStringList{"pixavella", "library", "--show-notice"} << QString();
        QTest::newRow("server trimmed")
            << QStringList{"pixavella", "--server", " https://photos.example/immich\n"}
            << QStringLiteral("server=https://photos.example/immich");
        QTest::newRow("server without scheme")
            << QStringList{"pixavella", "--server", "photos.example:2283"}
            << QStringLiteral("server rejected");
        QTest::newRow("server switch last")
            << QStringList{"pixavella", "--server"} << QStringLiteral("server rejected");
        QTest::newRow("scripted session")
            << QStringList{"pixavella", "--sign-out", "--sign-in", "lea@exemple.fr"}
            << QStringLiteral("sign-in=lea@exemple.fr sign-out");
        QTest::newRow("sign-in switch last")
            << QStringList{"pixavella", "--sign-in"} << QStringLiteral("sign-in=");
    }

    void parse()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, expected);
        const LaunchOptions o = LaunchOptions::parse(arguments);
        QStringList seen;
        if (o.remove)
            seen << "remove";
        if (o.reset)
            seen << "reset";
        if (o.showLogin)
            seen << "login";
        if (o.showHistory)
            seen << "history";
        if (o.resetNotices)
            seen << "notices";
        if (o.showNotice)
            seen << QStringLiteral("notice=") + noticeKey(*o.showNotice);
        if (o.server)
            seen << QStringLiteral("server=") + *o.server;
        if (o.serverRejected)
            seen << "server rejected";
        if (o.signInEmail)
            seen << QStringLiteral("sign-in=") + *o.signInEmail;
        if (o.signOut)
            seen << "sign-out";
        if (o.help)
            seen << "help";
        QCOMPARE(seen.join(QLatin1Char(' ')), expected);
    }
};

QTEST_GUILESS_MAIN(TestLaunchOptions)
#include "TestLaunchOptions.moc"
