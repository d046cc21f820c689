#pragma once

#include "ServiceOptions.h"

#include <QJsonObject>
#include <QSqlDatabase>
#include <QString>

#include <functional>
#include <optional>

namespace pixavella::names {

// The names, kept per Immich user id in one table:
//   names(user_id, asset_id, name, updated_at) with primary key (user_id, asset_id).
// Thread-safe: QtSql connections belong to the thread that made them, so each calling thread
// gets its own connection, made on first use and removed when that thread ends. Failures are
// logged here and reported to the caller only as "failed".
class NameStorage {
public:
    explicit NameStorage(DatabaseLocation location);
    NameStorage(const NameStorage&) = delete;
    NameStorage& operator=(const NameStorage&) = delete;

    // Creates the SQLite folder and the table if missing and checks that the database answers.
    // Call once before serving. Several instances may open one PostgreSQL database at once.
    [[nodiscard]] bool open();

    // asset id → name for one user; nullopt when the database failed.
    std::optional<QJsonObject> names(const QString& userId);
    // Inserts or replaces one name; false when the database failed.
    [[nodiscard]] bool setName(const QString& userId, const QString& assetId, const QString& name);

private:
    QSqlDatabase threadConnection();
    void configure(QSqlDatabase& db) const;
    bool createSchema(QSqlDatabase& db);
    // Runs `work` on this thread's connection; after a failure, reconnects once and runs it
    // again (a restarted PostgreSQL server drops every connection). `work` must be idempotent.
    bool withConnection(const std::function<bool(QSqlDatabase&)>& work);

    const DatabaseLocation m_location;
    const QString m_connectionPrefix;
};

} // namespace pixavella::names
