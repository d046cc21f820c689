#include "AcceptanceSession.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QThread>

#include <httplib.h>

#include <algorithm>
#include <csignal>

namespace pixavella::acceptance {

namespace {

QString buildPath(const QString& relative)
{
    return qEnvironmentVariable("PIXAVELLA_BUILD_DIR") + u'/' + relative;
}

// The environment of a program started as a user would from a terminal without a display.
QProcessEnvironment headless()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(name);
    env.insert("LC_ALL", "C.UTF-8");
    return env;
}

bool processAlive(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = stat.readAll();
    return line.mid(line.lastIndexOf(')') + 2, 1) != "Z";
}

} // namespace

QString ToolRun::describe() const
{
    return QStringLiteral("exit %1, out «%2», err «%3»")
        .arg(exitCode)
        .arg(QString::fromUtf8(out.trimmed()), QString::fromUtf8(err.trimmed()));
}

AcceptanceSession::AcceptanceSession() = default;

AcceptanceSession::~AcceptanceSession()
{
    stopApplication();
    if (m_names) {
        m_names->terminate();
        if (!m_names->waitForFinished(10'000))
            m_names->kill();
    }
}

bool AcceptanceSession::waitForListening(QProcess& process, quint16* port)
{
    QByteArray output;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 60'000) {
        process.waitForReadyRead(200);
        output += process.readAllStandardOutput();
        const qsizetype at = output.indexOf("listening on ");
        const qsizetype end = output.indexOf('\n', at);
        if (at >= 0 && end > at) {
            const QByteArray address = output.mid(at + 13, end - at - 13).trimmed();
            *port = quint16(address.mid(address.lastIndexOf(':') + 1).toUInt());
            return *port != 0;
        }
        if (process.state() == QProcess::NotRunning)
            break;
    }
    m_error = QStringLiteral("%1 did not start: %2")
                  .arg(process.program(), QString::fromUtf8(process.readAllStandardError()));
    return false;
}

bool AcceptanceSession::startServers(const QString& folder)
{
    const ToolRun drawn = run(buildPath("immich-double/demo-library"), {folder, kEmail}, 120'000);
    if (drawn.exitCode != 0) {
        m_error = QStringLiteral("demo-library: ") + drawn.describe();
        return false;
    }
    m_double = std::make_unique<testing::ImmichDoubleProcess>();
    if (!m_double->start({"--demo", folder, "--user", kEmail + ':' + kPassword + ':' + kTestKey})) {
        m_error = QStringLiteral("the Immich double did not start");
        return false;
    }

    m_names = std::make_unique<QProcess>();
    m_names->setProcessChannelMode(QProcess::SeparateChannels);
    m_names->start(buildPath("names-service/pixavella-names"),
                   {"--immich-url", m_double->url().toString(), "--listen", "127.0.0.1:0",
                    "--database", folder + "/../names.sqlite"});
    quint16 namesPort = 0;
    if (!waitForListening(*m_names, &namesPort))
        return false;
    m_double->control(
        "POST", "/_double/forward",
        QJsonDocument(QJsonObject{{"prefix", "/pixavella-names"},
                                  {"url", QStringLiteral("http://127.0.0.1:%1").arg(namesPort)}}));
    return true;
}

bool AcceptanceSession::startApplication()
{
    m_app = std::make_unique<QProcess>();
    QProcessEnvironment env = headless();
    env.insert("PIXAVELLA_PASSWORD", kPassword);
    m_app->setProcessEnvironment(env);
    m_app->setProcessChannelMode(QProcess::MergedChannels);
    m_app->start(buildPath("app/program/pixavella"),
                 {"--server", m_double->url().toString(), "--sign-in", kEmail});
    if (!m_app->waitForStarted(30'000)) {
        m_error = QStringLiteral("pixavella did not start");
        return false;
    }
    QElapsedTimer timer;
    timer.start();
    while (!isMounted()) {
        if (m_app->state() == QProcess::NotRunning || timer.elapsed() > 120'000) {
            m_error = QStringLiteral("no drive mounted; pixavella said: ") + applicationOutput();
            return false;
        }
        m_app->waitForReadyRead(200);
    }
    return true;
}

ToolRun AcceptanceSession::application(const QStringList& switches, int timeoutMs)
{
    return run(buildPath("app/program/pixavella"), switches, timeoutMs);
}

bool AcceptanceSession::applicationRunning() const
{
    return m_app && m_app->state() != QProcess::NotRunning;
}

QString AcceptanceSession::applicationOutput()
{
    if (m_app)
        m_appOutput += m_app->readAll();
    return QString::fromUtf8(m_appOutput);
}

// Daemons of this test: passerelle programs whose runtime folder is ours.
QList<qint64> AcceptanceSession::ourDaemons()
{
    const QByteArray marker = "XDG_RUNTIME_DIR=" + qgetenv("XDG_RUNTIME_DIR");
    const QString program = QFileInfo(buildPath("passerelle/passerelle")).canonicalFilePath();
    QList<qint64> pids;
    for (const QString& entry : QDir("/proc").entryList(QDir::Dirs)) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (!number ||
            QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).canonicalFilePath() != program)
            continue;
        QFile environ(QStringLiteral("/proc/%1/environ").arg(pid));
        if (environ.open(QIODevice::ReadOnly) && environ.readAll().split('\0').contains(marker))
            pids.append(pid);
    }
    return pids;
}

void AcceptanceSession::stopApplication()
{
    if (m_app && m_app->state() != QProcess::NotRunning) {
        ::kill(pid_t(m_app->processId()), SIGTERM);
        if (!m_app->waitForFinished(30'000)) {
            m_app->kill();
            m_app->waitForFinished(5'000);
        }
        applicationOutput();
        m_appExitCode = m_app->exitStatus() == QProcess::NormalExit ? m_app->exitCode() : -1;
    }
    const QList<qint64> daemons = ourDaemons();
    for (const qint64 pid : daemons)
        ::kill(pid_t(pid), SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (std::none_of(daemons.begin(), daemons.end(), processAlive))
            break;
        QThread::msleep(100);
    }
    for (const qint64 pid : daemons)
        ::kill(pid_t(pid), SIGKILL);
    if (isMounted())
        run("fusermount3", {"-u", "-z", mountPoint()}, 10'000);
}

QString AcceptanceSession::mountPoint()
{
    return QDir::homePath() + QStringLiteral("/Library/CloudStorage/Pixavella-Pixavella");
}

bool AcceptanceSession::isMounted()
{
    QFile table(QStringLiteral("/proc/self/mountinfo"));
    if (!table.open(QIODevice::ReadOnly))
        return false;
    // Field 5 is the mount point, with spaces written as \040.
    QByteArray wanted = mountPoint().toUtf8();
    wanted.replace(' ', "\\040");
    const QList<QByteArray> lines = table.readAll().split('\n');
    return std::any_of(lines.begin(), lines.end(), [&wanted](const QByteArray& line) {
        const QList<QByteArray> fields = line.split(' ');
        return fields.size() > 4 && fields.at(4) == wanted;
    });
}

QString AcceptanceSession::path(const QString& relative) const
{
    return relative.isEmpty() ? mountPoint() : mountPoint() + u'/' + relative;
}

ToolRun AcceptanceSession::run(const QString& program, const QStringList& arguments,
                               int timeoutMs) const
{
    QProcess process;
    process.setProcessEnvironment(headless());
    process.start(program, arguments);
    ToolRun result;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(5'000);
        result.err = "timed out";
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

QStringList AcceptanceSession::ls(const QString& relative) const
{
    const ToolRun listed = run("ls", {"-1", path(relative)});
    if (listed.exitCode != 0)
        return {QStringLiteral("<ls: %1>").arg(listed.describe())};
    return listed.text().split(u'\n', Qt::SkipEmptyParts);
}

QJsonDocument AcceptanceSession::api(const QByteArray& method, const QString& path,
                                     const QJsonDocument& body) const
{
    httplib::Client client("127.0.0.1", m_double->port());
    client.set_read_timeout(30);
    httplib::Request request;
    request.method = method.toStdString();
    request.path = QStringLiteral("/api/").append(path).toStdString();
    request.set_header("x-api-key", kTestKey.toStdString());
    if (!body.isNull()) {
        request.body = body.toJson(QJsonDocument::Compact).toStdString();
        request.set_header("Content-Type", "application/json");
    }
    const httplib::Result result = client.send(request);
    if (!result || result->status >= 300)
        return {};
    return QJsonDocument::fromJson(QByteArray::fromStdString(result->body));
}

} // namespace pixavella::acceptance
