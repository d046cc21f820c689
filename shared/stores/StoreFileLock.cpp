#include "StoreFileLock.h"

#include "Log.h"

#include <QFile>

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace pixavella {

StoreFileLock::StoreFileLock(const QString& storePath)
{
    const QString path = storePath + QStringLiteral(".lock");
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        qCWarning(lcPlatform).noquote()
            << PIXAVELLA_LOG_PREFIX "cannot open" << path << "-" << qt_error_string(errno);
        return;
    }
    int rc = 0;
    do {
        rc = ::flock(fd, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        qCWarning(lcPlatform).noquote()
            << PIXAVELLA_LOG_PREFIX "cannot lock" << path << "-" << qt_error_string(errno);
        ::close(fd);
        return;
    }
    m_fd = fd;
}

StoreFileLock::~StoreFileLock()
{
    // Closing the only descriptor of this open file releases the lock.
    if (m_fd >= 0)
        ::close(m_fd);
}

} // namespace pixavella
