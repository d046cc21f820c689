#include "FileBytes.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pixavella {

namespace {

// Up to `length` bytes at `offset`, fewer at the end of the file or on an error.
QByteArray readAt(int fd, qint64 offset, qint64 length)
{
    QByteArray out(qsizetype(length), Qt::Uninitialized);
    qsizetype got = 0;
    while (got < out.size()) {
        const ssize_t n =
            ::pread(fd, out.data() + got, size_t(out.size() - got), off_t(offset + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += n;
    }
    out.truncate(got);
    return out;
}

} // namespace

FileBytes::FileBytes(const QString& path, qint64 headSize)
    : m_fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC))
{
    struct stat st {};
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0)
        return;
    m_size = st.st_size;
    m_modified = QDateTime::fromMSecsSinceEpoch(
        qint64(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1'000'000, Qt::UTC);
    if (headSize > 0)
        m_head = readAt(m_fd, 0, qMin(headSize, m_size));
}

FileBytes::~FileBytes()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

QByteArray FileBytes::at(qint64 offset, qint64 length) const
{
    if (offset < 0 || offset >= m_size || length <= 0)
        return {};
    length = qMin(length, m_size - offset);
    // The head holds what the file had when it was opened; a range inside it is served from it.
    if (offset + length <= m_head.size())
        return m_head.mid(qsizetype(offset), qsizetype(length));
    return readAt(m_fd, offset, length);
}

QByteArray FileBytes::tail(qint64 length) const
{
    const qint64 n = qMin(length, m_size);
    return at(m_size - n, n);
}

} // namespace pixavella
