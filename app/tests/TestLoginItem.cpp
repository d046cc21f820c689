#include "LogCapture.h"
#include "LoginItem.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

using namespace pixavella;

namespace {

QByteArray read(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void write(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

const QString kProgram = QStringLiteral("/opt/Pixavella/bin/pixavella");

} // namespace

class TestLoginItem : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void execLine_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("argument");
        QTest::addColumn<QString>("line");
        QTest::newRow("plain") << "/usr/bin/pixavella"
                               << "/usr/bin/pixavella"
                               << "Exec=/usr/bin/pixavella";
        QTest::newRow("space") << "/home/a b/pixavella"
                               << "\"/home/a b/pixavella\""
                               << "Exec=\"/home/a b/pixavella\"";
        QTest::newRow("quote and dollar") << "/x/\"q\"$/p"
                                          << "\"/x/\\\"q\\\"\\$/p\""
                                          << "Exec=\"/x/\\\\\"q\\\\\"\\\\$/p\"";
    }

    void execLine()
    {
        QFETCH(QString, argument);
        QFETCH(QString, line);
        QFETCH(QString, program);
        QCOMPARE(LoginItem::execArgument(program), argument);
        QVERIFY(LoginItem::desktopEntry(program).split('\n').contains(line.toUtf8()));
    }

    void existingEntry_data()
    {
        QTest::addColumn<QByteArray>("existing");
        QTest::addColumn<bool>("rewritten");
        const QByteArray ours = "[Desktop Entry]\nExec=/opt/Pixavella/bin/pixavella\nX-Mine=1\n";
        QTest::newRow("enabled: left alone") << ours << false;
        QTest::newRow("hidden by the user") << ours + "Hidden=true\n" << true;
        QTest::newRow("turned off in GNOME") << ours + "X-GNOME-Autostart-enabled = false\n"
                                             << true;
        QTest::newRow("another program")
            << QByteArray("[Desktop Entry]\nExec=/usr/local/bin/pixavella\n") << true;
        QTest::newRow("Exec outside the group")
            << QByteArray("[Other]\nExec=/opt/Pixavella/bin/pixavella\n") << true;
    }

    void existingEntry()
    {
        QFETCH(bool, rewritten);
        QFETCH(QByteArray, existing);
        const QString path = m_dir.filePath(QStringLiteral("autostart/pixavella.desktop"));
        write(path, existing);
        QVERIFY(LoginItem::ensureRegistered(path, kProgram).ok());
        QCOMPARE(read(path), rewritten ? LoginItem::desktopEntry(kProgram) : existing);
    }

    // The user's configuration folder (a temporary one under the test runner).
    void registerLoginItem()
    {
        const QString path = LoginItem::autostartFilePath();
        QVERIFY(path.endsWith(QStringLiteral("/autostart/pixavella.desktop")));
        const QString folder = QFileInfo(path).absolutePath();
        QDir(folder).removeRecursively();
        write(folder, "a file where the folder should be");
        {
            testing::LogCapture log;
            LoginItem::registerLoginItem();
            QCOMPARE(log.productLines().size(), 1);
            QVERIFY(log.productLines().first().startsWith(
                QStringLiteral("Pixavella: login item non enregistré: ")));
        }
        QFile::remove(folder);
        LoginItem::registerLoginItem();
        QCOMPARE(read(path), LoginItem::desktopEntry(QCoreApplication::applicationFilePath()));
    }
};

QTEST_GUILESS_MAIN(TestLoginItem)
#include "TestLoginItem.moc"
