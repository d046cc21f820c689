// Two processes append to a notice queue while a third drains it: every notice must come out
// exactly once. The test executable is its own child: with "--append" it only appends.

#include "PedagogicalNoticeQueue.h"
#include "SettingsSuite.h"
#include "UserNoticeQueue.h"

#include <QCoreApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>
#include <memory>

using namespace pixavella;

namespace {

constexpr int kPerChild = 1000;

// --append <user|pedagogical> <database> <label>
int appendAsChild(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 5)
        return 2;
    const QString queue = args[2];
    SettingsSuite suite(args[3]);
    const QString label = args[4];
    for (int i = 0; i < kPerChild; ++i) {
        if (queue == QLatin1String("user")) {
            UserNoticeQueue(suite).append(label + QLatin1Char('-') + QString::number(i));
        } else {
            PedagogicalNoticeQueue(suite).post(
                label == QLatin1String("A") ? PedagogicalNotice::trash : PedagogicalNotice::remove);
        }
    }
    return 0;
}

} // namespace

class TestNoticeQueuesConcurrency : public QObject {
    Q_OBJECT

private slots:
    void everyNoticeDrainedExactlyOnce_data()
    {
        QTest::addColumn<QString>("queue");
        QTest::newRow("user-notice queue") << QStringLiteral("user");
        QTest::newRow("pedagogical queue") << QStringLiteral("pedagogical");
    }
    void everyNoticeDrainedExactlyOnce()
    {
        QFETCH(QString, queue);
        QTemporaryDir dir;
        const QString database = dir.filePath(QStringLiteral("prefs.sqlite"));
        SettingsSuite suite(database);
        UserNoticeQueue notices(suite);
        PedagogicalNoticeQueue pedagogical(suite);

        QStringList drained;
        const auto drain = [&] {
            if (queue == QLatin1String("user")) {
                drained += notices.drain();
                return;
            }
            for (PedagogicalNotice notice : pedagogical.drain())
                drained.append(noticeKey(notice));
        };

        std::vector<std::unique_ptr<QProcess>> children;
        for (const QString& label : {QStringLiteral("A"), QStringLiteral("B")}) {
            auto child = std::make_unique<QProcess>();
            child->setProcessChannelMode(QProcess::ForwardedChannels);
            child->start(QCoreApplication::applicationFilePath(),
                         {QStringLiteral("--append"), queue, database, label});
            QVERIFY(child->waitForStarted());
            children.push_back(std::move(child));
        }
        int drains = 0;
        for (auto& child : children) {
            while (!child->waitForFinished(5)) {
                drain();
                ++drains;
            }
            QCOMPARE(child->exitStatus(), QProcess::NormalExit);
            QCOMPARE(child->exitCode(), 0);
        }
        drain();
        qInfo("%d drains while appending", drains);

        if (queue == QLatin1String("user")) {
            // Each child's notices, once each, in the order it appended them.
            for (const QString& label : {QStringLiteral("A"), QStringLiteral("B")}) {
                QStringList expected;
                for (int i = 0; i < kPerChild; ++i)
                    expected.append(label + QLatin1Char('-') + QString::number(i));
                const QStringList fromChild =
                    drained.filter(QRegularExpression(QLatin1Char('^') + label + QLatin1Char('-')));
                QCOMPARE(fromChild, expected);
            }
            QCOMPARE(drained.size(), 2 * kPerChild);
        } else {
            QCOMPARE(drained.count(QStringLiteral("trash")), kPerChild);
            QCOMPARE(drained.count(QStringLiteral("remove")), kPerChild);
            QCOMPARE(drained.size(), 2 * kPerChild);
        }
        QVERIFY(!suite.contains(QString::fromLatin1(UserNoticeQueue::kSettingsKey)));
        QVERIFY(!suite.contains(QString::fromLatin1(PedagogicalNoticeQueue::kSettingsKey)));
    }
};

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--append") == 0)
        return appendAsChild(argc, argv);
    QCoreApplication app(argc, argv);
    TestNoticeQueuesConcurrency test;
    return QTest::qExec(&test, argc, argv);
}

#include "TestNoticeQueuesConcurrency.moc"
