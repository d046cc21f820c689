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

private slots:
    void initTestCase()
    {
        QVERIFY(m_files.isValid());
        QVERIFY(m_immich.start(
            {u"--user"_s, u"a@example.org:pa:key-a"_s, u"--user"_s, u"b@example.org:pb:key-b"_s}));
    }

    void keepsNamesAcrossRestarts()
    {
        const QStringList args{u"--immich-url"_s, m_immich.url().toString(), u"--database"_s,
                               m_files.filePath(u"names/names.sqlite"_s)};
        NamesServiceProcess first;
        QVERIFY(first.start(args));
        QCOMPARE(first.name("asset-1", u"Été 2023 😀.heic"_s, "key-a"), 200);
        QCOMPARE(first.list("key-b").json().object(), QJsonObject());
        QCOMPARE(first.list("key-z").status, 401);
        QCOMPARE(first.stop(), std::optional<int>(0));

        NamesServiceProcess second;
        QVERIFY(second.start(args));
        QCOMPARE(second.list("key-a").json().object(),
                 (QJsonObject{{u"asset-1"_s, u"Été 2023 😀.heic"_s}}));
        QCOMPARE(second.stop(), std::optional<int>(0));
    }
};

QTEST_GUILESS_MAIN(TestNamesService)
#include "TestNamesService.moc"
