#include "SettingsSuite.h"

#include "ContainerPaths.h"
#include "Log.h"

#include <QCborStreamReader>
#include <QCborValue>
#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QThreadStorage>

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <set>

namespace pixavella {

namespace {

constexpr int kBusyTimeoutMs = 5000;
// Each attempt already waits up to kBusyTimeoutMs inside SQLite before reporting busy.
constexpr int kAttempts = 3;

std::atomic<quint64> nextInstanceId{1};
std::atomic<quint64> nextThreadSerial{1};

// Instances alive in the process, so that each thread can close the connections it opened for
// instances destroyed since. Protected by liveMutex.
std::mutex liveMutex;
std::set<quint64> liveInstances;
std::atomic<quint64> instanceDeaths{0};

void dropConnection(const QString& name)
{
    {
        QSqlDatabase db = QSqlDatabase::database(name, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

// QSqlDatabase connections may only be used by the thread that created them: each thread keeps
// one per instance and closes them all when it exits (before QThread::wait() returns; for the
// main thread, when the application object is destroyed).
struct ThreadConnections {
    const quint64 serial = nextThreadSerial++;
    std::map<quint64, QString> byInstance;
    quint64 seenDeaths = 0;

    ~ThreadConnections()
    {
        for (const auto& [id, name] : byInstance)
            dropConnection(name);
    }

    void closeDeadInstances()
    {
        const quint64 deaths = instanceDeaths.load();
        if (deaths == seenDeaths)
            return;
        seenDeaths = deaths;
        std::lock_guard lock(liveMutex);
        for (auto it = byInstance.begin(); it != byInstance.end();) {
            if (liveInstances.count(it->first)) {
                ++it;
                continue;
            }
            dropConnection(it->second);
            it = byInstance.erase(it);
        }
    }

    void forget(quint64 id)
    {
        const auto it = byInstance.find(id);
        if (it == byInstance.end())
            return;
        dropConnection(it->second);
        byInstance.erase(it);
    }
};

QThreadStorage<ThreadConnections*> threadStorage;

ThreadConnections& threadConnections()
{
    if (!threadStorage.hasLocalData())
        threadStorage.setLocalData(new ThreadConnections);
    return *threadStorage.localData();
}

bool isBusy(const QSqlError& error)
{
    const QString code = error.nativeErrorCode();
    return code == QLatin1String("5") || code == QLatin1String("6"); // SQLITE_BUSY, SQLITE_LOCKED
}

// Values are kept as CBOR, whose own types carry ours: text, integer, double, boolean, byte
// string, array and map, nested.
QByteArray encode(const QVariant& value)
{
    const QCborValue cbor = QCborValue::fromVariant(value);
    if (cbor.isUndefined() || cbor.isInvalid())
        return {};
    return cbor.toCbor();
}

QVariant decode(const QByteArray& bytes, const QString& key)
{
    QCborParserError error;
    const QCborValue cbor = QCborValue::fromCbor(bytes, &error);
    if (error.error != QCborError::NoError) {
        qCWarning(lcSettings).noquote()
            << PIXAVELLA_LOG_PREFIX "unreadable value for" << key << "-" << error.errorString();
        return {};
    }
    return cbor.toVariant();
}

class Transaction {
public:
    explicit Transaction(QSqlDatabase db) : m_db(std::move(db)) {}
    ~Transaction()
    {
        if (m_open)
            QSqlQuery(m_db).exec(QStringLiteral("ROLLBACK"));
    }
    QSqlError begin()
    {
        QSqlQuery query(m_db);
        m_open = query.exec(QStringLiteral("BEGIN IMMEDIATE"));
        return m_open ? QSqlError() : query.lastError();
    }
    QSqlError commit()
    {
        QSqlQuery query(m_db);
        if (!query.exec(QStringLiteral("COMMIT")))
            return query.lastError();
        m_open = false;
        return {};
    }

private:
    QSqlDatabase m_db;
    bool m_open = false;
};

const QString kColumns = QStringLiteral("key TEXT PRIMARY KEY NOT NULL, value BLOB NOT NULL");

std::optional<bool> holdsValuesInKeyTree(QSqlQuery& query)
{
    if (!query.exec(QStringLiteral("SELECT sql FROM sqlite_master "
                                   "WHERE type = 'table' AND name = 'settings'")))
        return std::nullopt;
    const bool old = query.next() && query.value(0).toString().contains(
                                         QLatin1String("WITHOUT ROWID"), Qt::CaseInsensitive);
    query.finish(); // a statement left active would keep the table from being dropped
    return old;
}

// Settings used to live in a WITHOUT ROWID table, whose one tree holds keys and values together.
// SQLite compares a record that overflows its page by reading it whole, so every lookup read in
// full each large value it passed on its way (folder listings of 60 KB, a dedup index of
// megabytes): 1.4 ms to read one small key, against 12 us in a table whose key index holds only
// keys. The rows are moved over once, in one transaction that another process's opening waits
// for; a failure leaves the old table, which works, only slower.
void moveValuesOutOfKeyTree(const QSqlDatabase& db)
{
    QSqlQuery query(db);
    if (holdsValuesInKeyTree(query) != true)
        return;
    Transaction transaction(db);
    QSqlError error = transaction.begin();
    if (!error.isValid()) {
        // Another process may have moved them while this one waited for the lock.
        const std::optional<bool> stillOld = holdsValuesInKeyTree(query);
        if (stillOld != true)
            return;
        for (const QString& step :
             {QStringLiteral("CREATE TABLE settings_moved (") + kColumns + u')',
              QStringLiteral("INSERT INTO settings_moved (key, value) "
                             "SELECT key, value FROM settings"),
              QStringLiteral("DROP TABLE settings"),
              QStringLiteral("ALTER TABLE settings_moved RENAME TO settings")}) {
            if (!query.exec(step)) {
                error = query.lastError();
                break;
            }
        }
        if (!error.isValid())
            error = transaction.commit();
    }
    if (error.isValid())
        qCWarning(lcSettings).noquote()
            << PIXAVELLA_LOG_PREFIX "settings kept in their old table -" << error.text();
}

} // namespace

struct SettingsSuite::Private {
    QString path;
    quint64 id = nextInstanceId++;
    std::atomic<bool> openFailureLogged{false};

    std::optional<QSqlDatabase> database();
    bool open(QSqlDatabase& db);
    // Runs one statement, retrying while another process holds the write lock.
    bool exec(QSqlQuery& query, const QString& what, const QString& key);
    bool store(const QSqlDatabase& db, const QString& key, const QVariant& value);
    bool storeBytes(const QSqlDatabase& db, const QString& key, const QByteArray& bytes);
    std::optional<QVariant> load(const QSqlDatabase& db, const QString& key);
    std::optional<QByteArray> loadBytes(const QSqlDatabase& db, const QString& key);
};

std::optional<QSqlDatabase> SettingsSuite::Private::database()
{
    ThreadConnections& connections = threadConnections();
    connections.closeDeadInstances();
    auto it = connections.byInstance.find(id);
    if (it == connections.byInstance.end()) {
        const QString name =
            QStringLiteral("pixavella.settings.%1.%2").arg(id).arg(connections.serial);
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyTimeoutMs));
        it = connections.byInstance.emplace(id, name).first;
    }
    QSqlDatabase db = QSqlDatabase::database(it->second, false);
    if (!db.isOpen() && !open(db))
        return std::nullopt;
    return db;
}

bool SettingsSuite::Private::open(QSqlDatabase& db)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QString failure;
    if (!db.open()) {
        failure = db.lastError().text();
    } else {
        QSqlQuery query(db);
        if (!query.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !query.next() ||
            query.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0)
            failure = QStringLiteral("no write-ahead log: ") + query.lastError().text();
        // With a write-ahead log this loses at most the last writes on power loss, never the
        // file, and spares an fsync per write (about 5 ms each here).
        else if (!query.exec(QStringLiteral("PRAGMA synchronous=NORMAL")))
            failure = query.lastError().text();
        // Every thread has its own connection, and large values (listings of folders, the
        // dedup index) would fill each one's page cache to SQLite's default 2 MiB: a dozen
        // threads held 24 MiB of copies of what the system's file cache holds anyway.
        else if (!query.exec(QStringLiteral("PRAGMA cache_size=-256")))
            failure = query.lastError().text();
        else if (!query.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS settings (") +
                             kColumns + u')'))
            failure = query.lastError().text();
        else
            moveValuesOutOfKeyTree(db);
    }
    if (failure.isEmpty()) {
        openFailureLogged = false;
        return true;
    }
    if (!openFailureLogged.exchange(true))
        qCWarning(lcSettings).noquote()
            << PIXAVELLA_LOG_PREFIX "cannot open settings" << path << "-" << failure;
    db.close();
    return false;
}

bool SettingsSuite::Private::exec(QSqlQuery& query, const QString& what, const QString& key)
{
    for (int attempt = 1;; ++attempt) {
        if (query.exec())
            return true;
        if (!isBusy(query.lastError()) || attempt == kAttempts) {
            qCWarning(lcSettings).noquote()
                << QStringLiteral(PIXAVELLA_LOG_PREFIX "%1 %2 failed - %3")
                       .arg(what, key, query.lastError().text());
            return false;
        }
    }
}

std::optional<QByteArray> SettingsSuite::Private::loadBytes(const QSqlDatabase& db,
                                                            const QString& key)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT value FROM settings WHERE key = ?"));
    query.addBindValue(key);
    if (!exec(query, QStringLiteral("reading"), key))
        return std::nullopt;
    if (!query.next())
        return QByteArray();
    return query.value(0).toByteArray();
}

