#pragma once

#include <QByteArray>
#include <QFile>
#include <QIODevice>

namespace pixavella {

// The body of an upload for Qt: bytes before, a file's bytes, bytes after, read in place and
// never held whole. Seekable, so that Qt can send it again (a redirect, a lost connection).
class HttpUploadBody final : public QIODevice {
public:
    HttpUploadBody(QByteArray head, const QString& path, QByteArray tail,
                   QObject* parent = nullptr);

    // Opens the file for reading; false with errno set when it cannot be.
    bool openBody();
    bool isSequential() const override { return false; }
    qint64 size() const override;
    bool seek(qint64 position) override;

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QByteArray m_head;
    QFile m_file;
    QByteArray m_tail;
    qint64 m_fileSize = 0;
    qint64 m_at = 0;
};

} // namespace pixavella
