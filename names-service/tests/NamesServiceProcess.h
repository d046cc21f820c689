#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class QProcess;

namespace pixavella::testing {

// Runs the built pixavella-names binary on 127.0.0.1 at a free port and sends it requests.
class NamesServiceProcess {
public:
    struct Reply {
        int status = 0; // 0: no answer
        QByteArray body;
        QJsonDocument json() const { return QJsonDocument::fromJson(body); }
    };

    NamesServiceProcess();
    ~NamesServiceProcess(); // kills the process if still running
    NamesServiceProcess(const NamesServiceProcess&) = delete;
    NamesServiceProcess& operator=(const NamesServiceProcess&) = delete;

    // launch() and waitUntilListening() apart let several instances start at the same time.
    void launch(const QStringList& args);
    bool waitUntilListening();
    bool start(const QStringList& args)
    {
        launch(args);
        return waitUntilListening();
    }
    // SIGTERM, then waits; the exit code, or nullopt when it crashed or did not exit.
    std::optional<int> stop();
    quint16 port() const { return m_port; }

    // `key` absent: no x-api-key header at all.
    Reply send(const QByteArray& method, const QByteArray& path,
               const std::optional<QByteArray>& key, const QByteArray& body = {}) const;
    Reply list(const std::optional<QByteArray>& key) const;
    Reply put(const QByteArray& assetSegment, const QByteArray& body,
              const std::optional<QByteArray>& key) const;

    static QByteArray prefix() { return QByteArrayLiteral("/pixavella-names"); }
    static QByteArray nameBody(const QString& name);

private:
    std::unique_ptr<QProcess> m_process;
    quint16 m_port = 0;
};

} // namespace pixavella::testing
