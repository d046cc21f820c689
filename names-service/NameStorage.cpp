#include "NameStorage.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSqlError>
#include <QSqlQuery>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

Q_LOGGING_CATEGORY(lcNamesStorage, "pixavella.names.storage")

namespace pixavella::names {

namespace {

// Any fixed number: serialises table creation between instances starting at the same time,
// which CREATE TABLE IF NOT EXISTS alone does not do in PostgreSQL.
constexpr qint64 schemaLockId = 0x70697861'6e616d65;

const char* const createTable = "CREATE TABLE IF NOT EXISTS names ("
                                " user_id TEXT NOT NULL,"
                                " asset_id TEXT NOT NULL,"
                                " name TEXT NOT NULL,"
                                " updated_at BIGINT NOT NULL,"
                                " PRIMARY KEY (user_id, asset_id))";

// Removes this thread's connections when the thread ends, in the thread that owns them.
struct ThreadConnections {
    std::vector<QString> names;
    ~ThreadConnections()
    {
        for (const QString& name : names) {
            QSqlDatabase::database(name, false).close();
            QSqlDatabase::removeDatabase(name);
        }
    }
};
thread_local ThreadConnections threadConnections;

QString nextConnectionPrefix()
{
    static std::atomic<int> counter{0};
    return QStringLiteral("pixavella-names-%1-").arg(counter.fetch_add(1));
}

bool exec(QSqlQuery& query, const char* what)
{
    if (query.exec())
        return true;
    qCWarning(lcNamesStorage).noquote() << what << "failed:" << query.lastError().text();
    return false;
}

bool exec(QSqlDatabase& db, const QString& statement, const char* what)
{
    QSqlQuery query(db);
    if (query.exec(statement))
        return true;
    qCWarning(lcNamesStorage).noquote() << what << "failed:" << query.lastError().text();
    return false;
}

} // namespace

NameStorage::NameStorage(DatabaseLocation location)
    : m_location(std::move(location)), m_connectionPrefix(nextConnectionPrefix())
{
}

void NameStorage::configure(QSqlDatabase& db) const
{
    if (m_location.kind == DatabaseLocation::Kind::Sqlite) {
        db.setDatabaseName(m_location.sqlitePath);
        // Other threads and other instances write the same file.
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
        return;
    }
    db.setHostName(m_location.host);
    db.setPort(m_location.port);
    db.setUserName(m_location.user);
    db.setPassword(m_location.password);
    db.setDatabaseName(m_location.databaseName);
    db.setConnectOptions(m_location.connectOptions);
}

QSqlDatabase NameStorage::threadConnection()
{
    const QString name = m_connectionPrefix +
                         QString::number(std::hash<std::thread::id>{}(std::this_thread::get_id()));
    if (QSqlDatabase::contains(name))
        return QSqlDatabase::database(name, false);
    QSqlDatabase db = QSqlDatabase::addDatabase(m_location.kind == DatabaseLocation::Kind::Sqlite
                                                    ? QStringLiteral("QSQLITE")
                                                    : QStringLiteral("QPSQL"),
                                                name);
    threadConnections.names.push_back(name);
    configure(db);
    return db;
}

bool NameStorage::withConnection(const std::function<bool(QSqlDatabase&)>& work)
{
    QSqlDatabase db = threadConnection();
    if (db.isOpen() && work(db))
        return true;
    db.close();
    if (!db.open()) {
        qCWarning(lcNamesStorage).noquote()
            << "cannot open the" << m_location.describe() << ":" << db.lastError().text();
        return false;
    }
    return work(db);
}

bool NameStorage::createSchema(QSqlDatabase& db)
{
    if (m_location.kind == DatabaseLocation::Kind::Sqlite) {
        // Two instances opening a new file together: SQLite answers the loser's switch "busy"
        // at once, without its busy handler, while the winner changes the journal; asked again
        // a moment later it finds WAL already set.
        QSqlQuery wal(db);
        bool switched = false;
        for (int attempt = 0; attempt < 50 && !switched; ++attempt) {
            if (attempt > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            switched = wal.exec(QStringLiteral("PRAGMA journal_mode=WAL")) && wal.next() &&
                       wal.value(0).toString().compare(QLatin1String("wal"),
                                                       Qt::CaseInsensitive) == 0;
            wal.finish();
        }
        if (!switched) {
            qCWarning(lcNamesStorage).noquote() << "cannot switch" << m_location.describe()
                                                << "to WAL mode" << wal.lastError().text();
            return false;
        }
        return exec(db, QString::fromLatin1(createTable), "creating the table");
    }
    if (!db.transaction()) {
        qCWarning(lcNamesStorage).noquote() << "cannot begin:" << db.lastError().text();
        return false;
    }
    QSqlQuery lock(db);
    lock.prepare(QStringLiteral("SELECT pg_advisory_xact_lock(?)"));
    lock.addBindValue(schemaLockId);
    const bool created = exec(lock, "locking the schema") &&
                         exec(db, QString::fromLatin1(createTable), "creating the table") &&
                         db.commit();
    if (!created)
        db.rollback();
    return created;
}

bool NameStorage::open()
{
    if (m_location.kind == DatabaseLocation::Kind::Sqlite) {
        const QString folder = QFileInfo(m_location.sqlitePath).absolutePath();
        if (!QDir().mkpath(folder)) {
            qCCritical(lcNamesStorage).noquote() << "cannot create the folder" << folder;
            return false;
        }
    }
    // Done on a connection of its own: the calling thread does not serve requests.
    const QString name = m_connectionPrefix + QStringLiteral("setup");
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(
            m_location.kind == DatabaseLocation::Kind::Sqlite ? QStringLiteral("QSQLITE")
                                                              : QStringLiteral("QPSQL"),
            name);
        if (!db.isValid()) {
            qCCritical(lcNamesStorage) << "the Qt SQL driver for this database is not installed";
        } else {
            configure(db);
            if (!db.open())
                qCCritical(lcNamesStorage).noquote()
                    << "cannot open the" << m_location.describe() << ":" << db.lastError().text();
            else
                ok = createSchema(db);
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}

std::optional<QJsonObject> NameStorage::names(const QString& userId)
{
    QJsonObject result;
    const bool ok = withConnection([&](QSqlDatabase& db) {
        result = {};
        QSqlQuery query(db);
        query.setForwardOnly(true);
        query.prepare(QStringLiteral("SELECT asset_id, name FROM names WHERE user_id = ?"));
        query.addBindValue(userId);
        if (!exec(query, "reading names"))
            return false;
        while (query.next())
            result.insert(query.value(0).toString(), query.value(1).toString());
        return true;
    });
    if (!ok)
        return std::nullopt;
    return result;
}

bool NameStorage::setName(const QString& userId, const QString& assetId, const QString& name)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    return withConnection([&](QSqlDatabase& db) {
        QSqlQuery query(db);
        query.prepare(QStringLiteral(
            "INSERT INTO names (user_id, asset_id, name, updated_at) VALUES (?, ?, ?, ?) "
            "ON CONFLICT (user_id, asset_id) "
            "DO UPDATE SET name = excluded.name, updated_at = excluded.updated_at"));
        query.addBindValue(userId);
        query.addBindValue(assetId);
        query.addBindValue(name);
        query.addBindValue(now);
        return exec(query, "storing a name");
    });
}

} // namespace pixavella::names
