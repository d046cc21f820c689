#pragma once

// The real drive for tests: the Immich double, the settings and the API key stored the way the
// tray application stores them, and passerelle started through FileProviderManager on the
// mount point a user sees. Everything is stopped and unmounted when the harness goes.

#include "FileProviderManager.h"
#include "ImmichDoubleProcess.h"
#include "MountedHost.h" // runTool
#include "UploadQuarantine.h"

#include <QHash>
#include <QJsonArray>
#include <QString>
#include <QStringList>

#include <QProcess>

#include <memory>
#include <optional>

namespace pixavella::testing {

inline const QString kMe = QStringLiteral("me@x.test");
inline const QString kOther = QStringLiteral("other@x.test");
inline const QString kMyKey = QStringLiteral("me-key");

class DriveHarness {
public:
    DriveHarness();
    ~DriveHarness();
    DriveHarness(const DriveHarness&) = delete;
    DriveHarness& operator=(const DriveHarness&) = delete;

    // The double with two users (me, other), plus `extra` arguments (--seed, --demo…).
    bool startServer(const QStringList& extra = {});
    // Signs in to the double, or to `url` when given (a relay in front of it).
    void signIn(const QString& key = kMyKey, const QString& url = {});

    // FileProviderManager::add (starts passerelle, waits for the mount) and the others, run to
    // their completion on a local event loop; a failure is also printed.
    Result<void> mount();
    Result<void> signal(const QString& container);
    Result<void> remove();
    // Removes the domain; a daemon that does not answer is killed and its mount detached.
    void stop();

    QString path(const QString& relative = {}) const;
    ToolRun run(const QString& program, const QStringList& arguments, int timeoutMs = 30'000) const;
    // `ls -1` plus options of a folder of the mount, one name per entry.
    QStringList ls(const QString& relative, const QStringList& options = {}) const;
    qint64 daemonPid() const;

    // Number of /api requests logged by the double whose path ends with `suffix`.
    int requestsEndingWith(const QString& suffix) const;
    QString addAsset(const QString& owner, const QString& name, const QString& date,
                     const QByteArray& bytes);
    // Starts the names service from the build tree and has the double hand it its path, as
    // the proxy in front of a real server does.
    bool startNamesService();
    // Stops it (its names are kept for the next start); the double then answers 502 there.
    void stopNamesService();
    // An /api call with the main user's key (curl); the parsed answer, null when it failed.
    QJsonDocument api(const QString& method, const QString& path,
                      const QJsonObject& body = {}) const;
    // Names of the assets of an album, from the server's search.
    QStringList albumAssetNames(const QString& albumId) const;

    // Ids of the main user's assets by original file name, from the server's paged search.
    QHash<QString, QString> assetIdsByName() const;
    QString addAlbum(const QString& owner, const QString& name, const QStringList& assetIds,
                     const QJsonArray& members = {});

    ImmichDoubleProcess& server() { return *m_server; }

private:
    Result<void> await(const std::function<void(FileProviderManager::Completion)>& call);

    std::unique_ptr<ImmichDoubleProcess> m_server;
    std::unique_ptr<QProcess> m_names;
    std::unique_ptr<FileProviderManager> m_manager;
};

QJsonObject member(const QString& email, const QString& role);

// A JPEG of noise (so that a large one stays large once compressed), taken on `taken`
// ("YYYY:MM:DD HH:MM:SS" in its EXIF); its bytes, empty when it could not be written.
QByteArray writePhoto(const QString& path, const char* taken, int width = 64);
// The upload queue's entry of `name`, and the bytes it holds (empty without an entry).
std::optional<UploadQuarantine::Entry> queued(const QString& name);
QByteArray queuedBytes(const QString& name);

// Points HOME and the XDG folders of this process (and the programs it starts) at folders under
// `root`, and forgets the session bus, so that a program run by hand never touches the user's
// settings, key, caches or mount.
void isolateFrom(const QString& root);

} // namespace pixavella::testing
