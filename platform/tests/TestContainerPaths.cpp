#include "ContainerPaths.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace pixavella;

namespace {

int modeOf(const QString& path)
{
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return -1;
    return int(st.st_mode & 07777);
}

} // namespace

class TestContainerPaths : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_root;
    QString m_home;

private slots:
    void init()
    {
        QVERIFY(m_root.isValid());
        m_home = m_root.filePath(QStringLiteral("home%1").arg(QTest::currentDataTag()));
        QVERIFY(QDir().mkpath(m_home));
        qputenv("HOME", QFile::encodeName(m_home));
        for (const char* variable : {"XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"})
            qunsetenv(variable);
    }

    void foldersFollowTheXdgVariables_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QByteArray>("variable");
        QTest::addColumn<QString>("value"); // "@" stands for the test's own folder
        QTest::addColumn<QString>("expected");

        const QString container = QStringLiteral("/pixavella/QX7K4R9T2W.group.app.pixavella");
        const QString domain = QStringLiteral("/pixavella/app.pixavella.fileprovider");
        QTest::newRow("container") << "container" << QByteArray("XDG_DATA_HOME") << "@/data"
                                   << "@/data" + container;
        QTest::newRow("relative data home ignored")
            << "container" << QByteArray("XDG_DATA_HOME") << "relative"
            << "~/.local/share" + container;
        QTest::newRow("signals") << "signals" << QByteArray("XDG_DATA_HOME") << "@/data"
                                 << "@/data" + container + "/Signals";
        QTest::newRow("domain cache") << "cache" << QByteArray("XDG_CACHE_HOME") << "@/cache"
                                      << "@/cache" + domain;
        QTest::newRow("domain cache default")
            << "cache" << QByteArray() << QString() << "~/.cache" + domain;
        QTest::newRow("runtime") << "runtime" << QByteArray("XDG_RUNTIME_DIR") << "@/run"
                                 << "@/run/pixavella";
    }

    void foldersFollowTheXdgVariables()
    {
        QFETCH(QString, folder);
        QFETCH(QByteArray, variable);
        QFETCH(QString, value);
        QFETCH(QString, expected);
        if (!variable.isEmpty())
            qputenv(variable.constData(), QFile::encodeName(value.replace('@', m_root.path())));
        expected.replace('@', m_root.path()).replace('~', m_home);

        QString path;
        if (folder == QLatin1String("container"))
            path = ContainerPaths::container();
        else if (folder == QLatin1String("signals"))
            path = ContainerPaths::signalsDirectory();
        else if (folder == QLatin1String("cache"))
            path = ContainerPaths::domainCache();
        else
            path = ContainerPaths::runtimeDirectory();
        QCOMPARE(path, expected);
        QVERIFY(QFileInfo(path).isDir());
    }

    void runtimeDirectoryIsPrivate()
    {
        const QString run = m_root.filePath(QStringLiteral("run"));
        QVERIFY(QDir().mkpath(run + QStringLiteral("/pixavella")));
        QFile::setPermissions(run + QStringLiteral("/pixavella"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                  QFile::ReadOther | QFile::ExeOther);
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(run));
        QCOMPARE(modeOf(ContainerPaths::runtimeDirectory()), 0700);
    }

    void runtimeDirectoryWithoutTheVariable()
    {
        const QString systemd = QStringLiteral("/run/user/%1").arg(::getuid());
        if (QFileInfo(systemd).isDir()) {
            QCOMPARE(ContainerPaths::runtimeDirectory(), systemd + QStringLiteral("/pixavella"));
            return;
        }
        // A name in the shared temporary folder that someone else already took (here a link
        // pointing elsewhere) must not be used.
        const QString taken =
            QDir::tempPath() + QStringLiteral("/pixavella-runtime-%1").arg(::getuid());
        QFile::remove(taken);
        QVERIFY(QFile::link(m_home, taken));
        const QString path = ContainerPaths::runtimeDirectory();
        QFile::remove(taken);
        QVERIFY2(!path.startsWith(taken), qPrintable(path));
        QCOMPARE(modeOf(path), 0700);

        QCOMPARE(ContainerPaths::runtimeDirectory(), taken + QStringLiteral("/pixavella"));
        QCOMPARE(modeOf(taken), 0700);
        QCOMPARE(modeOf(taken + QStringLiteral("/pixavella")), 0700);
        QDir(taken).removeRecursively();
    }

    void mountPointIsNotCreated()
    {
        QCOMPARE(ContainerPaths::mountPoint(),
                 m_home + QStringLiteral("/Library/CloudStorage/Pixavella-Pixavella"));
        QVERIFY(!QFileInfo::exists(m_home + QStringLiteral("/Library")));
    }
};

QTEST_GUILESS_MAIN(TestContainerPaths)
#include "TestContainerPaths.moc"
