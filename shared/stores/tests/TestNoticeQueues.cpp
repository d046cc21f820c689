// Both notice queues, seen as lists of texts so every check runs on each: each is a TextQueue
// with its signal. The executable is its own child: with "--append" it only appends, so that two
// processes write while a third drains.

#include "PedagogicalNotice.h"
#include "PedagogicalNoticeQueue.h"
#include "SettingsSuite.h"
#include "SharedSettings.h"
#include "Signals.h"
#include "TextQueue.h"
#include "UserNoticeQueue.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <cstring>
#include <memory>

using namespace pixavella;

namespace {

constexpr int kPerChild = 1000;

// Pedagogical texts are notice keys; user texts are free messages.
class Queue {
public:
    Queue(const QString& kind, SettingsSuite& suite)
        : m_user(kind == QLatin1String("user")), m_users(suite), m_notices(suite)
    {
    }
    QString key() const
    {
        return QLatin1String(m_user ? UserNoticeQueue::kSettingsKey
                                    : PedagogicalNoticeQueue::kSettingsKey);
    }
    QString signal() const
    {
        return QLatin1String(m_user ? SignalName::deletionRecorded : SignalName::noticePosted);
    }
    void append(const QString& text)
    {
        if (m_user)
            m_users.append(text);
        else
            m_notices.post(*noticeFromKey(text));
    }
    QStringList drain()
    {
        if (m_user)
            return m_users.drain();
        QStringList keys;
        for (PedagogicalNotice notice : m_notices.drain())
            keys << noticeKey(notice);
        return keys;
    }

private:
    bool m_user;
    UserNoticeQueue m_users;
    PedagogicalNoticeQueue m_notices;
};

// --append <user|pedagogical> <database> <text>
int appendAsChild(const QStringList& args)
{
    if (args.size() != 3)
        return 2;
    SettingsSuite suite(args[1]);
    for (int i = 0; i < kPerChild; ++i)
        Queue(args[0], suite)
            .append(args[0] == QLatin1String("user")
                        ? args[2] + QLatin1Char('-') + QString::number(i)
                        : args[2]);
    return 0;
}

void addQueueRows()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("user notices") << QStringLiteral("user");
    QTest::newRow("pedagogical notices") << QStringLiteral("pedagogical");
}

} // namespace

class TestNoticeQueues : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<SettingsSuite> m_suite;
    QString databasePath() const { return m_dir.filePath(QStringLiteral("prefs.sqlite")); }

