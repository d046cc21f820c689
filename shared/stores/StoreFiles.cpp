#include "StoreFiles.h"

#include "ContainerPaths.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace pixavella::StoreFiles {

std::optional<QString> containerDirectory()
{
    const QString path = ContainerPaths::container();
    if (path.isEmpty() || !QFileInfo(path).isDir())
        return std::nullopt;
    return path;
}

std::optional<QString> containerFile(const QString& name)
{
    const std::optional<QString> directory = containerDirectory();
    if (!directory)
        return std::nullopt;
    return *directory + QLatin1Char('/') + name;
}

std::optional<QByteArray> read(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return std::nullopt;
    return bytes;
}

bool writeAtomically(const QString& path, const QByteArray& bytes)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

} // namespace pixavella::StoreFiles
