#include "MachineName.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace pixavella;

class TestMachineName : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void prettyHostName_data()
    {
        QTest::addColumn<QByteArray>("machineInfo");
        QTest::addColumn<QString>("pretty");
        QTest::newRow("double quotes") << QByteArray("CHASSIS=laptop\nPRETTY_HOSTNAME=\"Portable "
                                                     "de Léa\"\nDEPLOYMENT=production\n")
                                       << QStringLiteral("Portable de Léa");
        QTest::newRow("escapes") << QByteArray("PRETTY_HOSTNAME=\"Le \\\"salon\\\"\"\n")
                                 << QStringLiteral("Le \"salon\"");
        QTest::newRow("bare") << QByteArray("PRETTY_HOSTNAME=Atelier\n")
                              << QStringLiteral("Atelier");
        QTest::newRow("commented out") << QByteArray("#PRETTY_HOSTNAME=Old\n") << QString();
        QTest::newRow("no file") << QByteArray() << QString();
    }

    void prettyHostName()
    {
        QFETCH(QString, pretty);
        QFETCH(QByteArray, machineInfo);
        const QString path = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()));
        if (!machineInfo.isEmpty()) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(machineInfo);
        }
        QCOMPARE(MachineName::prettyHostName(path), pretty);
    }

    void keyName_data()
    {
        QTest::addColumn<QString>("pretty");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("keyName");
        QTest::newRow("pretty name first") << "Portable de Léa"
                                           << "lea-x1"
                                           << "Pixavella Linux — Portable de Léa";
        QTest::newRow("host name") << ""
                                   << "lea-x1"
                                   << "Pixavella Linux — lea-x1";
        QTest::newRow("neither known") << " "
                                       << ""
                                       << "Pixavella Linux — Linux";
    }

    void keyName()
    {
        QFETCH(QString, pretty);
        QFETCH(QString, host);
        QFETCH(QString, keyName);
        QCOMPARE(MachineName::apiKeyName(MachineName::choose(pretty, host)), keyName);
    }
};

QTEST_GUILESS_MAIN(TestMachineName)
#include "TestMachineName.moc"
