#pragma once

#include "FuseHost.h"
#include "MemoryExtension.h"

#include <QByteArray>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace pixavella {

struct ToolRun {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// Runs a command-line tool with its own time limit (a hung mount fails the test, never the
// whole run).
ToolRun runTool(const QString& program, const QStringList& arguments, int timeoutMs = 20'000);

// A FuseHost serving a MemoryExtension in a temporary folder of its own, always unmounted
// (with fusermount3 -u -z as a last resort) when it goes.
class MountedHost {
public:
    explicit MountedHost(std::shared_ptr<MemoryExtension> extension,
                         std::function<void(FuseHostOptions&)> tweak = {});
    ~MountedHost();

    Result<void> mount();
    void unmount();
    FuseHost& host() { return *m_host; }
    QString mountPoint() const { return m_options.mountPoint; }
    QString path(const QString& relative) const { return mountPoint() + u'/' + relative; }
    const FuseHostOptions& options() const { return m_options; }

private:
    QTemporaryDir m_dir;
    std::shared_ptr<MemoryExtension> m_extension;
    FuseHostOptions m_options;
    std::unique_ptr<FuseHost> m_host;
};

} // namespace pixavella
