#include "HttpUploadBody.h"

#include <cstring>

namespace pixavella {

HttpUploadBody::HttpUploadBody(QByteArray head, const QString& path, QByteArray tail,
                               QObject* parent)
    : QIODevice(parent), m_head(std::move(head)), m_file(path), m_tail(std::move(tail))
{
}

bool HttpUploadBody::openBody()
{
    if (!m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    m_fileSize = m_file.size();
    m_at = 0;
    return open(QIODevice::ReadOnly | QIODevice::Unbuffered);
}

qint64 HttpUploadBody::size() const
{
    return m_head.size() + m_fileSize + m_tail.size();
}

bool HttpUploadBody::seek(qint64 position)
{
    if (position < 0 || position > size() || !QIODevice::seek(position))
        return false;
    m_at = position;
    return true;
}

qint64 HttpUploadBody::readData(char* data, qint64 maxSize)
{
    const qint64 fileEnd = m_head.size() + m_fileSize;
    qint64 done = 0;
    while (done < maxSize && m_at < size()) {
        qint64 n = 0;
        const qint64 room = maxSize - done;
        if (m_at < m_head.size()) {
            n = std::min(room, m_head.size() - m_at);
            std::memcpy(data + done, m_head.constData() + m_at, size_t(n));
        } else if (m_at < fileEnd) {
            if (!m_file.seek(m_at - m_head.size()))
                return done > 0 ? done : -1;
            n = m_file.read(data + done, std::min(room, fileEnd - m_at));
            if (n <= 0) // shorter than when opened, or unreadable
                return done > 0 ? done : -1;
        } else {
            n = std::min(room, size() - m_at);
            std::memcpy(data + done, m_tail.constData() + (m_at - fileEnd), size_t(n));
        }
        done += n;
        m_at += n;
    }
    return done;
}

} // namespace pixavella