std::optional<QVariant> SettingsSuite::Private::load(const QSqlDatabase& db, const QString& key)
{
    const std::optional<QByteArray> bytes = loadBytes(db, key);
    if (!bytes)
        return std::nullopt;
    if (bytes->isNull())
        return QVariant();
    return decode(*bytes, key);
}

bool SettingsSuite::Private::store(const QSqlDatabase& db, const QString& key,
                                   const QVariant& value)
{
    if (!value.isValid()) {
        QSqlQuery query(db);
        query.prepare(QStringLiteral("DELETE FROM settings WHERE key = ?"));
        query.addBindValue(key);
        return exec(query, QStringLiteral("removing"), key);
    }
    const QByteArray bytes = encode(value);
    if (bytes.isEmpty()) {
        qCWarning(lcSettings).noquote() << PIXAVELLA_LOG_PREFIX "cannot store a value of type"
                                        << value.typeName() << "for" << key;
        return false;
    }
    return storeBytes(db, key, bytes);
}

bool SettingsSuite::Private::storeBytes(const QSqlDatabase& db, const QString& key,
                                        const QByteArray& bytes)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("INSERT OR REPLACE INTO settings (key, value) VALUES (?, ?)"));
    query.addBindValue(key);
    query.addBindValue(bytes);
    return exec(query, QStringLiteral("writing"), key);
}

