#include "TrashFolder.h"

#include "LocalNames.h"
#include "Replica.h"

namespace pixavella::TrashFolder {

QByteArray rootName(uid_t uid)
{
    return QByteArray(".Trash-") + QByteArray::number(uid);
}

void addTo(Replica& replica, uid_t uid)
{
    replica.addFixedFolder(FuseHostFolder::trashRoot, FileProviderContainer::root, rootName(uid),
                           0700, true);
    replica.addFixedFolder(FileProviderContainer::trash, FuseHostFolder::trashRoot, "files", 0700,
                           false);
    replica.addFixedFolder(FuseHostFolder::trashInfo, FuseHostFolder::trashRoot, "info", 0700,
                           true);
}

bool isTrashName(const QByteArray& name)
{
    return name.startsWith(".Trash");
}

bool isLocalPlace(const FileProviderItemIdentifier& parent, const QByteArray& name)
{
    return LocalNames::isLocal(name) || parent == FuseHostFolder::trashRoot ||
           parent == FuseHostFolder::trashInfo || parent == FileProviderContainer::trash;
}

bool isHostFolder(const FileProviderItemIdentifier& identifier)
{
    return identifier == FileProviderContainer::root || identifier == FuseHostFolder::trashRoot ||
           identifier == FuseHostFolder::trashInfo || identifier == FileProviderContainer::trash;
}

} // namespace pixavella::TrashFolder
