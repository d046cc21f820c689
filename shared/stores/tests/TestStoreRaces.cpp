// Stores both programs rewrite, written by several processes at once. The executable is its
// own child: with "--add" it only adds entries, as the drive does, while two of it run and the
// test itself makes the application's passes over the same store.

#include "CancelledUploads.h"
#include "PromotedPendingList.h"
#include "SettingsSuite.h"
#include "StoreFileLock.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

using namespace pixavella;

namespace {

constexpr int kPerChild = 400;

// One store seen as a set of entry ids, so that the race runs the same way on each.
class Store {
public:
    Store(const QString& kind, const QString& databasePath)
        : m_cancelled(kind == QLatin1String("cancelled")), m_suite(databasePath), m_list(m_suite)
    {
    }
    void reset()
    {
        if (const std::optional<QString> path = m_cancels.fileURL())
            QFile::remove(*path);
        m_suite.remove(QLatin1String(PromotedPendingList::kSettingsKey));
    }
    void add(const QString& id)
    {
        if (m_cancelled)
            m_cancels.add(id);
        else
            m_list.promote(id);
    }
    // What the application does to the store on each of its passes, every one a rewrite.
    void applicationPass(const QString& id)
    {
        if (m_cancelled) {
            m_cancels.add(id);
            m_cancels.remove(id);
            m_cancels.pruneExpired();
        } else {
            m_list.promote(id);
            m_list.hiddenPendingIdentifiers();
        }
    }
    QSet<QString> ids()
    {
        if (m_cancelled) {
            const CancelledUploads::Map map = m_cancels.pruneExpired();
            return QSet<QString>(map.keyBegin(), map.keyEnd());
        }
        return m_list.hiddenPendingIdentifiers();
    }

private:
    bool m_cancelled;
    CancelledUploads m_cancels;
    SettingsSuite m_suite;
    PromotedPendingList m_list;
};

// --add <kind> <database> <prefix>
int addAsChild(const QStringList& args)
{
    if (args.size() != 3)
        return 2;
    Store store(args[0], args[1]);
    for (int i = 0; i < kPerChild; ++i)
        store.add(args[2] + QString::number(i));
    return 0;
}

} // namespace

class TestStoreRaces : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString databasePath() const { return m_dir.filePath(QStringLiteral("prefs.sqlite")); }

private slots:
    // Two threads of one process exclude each other too, and the lock file stays for the next
    // holder. A lock that cannot be taken lets the caller go on.
    void storeFileLock()
    {
        const QString store = m_dir.filePath(QStringLiteral("store.json"));
        std::atomic<bool> second = false;
        auto first = std::make_unique<StoreFileLock>(store);
        std::thread waiting([&] { second = StoreFileLock(store).isHeld(); });
        QTest::qWait(100);
        QVERIFY(first->isHeld() && !second);
        first.reset();
        waiting.join();
        QVERIFY(second && QFile::exists(store + QStringLiteral(".lock")));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("cannot open")));
        QVERIFY(!StoreFileLock(m_dir.filePath(QStringLiteral("missing/store.json"))).isHeld());
    }

    void entriesOfTwoProcessesAllKept_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("cancelled uploads") << QStringLiteral("cancelled");
        QTest::newRow("promoted pending items") << QStringLiteral("promoted");
    }
    void entriesOfTwoProcessesAllKept()
    {
        QFETCH(QString, kind);
        Store store(kind, databasePath());
        store.reset();
        store.add(QStringLiteral("before"));

        std::vector<std::unique_ptr<QProcess>> children;
        for (const char* prefix : {"a-", "b-"}) {
            auto child = std::make_unique<QProcess>();
            child->setProcessChannelMode(QProcess::ForwardedChannels);
            child->start(QCoreApplication::applicationFilePath(),
                         {QStringLiteral("--add"), kind, databasePath(), QLatin1String(prefix)});
            QVERIFY(child->waitForStarted());
            children.push_back(std::move(child));
        }
        int passes = 0;
        for (auto& child : children) {
            while (!child->waitForFinished(1))
                store.applicationPass(QStringLiteral("app-") + QString::number(passes++));
            QCOMPARE(child->exitStatus(), QProcess::NormalExit);
            QCOMPARE(child->exitCode(), 0);
        }
        QVERIFY2(passes > 0, "the children ended before the test could write");

        QSet<QString> expected{QStringLiteral("before")};
        for (const QString prefix : {"a-", "b-"}) {
            for (int i = 0; i < kPerChild; ++i)
                expected.insert(prefix + QString::number(i));
        }
        QSet<QString> found = store.ids();
        const qsizetype own =
            found.removeIf([](const QString& id) { return id.startsWith(QLatin1String("app-")); });
        QCOMPARE(found.size(), expected.size());
        QCOMPARE(found, expected);
        // The application removed each cancel it added; its promotions stay.
        QCOMPARE(own, kind == QLatin1String("cancelled") ? 0 : passes);
    }
};

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "--add") == 0)
        return addAsChild(app.arguments().mid(2));
    TestStoreRaces test;
    return QTest::qExec(&test, argc, argv);
}

#include "TestStoreRaces.moc"
