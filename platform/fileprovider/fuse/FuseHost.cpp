#include "FuseHost.h"

#include "ContainerPaths.h"
#include "FuseSession.h"
#include "HostCore.h"

#include <QStandardPaths>

namespace pixavella {

FuseHostOptions FuseHostOptions::defaults()
{
    FuseHostOptions o;
    o.mountPoint = ContainerPaths::mountPoint();
    o.cacheDirectory = ContainerPaths::domainCache();
    o.thumbnailDirectory = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
                           QStringLiteral("/thumbnails");
    return o;
}

FuseHost::FuseHost(std::shared_ptr<FileProviderReplicatedExtension> extension,
                   FuseHostOptions options)
    : m_extension(std::move(extension)), m_options(std::move(options))
{
}

FuseHost::~FuseHost()
{
    unmount();
}

Result<void> FuseHost::mount()
{
    std::lock_guard control(m_control);
    {
        std::lock_guard lock(m_mutex);
        if (m_session && m_session->isMounted())
            return Result<void>::success();
    }
    // A fresh core per mount: inodes, lookup counts and listings belong to one mount.
    auto core = std::make_shared<HostCore>(m_extension, m_options);
    auto session = std::make_shared<FuseSession>(core, m_options.mountPoint, m_options.debug);
    {
        std::lock_guard lock(m_mutex);
        std::swap(core, m_core);
        std::swap(session, m_session);
    }
    // What a loop that ended by itself left behind.
    if (session)
        session->unmount();
    const Result<void> mounted = m_session->mount([this] {
        std::function<void()> handler;
        {
            std::lock_guard lock(m_mutex);
            handler = m_endedHandler;
        }
        if (handler)
            handler();
    });
    if (!mounted) {
        std::lock_guard lock(m_mutex);
        m_session.reset();
        m_core.reset();
    }
    return mounted;
}

void FuseHost::unmount()
{
    std::lock_guard control(m_control);
    std::shared_ptr<FuseSession> session;
    std::shared_ptr<HostCore> core;
    {
        std::lock_guard lock(m_mutex);
        session = std::move(m_session);
        core = std::move(m_core);
    }
    if (session)
        session->unmount();
}

bool FuseHost::isMounted() const
{
    std::lock_guard lock(m_mutex);
    return m_session && m_session->isMounted();
}

void FuseHost::signalEnumerator(const FileProviderItemIdentifier& container)
{
    std::shared_ptr<HostCore> core;
    {
        std::lock_guard lock(m_mutex);
        core = m_core;
    }
    if (core)
        core->signalEnumerator(container);
}

void FuseHost::setEndedHandler(std::function<void()> handler)
{
    std::lock_guard lock(m_mutex);
    m_endedHandler = std::move(handler);
}

int FuseHost::thumbnailsWritten() const
{
    std::shared_ptr<HostCore> core;
    {
        std::lock_guard lock(m_mutex);
        core = m_core;
    }
    return core ? core->thumbnailsWritten() : 0;
}

} // namespace pixavella
