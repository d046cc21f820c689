#include "MountedHost.h"

#include "MountTable.h"

#include <QProcess>
#include <QStandardPaths>

namespace pixavella {

ToolRun runTool(const QString& program, const QStringList& arguments, int timeoutMs)
{
    QProcess process;
    process.start(program, arguments);
    ToolRun run;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(2'000);
        run.err = "timed out";
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

MountedHost::MountedHost(std::shared_ptr<MemoryExtension> extension,
                         std::function<void(FuseHostOptions&)> tweak)
    : m_extension(std::move(extension))
{
    m_options.mountPoint = m_dir.path() + QStringLiteral("/mnt");
    m_options.cacheDirectory = m_dir.path() + QStringLiteral("/cache");
    m_options.thumbnailDirectory =
        QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
        QStringLiteral("/thumbnails");
    if (tweak)
        tweak(m_options);
    m_host = std::make_unique<FuseHost>(m_extension, m_options);
}

MountedHost::~MountedHost()
{
    unmount();
}

Result<void> MountedHost::mount()
{
    return m_host->mount();
}

void MountedHost::unmount()
{
    m_host->unmount();
    if (MountTable::find(m_options.mountPoint))
        runTool(QStringLiteral("fusermount3"),
                {QStringLiteral("-u"), QStringLiteral("-z"), m_options.mountPoint}, 10'000);
}

} // namespace pixavella
