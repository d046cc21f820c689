#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace pixavella {

// File helpers of the stores that live in the shared container.
namespace StoreFiles {

// The container folder, or nothing when it cannot be located (or created).
std::optional<QString> containerDirectory();
// containerDirectory()/name, or nothing without a container.
std::optional<QString> containerFile(const QString& name);

// The whole file; nothing when it is missing or cannot be read.
std::optional<QByteArray> read(const QString& path);
// Replaces the file as a whole (temporary file, then rename), so a reader in another process
// sees the old or the new content, never a mix. False when nothing was replaced.
bool writeAtomically(const QString& path, const QByteArray& bytes);

} // namespace StoreFiles
} // namespace pixavella
