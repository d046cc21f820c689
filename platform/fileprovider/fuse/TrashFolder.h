#pragma once

#include "FileProviderItemProtocol.h"

#include <QByteArray>

#include <sys/types.h>

namespace pixavella {

class Replica;

// Identifiers of the host's own folders; the extension never hands out identifiers like these.
namespace FuseHostFolder {
inline const FileProviderItemIdentifier trashRoot = QStringLiteral("#fusehost:.Trash");
inline const FileProviderItemIdentifier trashInfo = QStringLiteral("#fusehost:.Trash/info");
} // namespace FuseHostFolder

// The freedesktop trash of the volume, <mount>/.Trash-<uid>: files/ lists the extension's
// trash container, info/ holds the host's local .trashinfo files.
namespace TrashFolder {

QByteArray rootName(uid_t uid);
void addTo(Replica& replica, uid_t uid);

// Names the drive never turns into albums (".Trash", ".Trash-1000").
bool isTrashName(const QByteArray& name);
// A file named `name` in `parent` stays with the host and never reaches createItem: hidden and
// temporary names (LocalNames) and everything in the trash's own folders.
bool isLocalPlace(const FileProviderItemIdentifier& parent, const QByteArray& name);
// The host's own folders, which cannot be renamed, removed or filled with albums.
bool isHostFolder(const FileProviderItemIdentifier& identifier);

} // namespace TrashFolder

} // namespace pixavella
