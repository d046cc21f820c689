#include "PrivateFiles.h"

#include "ContainerPaths.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pixavella::PrivateFiles {

namespace {

thread_local int t_changed = 0;

int tightenEntry(const char* path, const struct stat* st, int kind, FTW*)
{
    if (kind == FTW_SL || kind == FTW_SLN || st->st_uid != ::getuid())
        return 0;
    if ((st->st_mode & 077) == 0)
        return 0;
    if (::chmod(path, st->st_mode & 07700) == 0)
        ++t_changed;
    return 0;
}

} // namespace

int tightenTree(const QString& root)
{
    t_changed = 0;
    // FTW_PHYS: links are reported as links, never followed out of the tree.
    ::nftw(QFile::encodeName(root).constData(), tightenEntry, 32, FTW_PHYS);
    return t_changed;
}

void keepPrivate()
{
    ::umask(077);
    tightenTree(ContainerPaths::productDataDirectory());
    tightenTree(ContainerPaths::productCacheDirectory());
}

} // namespace pixavella::PrivateFiles
