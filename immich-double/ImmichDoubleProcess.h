#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <memory>

class QProcess;

namespace pixavella::testing {

// Runs the immich-double test server as a child process and talks to its /_double/ control
// endpoints. The object must be destroyed on the thread that called start(); the control calls
// may be made from any thread and need no event loop.
class ImmichDoubleProcess {
public:
    ImmichDoubleProcess();
    ~ImmichDoubleProcess(); // kills the process
    ImmichDoubleProcess(const ImmichDoubleProcess&) = delete;
    ImmichDoubleProcess& operator=(const ImmichDoubleProcess&) = delete;

    // Starts the built binary (PIXAVELLA_BUILD_DIR/immich-double/immich-double, or the path
    // known at compile time) with these arguments and waits for "listening on …" (at most 20 s).
    bool start(const QStringList& args = {});
    QUrl url() const; // http://127.0.0.1:<port>
    quint16 port() const;

    QJsonDocument control(const QByteArray& method, const QString& path,
                          const QJsonDocument& body = {}) const;
    QString addAsset(const QJsonObject& asset); // POST /_double/assets, returns id
    QString addAlbum(const QJsonObject& album); // POST /_double/albums, returns id
    void fail(int status, int count, const QString& pathPrefix = {});
    void drop(int count, const QString& pathPrefix = {});
    void setLatency(int ms);
    QJsonArray requests() const;
    void reset();

private:
    void stop();

    std::unique_ptr<QProcess> m_process;
    quint16 m_port = 0;
};

} // namespace pixavella::testing