SettingsSuite& SettingsSuite::shared()
{
    // Never destroyed: each thread closes its own connection when it exits, and a destructor
    // running after Qt's globals are gone could not.
    static SettingsSuite* suite =
        new SettingsSuite(ContainerPaths::container() + QStringLiteral("/Preferences.sqlite"));
    return *suite;
}

SettingsSuite::SettingsSuite(const QString& databasePath) : d(std::make_unique<Private>())
{
    d->path = databasePath;
    std::lock_guard lock(liveMutex);
    liveInstances.insert(d->id);
}

SettingsSuite::~SettingsSuite()
{
    {
        std::lock_guard lock(liveMutex);
        liveInstances.erase(d->id);
    }
    ++instanceDeaths;
    threadConnections().forget(d->id);
}

QVariant SettingsSuite::value(const QString& key) const
{
    const auto db = d->database();
    if (!db)
        return {};
    return d->load(*db, key).value_or(QVariant());
}

QByteArray SettingsSuite::encodedValue(const QString& key) const
{
    const auto db = d->database();
    if (!db)
        return {};
    return d->loadBytes(*db, key).value_or(QByteArray());
}

void SettingsSuite::setValue(const QString& key, const QVariant& value)
{
    if (const auto db = d->database())
        d->store(*db, key, value);
}

bool SettingsSuite::setEncodedValue(const QString& key, const QByteArray& cbor)
{
    // Walked, not decoded: a decoded copy of a large value is what this spares.
    QCborStreamReader reader(cbor);
    if (!reader.next() || reader.lastError() != QCborError::NoError ||
        reader.currentOffset() != cbor.size()) {
        qCWarning(lcSettings).noquote()
            << PIXAVELLA_LOG_PREFIX "refused a value that is not one CBOR item for" << key;
        return false;
    }
    const auto db = d->database();
    return db && d->storeBytes(*db, key, cbor);
}

void SettingsSuite::remove(const QString& key)
{
    setValue(key, QVariant());
}

bool SettingsSuite::contains(const QString& key) const
{
    const auto db = d->database();
    if (!db)
        return false;
    QSqlQuery query(*db);
    query.prepare(QStringLiteral("SELECT 1 FROM settings WHERE key = ?"));
    query.addBindValue(key);
    return d->exec(query, QStringLiteral("reading"), key) && query.next();
}

QVariant SettingsSuite::update(const QString& key,
                               const std::function<QVariant(const QVariant&)>& change)
{
    const auto db = d->database();
    if (!db)
        return {};
    for (int attempt = 1;; ++attempt) {
        Transaction transaction(*db);
        const QSqlError busy = transaction.begin();
        if (busy.isValid()) {
            if (isBusy(busy) && attempt < kAttempts)
                continue;
            qCWarning(lcSettings).noquote()
                << PIXAVELLA_LOG_PREFIX "updating" << key << "failed -" << busy.text();
            return {};
        }
        const auto current = d->load(*db, key);
        if (!current)
            return {};
        const QVariant next = change(*current);
        if (!d->store(*db, key, next))
            return {};
        const QSqlError failed = transaction.commit();
        if (!failed.isValid())
            return next;
        if (!isBusy(failed) || attempt == kAttempts) {
            qCWarning(lcSettings).noquote()
                << PIXAVELLA_LOG_PREFIX "updating" << key << "failed -" << failed.text();
            return {};
        }
    }
}

} // namespace pixavella
