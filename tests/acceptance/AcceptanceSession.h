#pragma once

// The whole product as a user runs it: the Immich double holding the demo library, the names
// service behind it, and the `pixavella` program (headless) signed in with its switches, which
// starts passerelle and mounts the drive. Everything started here is stopped and unmounted when
// the session goes.

#include "ImmichDoubleProcess.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

namespace pixavella::acceptance {

inline const QString kEmail = QStringLiteral("demo@pixavella.local");
inline const QString kPassword = QStringLiteral("demo");
// A key of the test's own, to look at the server without touching the application's.
inline const QString kTestKey = QStringLiteral("acceptance-key");

struct ToolRun {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    QString text() const { return QString::fromUtf8(out); }
    QString describe() const;
};

class AcceptanceSession {
public:
    AcceptanceSession();
    ~AcceptanceSession();
    AcceptanceSession(const AcceptanceSession&) = delete;
    AcceptanceSession& operator=(const AcceptanceSession&) = delete;

    // Draws the demo library into `folder`, starts the double on it and the names service, and
    // sends /pixavella-names to the latter like a reverse proxy. False (and error()) on failure.
    bool startServers(const QString& folder);
    // `pixavella --server URL --sign-in EMAIL`, then waits for the drive's mount.
    bool startApplication();
    // A second `pixavella` with these switches, handed to the running one.
    ToolRun application(const QStringList& switches, int timeoutMs = 60'000);
    // SIGTERM to pixavella, its exit awaited; any daemon left is stopped, the mount detached.
    void stopApplication();
    bool applicationRunning() const;
    int applicationExitCode() const { return m_appExitCode; }
    QString applicationOutput();

    static QString mountPoint();
    static bool isMounted();
    QString path(const QString& relative = {}) const;

    ToolRun run(const QString& program, const QStringList& arguments, int timeoutMs = 60'000) const;
    // `ls -1` of a folder of the drive; an error text as the only entry when ls fails.
    QStringList ls(const QString& relative) const;

    // An /api request with the test's own key; the answer's JSON (null on failure).
    QJsonDocument api(const QByteArray& method, const QString& path,
                      const QJsonDocument& body = {}) const;
    testing::ImmichDoubleProcess& server() { return *m_double; }
    QString error() const { return m_error; }

private:
    bool waitForListening(QProcess& process, quint16* port);
    static QList<qint64> ourDaemons();

    std::unique_ptr<testing::ImmichDoubleProcess> m_double;
    std::unique_ptr<QProcess> m_names;
    std::unique_ptr<QProcess> m_app;
    QByteArray m_appOutput;
    int m_appExitCode = -1;
    QString m_error;
};

} // namespace pixavella::acceptance
