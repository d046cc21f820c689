#include "FuseSession.h"

#include "FuseLog.h"
#include "HostCore.h"
#include "MountTable.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/statfs.h>
#include <unistd.h>
#include <vector>

namespace pixavella {

namespace {

// libfuse's own messages go to the host's logging category instead of stderr.
void logFromLibfuse(enum fuse_log_level level, const char* fmt, va_list ap)
{
    const QString text = QString::vasprintf(fmt, ap).trimmed();
    if (level <= FUSE_LOG_ERR)
        qCWarning(lcFuseHost).noquote() << "libfuse:" << text;
    else
        qCDebug(lcFuseHost).noquote() << "libfuse:" << text;
}

// How long the loop may take to stop once woken before the connection is cut.
constexpr auto kUnmountGrace = std::chrono::seconds(5);
} // namespace

FuseSession::FuseSession(std::shared_ptr<HostCore> core, QString mountPoint, bool debug)
    : m_core(std::move(core)), m_mountPoint(std::move(mountPoint)), m_debug(debug)
{
}

FuseSession::~FuseSession()
{
    unmount();
}

bool FuseSession::isMounted() const
{
    std::lock_guard lock(m_mutex);
    return m_session != nullptr && m_running;
}

Result<void> FuseSession::mount(std::function<void()> ended)
{
    std::lock_guard control(m_control);
    {
        std::lock_guard lock(m_mutex);
        if (m_session)
            return Result<void>::success();
    }
    if (MountTable::isStale(m_mountPoint)) {
        qCInfo(lcFuseHost).noquote() << "cleaning the stale mount at" << m_mountPoint;
        const Result<void> cleaned = MountTable::detach(m_mountPoint);
        if (!cleaned)
            return cleaned;
    }
    if (const auto existing = MountTable::find(m_mountPoint))
        return fileError(EBUSY, m_mountPoint + QStringLiteral(" is already mounted (") +
                                    existing->fsType + u')');
    if (!QDir().mkpath(m_mountPoint))
        return fileError(errno ? errno : EACCES, m_mountPoint);

    fuse_set_log_func(logFromLibfuse);
    std::vector<QByteArray> args{"passerelle", "-o",
                                 "fsname=pixavella,subtype=pixavella,default_permissions"};
    if (m_debug)
        args.emplace_back("-d");
    std::vector<char*> argv;
    for (QByteArray& a : args)
        argv.push_back(a.data());
    fuse_args fargs = FUSE_ARGS_INIT(int(argv.size()), argv.data());
    const fuse_lowlevel_ops& ops = fuseHostOperations();
    fuse_session* session = fuse_session_new(&fargs, &ops, sizeof(ops), m_core.get());
    fuse_opt_free_args(&fargs);
    if (!session)
        return fileError(EINVAL, QStringLiteral("fuse_session_new"));
    m_core->attach(session);
    if (fuse_session_mount(session, QFile::encodeName(m_mountPoint).constData()) != 0) {
        m_core->detach();
        fuse_session_destroy(session);
        return fileError(EPERM, QStringLiteral("cannot mount ") + m_mountPoint);
    }
    const auto mounted = MountTable::find(m_mountPoint);
    {
        std::lock_guard lock(m_mutex);
        m_session = session;
        m_device = mounted ? mounted->device : 0;
        m_running = true;
        m_unmounting = false;
        m_ended = std::move(ended);
    }
    m_loop = std::thread([this] { runLoop(); });
    qCInfo(lcFuseHost).noquote() << "mounted at" << m_mountPoint;
    return Result<void>::success();
}

void FuseSession::runLoop()
{
    fuse_session* session = nullptr;
    {
        std::lock_guard lock(m_mutex);
        session = m_session;
    }
    fuse_loop_config* config = fuse_loop_cfg_create();
    fuse_loop_cfg_set_max_threads(config, 16);
    fuse_loop_cfg_set_idle_threads(config, 4);
    const int rc = fuse_session_loop_mt(session, config);
    fuse_loop_cfg_destroy(config);
    std::function<void()> ended;
    {
        std::lock_guard lock(m_mutex);
        m_running = false;
        if (!m_unmounting)
            ended = m_ended;
    }
    m_loopEnded.notify_all();
    qCInfo(lcFuseHost).noquote() << "loop of" << m_mountPoint << "ended:" << rc;
    if (ended)
        ended();
}

void FuseSession::unmount()
{
    std::lock_guard control(m_control);
    fuse_session* session = nullptr;
    quint32 device = 0;
    bool running = false;
    {
        std::lock_guard lock(m_mutex);
        if (!m_session)
            return;
        session = m_session;
        device = m_device;
        running = m_running;
        m_unmounting = true;
    }
    fuse_session_exit(session);
    const auto mounted = MountTable::find(m_mountPoint);
    const bool ours = mounted && mounted->device == device;
    // A loop thread only sees the exit flag after its next request: a statfs through a handle
    // on the root provides one. The unmount itself comes after the loop, from libfuse.
    const int wake = running && ours ? ::open(QFile::encodeName(m_mountPoint).constData(),
                                              O_PATH | O_DIRECTORY | O_CLOEXEC)
                                     : -1;
    std::thread waker;
    if (wake >= 0)
        waker = std::thread([wake] {
            struct statfs st {};
            ::fstatfs(wake, &st);
        });
    {
        std::unique_lock lock(m_mutex);
        if (!m_loopEnded.wait_for(lock, kUnmountGrace, [this] { return !m_running; })) {
            lock.unlock();
            qCWarning(lcFuseHost) << "the loop did not stop: cutting connection" << device;
            if (!device || !MountTable::abortConnection(device))
                qCWarning(lcFuseHost) << "cannot cut the FUSE connection" << device;
        }
    }
    if (m_loop.joinable()) {
        if (m_loop.get_id() == std::this_thread::get_id())
            m_loop.detach();
        else
            m_loop.join();
    }
    // No request is answered and no notice sent after this: the session can go. Closing the
    // device ends the connection, so files still open elsewhere fail instead of hanging; the
    // mount is then detached lazily.
    m_core->detach();
    fuse_session_unmount(session);
    fuse_session_destroy(session);
    if (waker.joinable())
        waker.join();
    if (wake >= 0)
        ::close(wake);
    std::lock_guard lock(m_mutex);
    m_session = nullptr;
    m_running = false;
    qCInfo(lcFuseHost).noquote() << "unmounted" << m_mountPoint;
}

} // namespace pixavella
