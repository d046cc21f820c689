#include "HostCore.h"

namespace pixavella {

namespace {

HostCore& coreOf(fuse_req_t req)
{
    return *static_cast<HostCore*>(fuse_req_userdata(req));
}

template <typename F> void dispatch(fuse_req_t req, F&& work)
{
    HostCore& core = coreOf(req);
    const PendingRequests::Id id = core.requests.add(req);
    if (id == 0)
        return;
    core.guarded(id, [&] { work(core, id); });
}

void refuse(fuse_req_t req)
{
    dispatch(req, [](HostCore& core, PendingRequests::Id id) { core.refuseChange(id); });
}

void opInit(void* userdata, fuse_conn_info* conn)
{
    try {
        static_cast<HostCore*>(userdata)->init(conn);
    } catch (...) {
    }
}

void opLookup(fuse_req_t req, fuse_ino_t parent, const char* name)
{
    const pid_t pid = fuse_req_ctx(req)->pid;
    dispatch(req, [&](HostCore& core, PendingRequests::Id id) {
        core.lookup(id, parent, QByteArray(name), pid);
    });
}

void opForget(fuse_req_t req, fuse_ino_t ino, uint64_t count)
{
    try {
        coreOf(req).forget(ino, count);
    } catch (...) {
    }
    fuse_reply_none(req);
}

void opForgetMulti(fuse_req_t req, size_t count, fuse_forget_data* forgets)
{
    try {
        for (size_t i = 0; i < count; ++i)
            coreOf(req).forget(forgets[i].ino, forgets[i].nlookup);
    } catch (...) {
    }
    fuse_reply_none(req);
}

void opGetattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*)
{
    dispatch(req, [&](HostCore& core, PendingRequests::Id id) { core.getattr(id, ino); });
}

void opSetattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int toSet, fuse_file_info* fi)
{
    const struct stat copy = *attr;
    const quint64 fh = fi ? fi->fh : 0;
    dispatch(req, [&](HostCore& core, PendingRequests::Id id) {
        core.writes().setattr(id, ino, copy, toSet, fh);
    });
}

void opMknod(fuse_req_t req, fuse_ino_t, const char*, mode_t, dev_t)
{
    refuse(req);
}

void opMkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t)
{
    dispatch(req, [&](HostCore& core, PendingRequests::Id id) {
        core.writes().mkdir(id, parent, QByteArray(name));
    });
}

void opUnlink(fuse_req_t req, fuse_ino_t parent, const char* name)
{
    dispatch(req, [&](HostCore& core, PendingRequests::Id id) {
        core.writes().remove(id, parent, QByteArray(name), false);
    });
}

void opRmdir(fuse_req_t req, fuse_ino_t parent, const char* name)
{
    dispatch(req, [&](HostCore& core, PendingRequests::Id id) {
        core.writes().remove(id, parent, QByteArray(name), true);
    });
}

void opSymlink(fuse_req_t req, const char*, fuse_ino_t, const char*)
{
    refuse(req);
}

void opRename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t newParent,
              const char* newName, unsigned int flags)
{
    dispatch(req, [&](HostCore& core, PendingRequests::Id id) {
        core.writes().rename(id, parent, QByteArray(name), newParent, QByteArray(newName), flags);
    });
}

void opLink(fuse_req_t req, fuse_ino_t, fuse_ino_t, const char*)
{
    refuse(req);
}

void opCreate(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, fuse_file_info*)
{
    dispatch(req, [&](HostCore& core, PendingRequests::Id id) {
        core.writes().create(id, parent, QByteArray(name), mode);
    });
}

void opWrite(fuse_req_t req, fuse_ino_t, const char* buf, size_t size, off_t offset,
             fuse_file_info* fi)
{
    const quint64 fh = fi->fh;
    dispatch(req, [&](HostCore& core, PendingRequests::Id id) {
        core.writes().write(id, fh, buf, size, offset);
    });
}

void opFlush(fuse_req_t req, fuse_ino_t, fuse_file_info* fi)
{
    const quint64 fh = fi->fh;
    const pid_t pid = fuse_req_ctx(req)->pid;
    dispatch(req,
             [&](HostCore& core, PendingRequests::Id id) { core.writes().flush(id, fh, pid); });
}

void opFsync(fuse_req_t req, fuse_ino_t, int, fuse_file_info* fi)
{
    const quint64 fh = fi->fh;
    dispatch(req, [&](HostCore& core, PendingRequests::Id id) { core.writes().fsync(id, fh); });
}

void opOpen(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi)
{
    const int flags = fi->flags;
    const pid_t pid = fuse_req_ctx(req)->pid;
    dispatch(req, [&](HostCore& core, PendingRequests::Id id) { core.open(id, ino, flags, pid); });
}

void opRead(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* fi)
{
    const quint64 fh = fi->fh;
    dispatch(req, [&](HostCore& core, PendingRequests::Id id) { core.read(id, size, offset, fh); });
}

void opRelease(fuse_req_t req, fuse_ino_t, fuse_file_info* fi)
{
    const quint64 fh = fi->fh;
    dispatch(req, [&](HostCore& core, PendingRequests::Id id) { core.release(id, fh); });
}

void opOpendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info*)
{
    const pid_t pid = fuse_req_ctx(req)->pid;
    dispatch(req, [&](HostCore& core, PendingRequests::Id id) { core.opendir(id, ino, pid); });
}

void opReaddir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info* fi)
{
    const quint64 fh = fi->fh;
    dispatch(req, [&](HostCore& core, PendingRequests::Id id) {
        core.readdir(id, ino, size, offset, fh);
    });
}

void opReleasedir(fuse_req_t req, fuse_ino_t, fuse_file_info* fi)
{
    const quint64 fh = fi->fh;
    dispatch(req, [&](HostCore& core, PendingRequests::Id id) { core.releasedir(id, fh); });
}

void opStatfs(fuse_req_t req, fuse_ino_t)
{
    dispatch(req, [&](HostCore& core, PendingRequests::Id id) { core.statfs(id); });
}

fuse_lowlevel_ops makeOperations()
{
    fuse_lowlevel_ops ops{};
    ops.init = opInit;
    ops.lookup = opLookup;
    ops.forget = opForget;
    ops.forget_multi = opForgetMulti;
    ops.getattr = opGetattr;
    ops.setattr = opSetattr;
    ops.mknod = opMknod;
    ops.mkdir = opMkdir;
    ops.unlink = opUnlink;
    ops.rmdir = opRmdir;
    ops.symlink = opSymlink;
    ops.rename = opRename;
    ops.link = opLink;
    ops.create = opCreate;
    ops.open = opOpen;
    ops.write = opWrite;
    ops.flush = opFlush;
    ops.fsync = opFsync;
    ops.read = opRead;
    ops.release = opRelease;
    ops.opendir = opOpendir;
    ops.readdir = opReaddir;
    ops.releasedir = opReleasedir;
    ops.statfs = opStatfs;
    return ops;
}

} // namespace

const fuse_lowlevel_ops& fuseHostOperations()
{
    static const fuse_lowlevel_ops ops = makeOperations();
    return ops;
}

} // namespace pixavella
