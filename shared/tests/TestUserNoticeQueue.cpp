#include "SettingsSuite.h"
#include "SharedSettings.h"
#include "Signals.h"
#include "UserNoticeQueue.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <memory>

using namespace pixavella;

class TestUserNoticeQueue : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<SettingsSuite> m_suite;
    const QString m_key = QString::fromLatin1(UserNoticeQueue::kSettingsKey);

private slots:
    void init()
    {
        m_suite = std::make_unique<SettingsSuite>(m_dir.filePath(QStringLiteral("prefs.sqlite")));
        m_suite->remove(m_key);
    }
    void cleanup() { m_suite.reset(); }

    void drainReturnsMessagesInOrderAndRemovesKey()
    {
        UserNoticeQueue queue(*m_suite);
        queue.append(QStringLiteral("Photo placée dans la corbeille."));
        queue.append(QStringLiteral("Album « Été » supprimé."));
        queue.append(QStringLiteral("Photo placée dans la corbeille."));
        QCOMPARE(queue.drain(),
                 (QStringList{"Photo placée dans la corbeille.", "Album « Été » supprimé.",
                              "Photo placée dans la corbeille."}));
        QVERIFY(!m_suite->contains(m_key));
        QVERIFY(queue.drain().isEmpty());
    }

    void drainOfEmptyOrForeignValue_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::newRow("absent") << QVariant();
        QTest::newRow("empty list") << QVariant(QVariantList{});
        QTest::newRow("not a list") << QVariant(QStringLiteral("text"));
        QTest::newRow("list with a number") << QVariant(QVariantList{QStringLiteral("a"), 1.0});
    }
    void drainOfEmptyOrForeignValue()
    {
        QFETCH(QVariant, stored);
        if (stored.isValid())
            m_suite->setValue(m_key, stored);
        QVERIFY(UserNoticeQueue(*m_suite).drain().isEmpty());
        QVERIFY(!m_suite->contains(m_key));
    }

    void appendOverForeignValueStartsAfresh()
    {
        m_suite->setValue(m_key, QVariantMap{{QStringLiteral("x"), 1.0}});
        UserNoticeQueue queue(*m_suite);
        queue.append(QStringLiteral("m"));
        QCOMPARE(queue.drain(), QStringList{"m"});
    }

    void drainThatCannotWriteTakesNothing()
    {
        UserNoticeQueue queue(*m_suite);
        queue.append(QStringLiteral("a"));
        queue.append(QStringLiteral("b"));
        {
            // Another connection makes every write of the suite's table fail.
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "saboteur");
            db.setDatabaseName(m_dir.filePath(QStringLiteral("prefs.sqlite")));
            QVERIFY(db.open());
            QSqlQuery query(db);
            for (const char* event : {"INSERT", "UPDATE", "DELETE"}) {
                QVERIFY2(query.exec(QStringLiteral("CREATE TRIGGER refuse_%1 BEFORE %1 ON settings "
                                                   "BEGIN SELECT RAISE(ABORT, 'refused'); END")
                                        .arg(QLatin1String(event))),
                         qPrintable(query.lastError().text()));
            }
            QVERIFY(queue.drain().isEmpty());
            for (const char* event : {"INSERT", "UPDATE", "DELETE"})
                QVERIFY(
                    query.exec(QStringLiteral("DROP TRIGGER refuse_%1").arg(QLatin1String(event))));
        }
        QSqlDatabase::removeDatabase(QStringLiteral("saboteur"));
        QCOMPARE(queue.drain(), (QStringList{"a", "b"}));
        QVERIFY(!m_suite->contains(m_key));
    }

    void appendPostsDeletionRecorded()
    {
        std::atomic<int> seen = 0;
        const auto subscription = Signals::observe(
            QString::fromLatin1(SignalName::deletionRecorded), [&seen] { ++seen; });
        UserNoticeQueue(*m_suite).append(QStringLiteral("m"));
        QTRY_VERIFY(seen > 0);
    }
};

QTEST_GUILESS_MAIN(TestUserNoticeQueue)
#include "TestUserNoticeQueue.moc"
