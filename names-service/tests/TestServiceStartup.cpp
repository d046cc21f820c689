// What main.cpp is made of before it serves: the command line and the signals that stop it.

#include "ServiceOptions.h"
#include "StopSignals.h"

#include <QCoreApplication>
#include <QTest>

#include <csignal>
#include <unistd.h>

using namespace pixavella::names;
using namespace Qt::StringLiterals;

namespace {

const QString immich = u"--immich-url=http://127.0.0.1:2283"_s;

std::variant<ServiceOptions, ServiceOptions::Help, ServiceOptions::Invalid>
parse(const QStringList& args)
{
    return ServiceOptions::parse(QStringList{u"pixavella-names"_s} + args);
}

} // namespace

class TestServiceStartup : public QObject {
    Q_OBJECT

private slots:
    void refusesBadCommandLines()
    {
        // The arguments, and how the refusal starts.
        const auto row = [](const char* name, const QStringList& args, const QString& refusal) {
            const auto parsed = parse(args);
            const auto* invalid = std::get_if<ServiceOptions::Invalid>(&parsed);
            QVERIFY2(invalid && invalid->message.startsWith(refusal), name);
        };
        row("no Immich", {}, u"--immich-url is required"_s);
        row("Immich over ftp", {u"--immich-url=ftp://h"_s}, u"--immich-url:"_s);
        row("Immich with a query", {u"--immich-url=http://h/?a=1"_s}, u"--immich-url:"_s);
        row("listen without port", {immich, u"--listen=127.0.0.1"_s}, u"--listen:"_s);
        row("listen without host", {immich, u"--listen=:80"_s}, u"--listen:"_s);
        row("listen past 65535", {immich, u"--listen=h:65536"_s}, u"--listen:"_s);
        row("prefix not a path", {immich, u"--prefix=names"_s}, u"--prefix:"_s);
        row("per address past the total", {immich, u"--max-connections-per-address=513"_s},
            u"--max-connections-per-address:"_s);
        row("header time-out 0", {immich, u"--header-timeout=0"_s}, u"--header-timeout:"_s);
        row("stray argument", {immich, u"names.sqlite"_s}, u"unexpected argument"_s);
        row("unknown flag", {immich, u"--nope"_s}, u"Unknown option"_s);
        row("empty database", {immich, u"--database="_s}, u"--database: empty"_s);
        row("PostgreSQL without database", {immich, u"--database=postgresql://u@h/"_s},
            u"--database: the URL"_s);
        // Options are joined with ";" for the driver: one must not smuggle in another.
        row("PostgreSQL option holding ;",
            {immich, u"--database=postgresql://u@h/db?sslmode=require;sslmode=disable"_s},
            u"--database: unsupported"_s);
    }

    void readsWhatItAccepts()
    {
        QVERIFY(std::holds_alternative<ServiceOptions::Help>(parse({u"--help"_s})));
        QCOMPARE(std::get<ServiceOptions>(parse({immich})).database.sqlitePath,
                 ServiceOptions::defaultSqlitePath());
        const auto set = std::get<ServiceOptions>(
            parse({immich, u"--listen=[::1]:0"_s, u"--prefix=/a/b/"_s,
                   u"--max-connections-per-address=0"_s, u"--header-timeout=3600"_s,
                   u"--database=postgresql://pixavella:p%40ss%3Aw%2Frd%25@db:6543/names"
                   "?host=/run/pg&sslmode=require&connect_timeout=5"_s}));
        QCOMPARE((QStringList{set.listenHost, QString::number(set.listenPort), set.prefix}),
                 (QStringList{u"::1"_s, u"0"_s, u"/a/b"_s}));
        QVERIFY(set.limits.perAddress == 0 && set.limits.headerTimeout == std::chrono::hours(1));
        const DatabaseLocation& db = set.database;
        QCOMPARE(db.kind, DatabaseLocation::Kind::Postgres);
        QCOMPARE((QStringList{db.host, QString::number(db.port), db.user, db.password,
                              db.databaseName, db.connectOptions}),
                 (QStringList{u"/run/pg"_s, u"6543"_s, u"pixavella"_s, u"p@ss:w/rd%"_s, u"names"_s,
                              u"sslmode=require;connect_timeout=5"_s}));
        QVERIFY(!db.describe().contains(db.password));

        QCOMPARE(std::get<ServiceOptions>(parse({immich, u"--prefix=/"_s})).prefix, QString());
        const auto local = std::get<DatabaseLocation>(DatabaseLocation::parse(u"postgres:///n"_s));
        QCOMPARE(local.host, u"/var/run/postgresql"_s);
        QCOMPARE(local.port, 5432);
    }

    // A stop that comes before the server runs would be lost: it is asked for again and again.
    void stopsOnEachSignalUntilDestroyed()
    {
        for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
            std::atomic<int> stops = 0;
            {
                const StopSignals stopSignals([&stops] { ++stops; });
                QTest::qWait(100);
                QCOMPARE(stops.load(), 0);
                // To the process, as kill(1) sends it: any thread not blocking it could take it.
                ::kill(::getpid(), signal);
                QTRY_VERIFY(stops.load() >= 3);
            }
            const int stopped = stops.load();
            QTest::qWait(150);
            QCOMPARE(stops.load(), stopped);
            // Destroyed without a signal, it ends at once and stops nothing.
            {
                const StopSignals unused([&stops] { ++stops; });
            }
            QCOMPARE(stops.load(), stopped);
        }
    }
};

int main(int argc, char** argv)
{
    StopSignals::block(); // before any thread starts, as main.cpp does
    QCoreApplication app(argc, argv);
    TestServiceStartup test;
    return QTest::qExec(&test, argc, argv);
}

#include "TestServiceStartup.moc"