private slots:
    void init()
    {
        m_suite = std::make_unique<SettingsSuite>(databasePath());
        for (const char* key :
             {UserNoticeQueue::kSettingsKey, PedagogicalNoticeQueue::kSettingsKey})
            m_suite->remove(QLatin1String(key));
    }
    void cleanup() { m_suite.reset(); }

    void drainOfForeignValues_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QStringList>("drained");
        QTest::newRow("user: not a list")
            << "user" << QVariant(QStringLiteral("text")) << QStringList();
        QTest::newRow("user: list with a number")
            << "user" << QVariant(QVariantList{QStringLiteral("a"), 1.0}) << QStringList();
        QTest::newRow("pedagogical: unknown names dropped")
            << "pedagogical"
            << QVariant(QVariantList{"remove", "vacation", "", "Trash", "duplicate"})
            << QStringList{"remove", "duplicate"};
    }
    void drainOfForeignValues()
    {
        QFETCH(QString, kind);
        QFETCH(QVariant, stored);
        QFETCH(QStringList, drained);
        Queue queue(kind, *m_suite);
        m_suite->setValue(queue.key(), stored);
        QCOMPARE(queue.drain(), drained);
        QVERIFY(!m_suite->contains(queue.key()));
    }

    void drainThatCannotWriteTakesNothing_data() { addQueueRows(); }
    void drainThatCannotWriteTakesNothing()
    {
        QFETCH(QString, kind);
        Queue queue(kind, *m_suite);
        queue.append(QStringLiteral("remove"));
        {
            // Another connection makes every write of the suite's table fail.
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "saboteur");
            db.setDatabaseName(databasePath());
            QVERIFY(db.open());
            QSqlQuery query(db);
            const QStringList events{"INSERT", "UPDATE", "DELETE"};
            for (const QString& event : events)
                QVERIFY(query.exec(QStringLiteral("CREATE TRIGGER refuse_%1 BEFORE %1 ON settings "
                                                  "BEGIN SELECT RAISE(ABORT, 'refused'); END")
                                       .arg(event)));
            QVERIFY(queue.drain().isEmpty());
            for (const QString& event : events)
                QVERIFY(query.exec(QStringLiteral("DROP TRIGGER refuse_%1").arg(event)));
        }
        QSqlDatabase::removeDatabase(QStringLiteral("saboteur"));
        QCOMPARE(queue.drain(), QStringList{"remove"});
    }

    void appendsOfTwoProcessesDrainedExactlyOnce_data() { addQueueRows(); }
    void appendsOfTwoProcessesDrainedExactlyOnce()
    {
        QFETCH(QString, kind);
        Queue queue(kind, *m_suite);
        std::atomic<int> posts = 0;
        const auto subscription = Signals::observe(queue.signal(), [&posts] { ++posts; });
        // A value some other version left behind: appending starts afresh.
        m_suite->setValue(queue.key(), QVariantMap{{QStringLiteral("x"), 1.0}});
        queue.append(QStringLiteral("duplicate"));
        QStringList drained;
        std::vector<std::unique_ptr<QProcess>> children;
        for (const QString text : {"trash", "remove"}) {
            auto child = std::make_unique<QProcess>();
            child->setProcessChannelMode(QProcess::ForwardedChannels);
            child->start(QCoreApplication::applicationFilePath(),
                         {QStringLiteral("--append"), kind, databasePath(), text});
            QVERIFY(child->waitForStarted());
            children.push_back(std::move(child));
        }
        for (auto& child : children) {
            while (!child->waitForFinished(5))
                drained += queue.drain();
            QCOMPARE(child->exitCode(), 0);
        }
        drained += queue.drain();
        QVERIFY(!m_suite->contains(queue.key()));
        QTRY_VERIFY(posts > 0);

        QCOMPARE(drained.size(), 2 * kPerChild + 1);
        QCOMPARE(drained.first(), QStringLiteral("duplicate"));
        for (const QString text : {"trash", "remove"}) {
            // Each child's notices, once each, in the order it appended them.
            QStringList expected;
            for (int i = 0; i < kPerChild; ++i)
                expected << (kind == QLatin1String("user") ? text + '-' + QString::number(i)
                                                           : text);
            QCOMPARE(drained.filter(QRegularExpression('^' + text)), expected);
        }
    }

    void pedagogicalTexts()
    {
        // What another desktop than Linux has: its file manager, its cloud, its keys, its bar.
        const QRegularExpression foreign(
            QStringLiteral("Finder|iCloud|⌥|⌘|Option|barre des menus|\\bDock\\b|\\bMac"));
        for (PedagogicalNotice notice : kAllPedagogicalNotices) {
            QCOMPARE(noticeFromKey(noticeKey(notice)), std::optional(notice));
            const QString text = noticeText(notice, QStringLiteral("d"));
            QVERIFY(!text.contains(QLatin1String("%1")));
            QVERIFY2(!text.contains(foreign) && !noticeTitle(notice).contains(foreign),
                     qPrintable(noticeKey(notice)));
        }
        // The trash notice names the web address of the stored server.
        SharedSettings::setServerURL(QStringLiteral("https://photos.example.org:8443/"));
        QCOMPARE(noticeText(PedagogicalNotice::trash),
                 QStringLiteral("Les photos supprimées sont placées dans la corbeille Pixavella. "
                                "Elles restent récupérables pendant 30 jours depuis "
                                "photos.example.org:8443, puis sont supprimées définitivement."));
    }
};

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "--append") == 0)
        return appendAsChild(app.arguments().mid(2));
    TestNoticeQueues test;
    return QTest::qExec(&test, argc, argv);
}

#include "TestNoticeQueues.moc"
