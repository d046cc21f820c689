#include "PostgresServer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpServer>
#include <QUrl>

#include <csignal>
#include <cstdlib>
#include <pwd.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace pixavella::testing {

PostgresServer::~PostgresServer()
{
    // SIGQUIT: immediate shutdown, without the final checkpoint; the cluster is thrown away.
    stop(SIGQUIT);
    m_server.reset();
    if (!m_dataRoot.isEmpty())
        QDir(m_dataRoot).removeRecursively();
}

QString PostgresServer::binDirectory()
{
    const QDir versions(QStringLiteral("/usr/lib/postgresql"));
    for (const QString& version :
         versions.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::Reversed)) {
        const QString bin = versions.filePath(version + QStringLiteral("/bin"));
        if (QFile::exists(bin + QStringLiteral("/initdb")) &&
            QFile::exists(bin + QStringLiteral("/postgres")))
            return bin;
    }
    return {};
}

void PostgresServer::prepareProcess(QProcess& process, const QString& program,
                                    const QStringList& args)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // The test's private TMPDIR is closed to the server's user.
    environment.remove(QStringLiteral("TMPDIR"));
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(m_dataRoot);
    if (m_runAs.isEmpty()) {
        process.setProgram(program);
        process.setArguments(args);
        // A crashed test must not leave a server behind.
        process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGINT); });
        return;
    }
    // setpriv replaces itself with the program (no extra process in between), and sets the
    // parent-death signal after changing user, which would otherwise clear it.
    process.setProgram(QStringLiteral("setpriv"));
    process.setArguments(QStringList{"--reuid=" + m_runAs, "--regid=" + m_runAs, "--clear-groups",
                                     "--pdeathsig=INT", "--", program} +
                         args);
}

QString PostgresServer::start()
{
    const QString bin = binDirectory();
    if (bin.isEmpty())
        return QStringLiteral(
            "no PostgreSQL server under /usr/lib/postgresql (package postgresql)");
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL")))
        return QStringLiteral("no Qt PostgreSQL driver (package libqt6sql6-psql)");

    // Directly under /tmp rather than the test's TMPDIR, which only root may enter.
    QByteArray pattern("/tmp/pixavella-names-pg.XXXXXX");
    if (!::mkdtemp(pattern.data()))
        return QStringLiteral("cannot create a folder under /tmp");
    m_dataRoot = QString::fromLocal8Bit(pattern);

    if (::geteuid() == 0) {
        const passwd* user = ::getpwnam("postgres");
        if (!user)
            user = ::getpwnam("nobody");
        if (!user)
            return QStringLiteral("running as root, and neither user postgres nor nobody exists");
        m_runAs = QString::fromLocal8Bit(user->pw_name);
        if (::chown(pattern.constData(), user->pw_uid, user->pw_gid) != 0)
            return QStringLiteral("cannot give %1 to %2").arg(m_dataRoot, m_runAs);
    }

    const QString passwordFile = m_dataRoot + QStringLiteral("/password");
    QFile passwordOut(passwordFile);
    if (!passwordOut.open(QIODevice::WriteOnly) || passwordOut.write(password().toUtf8()) < 0)
        return QStringLiteral("cannot write %1").arg(passwordFile);
    passwordOut.close();
    m_cluster = m_dataRoot + QStringLiteral("/cluster");
    QProcess initdb;
    prepareProcess(initdb, bin + "/initdb",
                   {"-D", m_cluster, "-U", userName(), "--pwfile=" + passwordFile,
                    "--auth-host=scram-sha-256", "--auth-local=trust", "--encoding=UTF8",
                    "--no-sync"});
    initdb.setProcessChannelMode(QProcess::MergedChannels);
    initdb.start();
    if (!initdb.waitForFinished(120000) || initdb.exitStatus() != QProcess::NormalExit ||
        initdb.exitCode() != 0)
        return QStringLiteral("initdb failed: ") + QString::fromLocal8Bit(initdb.readAll());

    // A free port can be taken by someone else before the server binds it: try a few.
    for (int attempt = 0; attempt < 5; ++attempt) {
        QTcpServer probe;
        m_port = probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
        probe.close();
        const QString failure = launch();
        if (failure.isEmpty() || !failure.contains(QLatin1String("could not bind")))
            return failure;
    }
    return QStringLiteral("postgres found no free port");
}

QString PostgresServer::launch()
{
    m_server = std::make_unique<QProcess>();
    prepareProcess(*m_server, binDirectory() + "/postgres",
                   {"-D", m_cluster, "-p", QString::number(m_port), "-c",
                    "listen_addresses=127.0.0.1", "-c", "unix_socket_directories=" + m_dataRoot,
                    "-c", "fsync=off", "-c", "max_connections=200"});
    // A file rather than a pipe nobody reads, which would stall the server once full.
    const QString log = m_dataRoot + QStringLiteral("/postgres.log");
    m_server->setStandardOutputFile(log, QIODevice::Append);
    m_server->setStandardErrorFile(log, QIODevice::Append);
    m_server->start();
    if (!m_server->waitForStarted(10000))
        return QStringLiteral("cannot start postgres: %1").arg(m_server->errorString());

    bool ready = false;
    const QDeadlineTimer deadline(60000);
    while (!ready && !deadline.hasExpired() && m_server->state() == QProcess::Running) {
        ready = execute(QStringLiteral("postgres"), QStringLiteral("SELECT 1"), true);
        if (!ready)
            m_server->waitForFinished(100);
    }
    if (ready)
        return {};
    stop(SIGKILL);
    QFile output(log);
    output.open(QIODevice::ReadOnly);
    return QStringLiteral("postgres did not become ready: %1")
        .arg(QString::fromLocal8Bit(output.readAll()));
}

void PostgresServer::stop(int signal)
{
    if (!m_server || m_server->state() == QProcess::NotRunning)
        return;
    ::kill(pid_t(m_server->processId()), signal);
    if (!m_server->waitForFinished(30000)) {
        m_server->kill();
        m_server->waitForFinished(5000);
    }
}

QString PostgresServer::restart()
{
    // SIGINT: fast shutdown, which ends every client connection, as a server restart does.
    stop(SIGINT);
    return launch();
}

bool PostgresServer::execute(const QString& database, const QString& statement, bool quiet)
{
    const QString connection = QStringLiteral("pixavella-pg-admin");
    bool done = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connection);
        db.setHostName(QStringLiteral("127.0.0.1"));
        db.setPort(m_port);
        db.setUserName(userName());
        db.setPassword(password());
        db.setDatabaseName(database);
        if (db.open()) {
            QSqlQuery query(db);
            done = query.exec(statement);
            if (!done)
                qWarning("%s: %s", qPrintable(statement), qPrintable(query.lastError().text()));
        } else if (!quiet) {
            qWarning("cannot connect to %s: %s", qPrintable(database),
                     qPrintable(db.lastError().text()));
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(connection);
    return done;
}

QString PostgresServer::url(const QString& database) const
{
    return QStringLiteral("postgresql://%1:%2@127.0.0.1:%3/%4")
        .arg(userName(), QString::fromLatin1(QUrl::toPercentEncoding(password())),
             QString::number(m_port), database);
}

} // namespace pixavella::testing
