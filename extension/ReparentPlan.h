#pragma once

#include "FPNode.h"

#include <QString>

namespace pixavella {

// What moving a photo to another folder means on the server, where a photo lives once in the
// library and may also belong to albums.
struct ReparentPlan {
    enum class Kind {
        addToAlbum,       // target: the album; the photo stays in the library
        move,             // source → target: membership moves from one album to the other
        removeFromAlbum,  // source: the album it was shown in
        addToSharedAlbum, // target: the shared album
        noop,             // nothing to do on the server
        refuse,           // the move means nothing here: the photo goes back
    };

    Kind kind = Kind::refuse;
    QString sourceAlbumId;
    QString targetAlbumId;

    // The plan for the photo shown as `item` dropped into `newParent`; anything but a library
    // photo, an album photo or a shared album photo is refused.
    static ReparentPlan decide(const FPNode& item, const std::optional<FPNode>& newParent);

    bool operator==(const ReparentPlan&) const = default;
};

} // namespace pixavella
