#include "ImmichRecords.h"

namespace pixavella {

AlbumAccess albumAccess(const std::optional<QString>& ownerId,
                        const std::optional<QList<ImmichAlbumUser>>& albumUsers,
                        const QString& userId)
{
    if (ownerId && *ownerId == userId)
        return AlbumAccess::owner;
    if (!albumUsers)
        return AlbumAccess::viewer;
    for (const ImmichAlbumUser& member : *albumUsers) {
        if (member.user.id == userId)
            return member.role == QLatin1String("editor") ? AlbumAccess::editor
                                                          : AlbumAccess::viewer;
    }
    return AlbumAccess::viewer;
}

} // namespace pixavella
