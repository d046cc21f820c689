#pragma once

#include "LibraryState.h"

#include <QByteArray>
#include <QHash>

#include <list>
#include <mutex>
#include <optional>

namespace immichdouble {

// The server's two generated pictures of an asset, made from its original: "thumbnail", a
// WebP of 250 px on the long side, and "preview", a JPEG of 1440 px, neither ever enlarged.
// Made once and kept (up to a memory budget, least recently used first out). Thread-safe.
class Thumbnails {
public:
    enum class Size : quint8 { Thumbnail, Preview };

    struct Source {
        QUuid id;
        QByteArray bytes;
        AssetType type = AssetType::Image;
        bool standIn = false;
        int width = 0; // as recorded, for pictures drawn in place of undecodable bytes
        int height = 0;
        Sha1 checksum{};
    };

    struct Picture {
        QByteArray contentType;
        QByteArray bytes;
    };

    explicit Thumbnails(qsizetype budgetBytes = 64 * 1024 * 1024) : m_budget(budgetBytes) {}

    // Empty when the original is a photo the double cannot decode, as the server answers 404
    // for one its tools cannot read. Videos give their first Motion-JPEG frame, else a drawn
    // picture (the double has no video decoder), and so do stand-in bytes.
    std::optional<Picture> picture(const Source& source, Size size);

    qsizetype cachedBytes() const;

private:
    struct Entry {
        QByteArray key;
        std::optional<Picture> picture;
    };
    std::optional<Picture> make(const Source& source, Size size) const;

    qsizetype m_budget;
    mutable std::mutex m_mutex; // guards everything below
    std::list<Entry> m_recent;  // most recently used first
    QHash<QByteArray, std::list<Entry>::iterator> m_byKey;
    qsizetype m_bytes = 0;
};

} // namespace immichdouble
