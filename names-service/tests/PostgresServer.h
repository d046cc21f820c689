#pragma once

#include <QString>

#include <memory>

class QProcess;

namespace pixavella::testing {

// A private PostgreSQL server for one test run: a fresh cluster in a temporary folder, listening
// on 127.0.0.1 at a free port, with password authentication over TCP. Run as the "postgres"
// user when the test runs as root (PostgreSQL refuses root). Stopped and removed on destruction.
class PostgresServer {
public:
    PostgresServer() = default;
    ~PostgresServer();
    PostgresServer(const PostgresServer&) = delete;
    PostgresServer& operator=(const PostgresServer&) = delete;

    // The folder holding initdb and postgres, or empty when PostgreSQL is not installed.
    static QString binDirectory();

    // Empty on success, otherwise why the server could not be started.
    QString start();
    // Stops the server, ending every connection, and starts it again at the same port.
    QString restart();
    // Runs one statement as the superuser in `database`; false (and a warning unless `quiet`)
    // on failure.
    bool execute(const QString& database, const QString& statement, bool quiet = false);
    // postgresql:// URL of `database`, with the user and password.
    QString url(const QString& database) const;

    static QString userName() { return QStringLiteral("pixavella"); }
    // Characters that must be percent-encoded in a URL, to exercise the URL reading.
    static QString password() { return QStringLiteral("p@ss:w/rd%"); }

private:
    void prepareProcess(QProcess& process, const QString& program, const QStringList& args);
    // Starts postgres on m_port and waits until it accepts connections.
    QString launch();
    void stop(int signal);

    QString m_dataRoot; // temporary folder: cluster, sockets, password file
    QString m_cluster;
    QString m_runAs; // user the server runs as when started by root
    quint16 m_port = 0;
    std::unique_ptr<QProcess> m_server;
};

} // namespace pixavella::testing
