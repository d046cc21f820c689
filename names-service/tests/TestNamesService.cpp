// The pixavella-names binary end to end: started as a process on a SQLite file, asking the
// Immich double over HTTP, stopped by a signal. Routing and refusals are TestNamesServer's,
// storage TestNameStorage's, the command line TestServiceStartup's.

#include "ImmichDoubleProcess.h"
#include "NamesServiceProcess.h"

#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

using namespace pixavella::testing;
using namespace Qt::StringLiterals;

class TestNamesService : public QObject {
    Q_OBJECT

    ImmichDoubleProcess m_immich;
    QTemporaryDir m_files;

    std::unique_ptr<NamesServiceProcess> startService(const QString& database)
    {
        auto service = std::make_unique<NamesServiceProcess>();
        service->launch({u"--immich-url"_s, m_immich.url().toString(), u"--database"_s, database});
        return service->waitUntilListening() ? std::move(service) : nullptr;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_files.isValid());
        QVERIFY(m_immich.start(
            {u"--user"_s, u"a@example.org:pa:key-a"_s, u"--user"_s, u"b@example.org:pb:key-b"_s}));
    }

    void keepsNamesAcrossRestarts()
    {
        const QString database = m_files.filePath(u"names/names.sqlite"_s);
        auto service = startService(database);
        QVERIFY(service);
        QCOMPARE(service->name("asset-1", u"Été 2023 😀.heic"_s, "key-a"), 200);
        QCOMPARE(service->list("key-b").json().object(), QJsonObject());
        QCOMPARE(service->list("key-z").status, 401);
        QCOMPARE(service->stop(), std::optional<int>(0));

        service = startService(database);
        QVERIFY(service);
        QCOMPARE(service->list("key-a").json().object(),
                 (QJsonObject{{u"asset-1"_s, u"Été 2023 😀.heic"_s}}));
        QCOMPARE(service->stop(), std::optional<int>(0));
    }
};

QTEST_GUILESS_MAIN(TestNamesService)
#include "TestNamesService.moc"
