#pragma once

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>

#include <httplib.h>

#include <csignal>
#include <memory>
#include <optional>
#include <sys/prctl.h>

namespace pixavella::testing {

// Runs the built pixavella-names binary on 127.0.0.1 at a free port and sends it requests.
class NamesServiceProcess {
public:
    struct Reply {
        int status = 0; // 0: no answer
        QByteArray body;
        QJsonDocument json() const { return QJsonDocument::fromJson(body); }
    };

    ~NamesServiceProcess()
    {
        if (m_process && m_process->state() != QProcess::NotRunning) {
            m_process->kill();
            m_process->waitForFinished(5000);
        }
    }

    // Starts it with these arguments and waits until it listens.
    bool start(const QStringList& args)
    {
        m_process = std::make_unique<QProcess>();
        m_process->setProgram(QStringLiteral(NAMES_SERVICE_EXECUTABLE));
        m_process->setArguments(QStringList{QStringLiteral("--listen=127.0.0.1:0")} + args);
        // A crashed test must not leave a service behind.
        m_process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        // The service's log and any sanitizer report show in the test's output.
        m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process->start(QIODevice::ReadOnly);
        static const QRegularExpression listening(QStringLiteral("^listening on [\\d.]+:(\\d+)$"));
        const QDeadlineTimer deadline(30000);
        while (m_process->state() != QProcess::NotRunning &&
               m_process->waitForReadyRead(int(deadline.remainingTime()))) {
            while (m_process->canReadLine()) {
                const auto match =
                    listening.match(QString::fromUtf8(m_process->readLine()).trimmed());
                if (match.hasMatch())
                    return (m_port = quint16(match.captured(1).toUInt())) != 0;
            }
        }
        qWarning("pixavella-names did not print \"listening on\"");
        return false;
    }
    // SIGTERM, then waits; the exit code, or nullopt when it crashed or did not exit.
    std::optional<int> stop()
    {
        m_process->terminate();
        if (!m_process->waitForFinished(30000) || m_process->exitStatus() != QProcess::NormalExit)
            return std::nullopt;
        return m_process->exitCode();
    }

    // `key` absent: no x-api-key header at all.
    Reply list(const std::optional<QByteArray>& key) const { return send("GET", "", key); }
    // The status of naming `asset`.
    int name(const QByteArray& asset, const QString& name, const QByteArray& key) const
    {
        const QJsonObject body{{QStringLiteral("name"), name}};
        return send("PUT", "/" + asset, key, QJsonDocument(body).toJson()).status;
    }

private:
    Reply send(const char* method, const QByteArray& tail, const std::optional<QByteArray>& key,
               const QByteArray& body = {}) const
    {
        httplib::Client client("127.0.0.1", m_port);
        client.set_read_timeout(60);
        httplib::Request request;
        request.method = method;
        request.path = "/pixavella-names/names" + tail.toStdString();
        if (key)
            request.set_header("x-api-key", key->toStdString());
        request.set_header("Content-Type", "application/json");
        request.body = body.toStdString();
        const auto result = client.send(request);
        return result ? Reply{result->status, QByteArray::fromStdString(result->body)} : Reply{};
    }

    std::unique_ptr<QProcess> m_process;
    quint16 m_port = 0;
};

} // namespace pixavella::testing
