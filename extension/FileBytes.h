#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

namespace pixavella {

// A file opened once and read at given offsets, its first `headSize` bytes read at the start.
// The checks a drop makes (its type, its capture date, whether it is whole) each read a few
// small ranges, most of them in the first kilobytes: one open and one read serve them all. A
// single check reads only the ranges it needs (a head of 0).
class FileBytes {
public:
    static constexpr qint64 kHeadSize = 64 * 1024;

    explicit FileBytes(const QString& path, qint64 headSize = kHeadSize);
    ~FileBytes();
    FileBytes(const FileBytes&) = delete;
    FileBytes& operator=(const FileBytes&) = delete;

    bool isOpen() const { return m_fd >= 0; }
    qint64 size() const { return m_size; }
    // The content modification time, when the file could be opened.
    std::optional<QDateTime> modified() const { return m_modified; }
    // Up to `length` bytes at `offset`; fewer at the end of the file or on an error.
    QByteArray at(qint64 offset, qint64 length) const;
    QByteArray tail(qint64 length) const;

private:
    int m_fd = -1;
    qint64 m_size = 0;
    std::optional<QDateTime> m_modified;
    QByteArray m_head; // the file's first bytes, as many as kHeadSize or its size
};

} // namespace pixavella
