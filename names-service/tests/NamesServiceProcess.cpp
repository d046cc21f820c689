#include "NamesServiceProcess.h"

#include <QDeadlineTimer>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>

#include <httplib.h>

#include <csignal>
#include <sys/prctl.h>

namespace pixavella::testing {

NamesServiceProcess::NamesServiceProcess() = default;

NamesServiceProcess::~NamesServiceProcess()
{
    if (m_process && m_process->state() != QProcess::NotRunning) {
        m_process->kill();
        m_process->waitForFinished(5000);
    }
}

void NamesServiceProcess::launch(const QStringList& args)
{
    m_port = 0;
    m_process = std::make_unique<QProcess>();
    m_process->setProgram(QStringLiteral(NAMES_SERVICE_EXECUTABLE));
    m_process->setArguments(QStringList{QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0")} +
                            args);
    // A crashed test must not leave a service behind.
    m_process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    // The service's log and any sanitizer report show in the test's output.
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process->start(QIODevice::ReadOnly);
}

bool NamesServiceProcess::waitUntilListening()
{
    static const QRegularExpression listening(
        QStringLiteral("^listening on 127\\.0\\.0\\.1:(\\d+)$"));
    const QDeadlineTimer deadline(30000);
    while (!deadline.hasExpired()) {
        while (m_process->canReadLine()) {
            const auto match = listening.match(QString::fromUtf8(m_process->readLine()).trimmed());
            if (match.hasMatch()) {
                m_port = quint16(match.captured(1).toUInt());
                return true;
            }
        }
        if (m_process->state() == QProcess::NotRunning ||
            !m_process->waitForReadyRead(int(deadline.remainingTime())))
            break;
    }
    qWarning("pixavella-names did not print \"listening on\"");
    return false;
}

std::optional<int> NamesServiceProcess::stop()
{
    if (!m_process || m_process->state() == QProcess::NotRunning)
        return std::nullopt;
    m_process->terminate();
    if (!m_process->waitForFinished(30000) || m_process->exitStatus() != QProcess::NormalExit)
        return std::nullopt;
    return m_process->exitCode();
}

NamesServiceProcess::Reply NamesServiceProcess::send(const QByteArray& method,
                                                     const QByteArray& path,
                                                     const std::optional<QByteArray>& key,
                                                     const QByteArray& body) const
{
    httplib::Client client("127.0.0.1", m_port);
    client.set_connection_timeout(10);
    client.set_read_timeout(60);
    httplib::Request request;
    request.method = method.toStdString();
    request.path = path.toStdString();
    if (key)
        request.set_header("x-api-key", key->toStdString());
    if (method == "PUT" || !body.isEmpty()) {
        request.set_header("Content-Type", "application/json");
        request.body = body.toStdString();
    }
    const auto result = client.send(request);
    if (!result)
        return {};
    return Reply{result->status, QByteArray::fromStdString(result->body)};
}

NamesServiceProcess::Reply NamesServiceProcess::list(const std::optional<QByteArray>& key) const
{
    return send("GET", prefix() + "/names", key);
}

NamesServiceProcess::Reply NamesServiceProcess::put(const QByteArray& assetSegment,
                                                    const QByteArray& body,
                                                    const std::optional<QByteArray>& key) const
{
    return send("PUT", prefix() + "/names/" + assetSegment, key, body);
}

QByteArray NamesServiceProcess::nameBody(const QString& name)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("name"), name}})
        .toJson(QJsonDocument::Compact);
}

} // namespace pixavella::testing
