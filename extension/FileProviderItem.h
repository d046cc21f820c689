#pragma once

#include "AssetNameStore.h"
#include "FPNode.h"
#include "FileProviderItemProtocol.h"
#include "ImmichRecords.h"
#include "UploadQuarantine.h"

#include <QDateTime>
#include <QString>

#include <memory>
#include <optional>

namespace pixavella {

// The capability values the drive hands out.
namespace ItemCaps {
// Read-only folders and photos.
inline constexpr FileProviderItemCapabilities readOnly = 1;
// Folders that accept new items but cannot be renamed or deleted.
inline constexpr FileProviderItemCapabilities addTo = 3;
// Editable shared albums, as listed.
inline constexpr FileProviderItemCapabilities addToAndRename = 11;
// Pending uploads; photos of editable shared albums.
inline constexpr FileProviderItemCapabilities removable = 51;
// The user's own albums.
inline constexpr FileProviderItemCapabilities ownAlbum = 59;
// Library photos and photos in the user's own albums.
inline constexpr FileProviderItemCapabilities full = 63;

// A shared album folder in listings and in item lookup, and a photo of a shared album, by the
// user's role in the album.
FileProviderItemCapabilities sharedAlbumListed(AlbumAccess access);
FileProviderItemCapabilities sharedAlbumLookedUp(AlbumAccess access);
FileProviderItemCapabilities sharedAlbumPhoto(AlbumAccess access);
// A folder's capabilities when they follow from its node.
FileProviderItemCapabilities derivedFolderCaps(const FPNode& node);
} // namespace ItemCaps

class FileProviderItem;
using FileProviderItemPtr = std::shared_ptr<const FileProviderItem>;

// What the drive tells the framework about one item. Immutable once built, so it may be
// handed to any thread; exists only through the builders.
//
// Version tokens change exactly when the framework must notice: a folder's with its name or
// capabilities, an asset's content version with its checksum (else its dates) and its
// metadata version also with its shown name, a pending upload's metadata version with each
// failed attempt.
class FileProviderItem final : public FileProviderItemProtocol {
public:
    // `caps` is used unless `deriveCaps` asks for the node's own value
    // (ItemCaps::derivedFolderCaps).
    static FileProviderItemPtr folder(const FPNode& node, const QString& name, const FPNode& parent,
                                      FileProviderItemCapabilities caps, bool deriveCaps);
    // The folders whose name and parent follow from the node alone: root, photos, albums,
    // shared, failed, year and month. Null for every other node.
    static FileProviderItemPtr standardFolder(const FPNode& node);

    // Named by the name store's cached name (no refresh), else by originalFileName.
    static FileProviderItemPtr asset(const ImmichAsset& asset,
                                     const FileProviderItemIdentifier& identifier,
                                     const FileProviderItemIdentifier& parent,
                                     FileProviderItemCapabilities caps,
                                     const AssetNameStore& names);

    // Sized by the payload file in the quarantine; no size when it is gone.
    static FileProviderItemPtr pending(const UploadQuarantine::Entry& entry,
                                       const FileProviderItemIdentifier& parent,
                                       UploadQuarantine& quarantine);

    const QString& versionToken() const { return m_versionToken; }
    const QString& contentToken() const { return m_contentToken; }
    bool isFolder() const { return m_isFolder; }

    FileProviderItemIdentifier itemIdentifier() const override { return m_identifier; }
    FileProviderItemIdentifier parentItemIdentifier() const override { return m_parent; }
    QString filename() const override { return m_name; }
    ContentType contentType() const override { return m_type; }
    std::optional<qint64> documentSize() const override { return m_size; }
    std::optional<QDateTime> creationDate() const override { return m_creation; }
    std::optional<QDateTime> contentModificationDate() const override { return m_modification; }
    FileProviderItemCapabilities capabilities() const override { return m_caps; }
    FileProviderItemVersion itemVersion() const override;
    // When the photo entered the library (an upload waiting: when it was dropped), so that the
    // oldest of same-named photos keeps the plain name wherever and whenever it is listed.
    FileProviderNameRank nameRank() const override { return m_rank; }

private:
    FileProviderItem() = default;

    FileProviderItemIdentifier m_identifier;
    QString m_name;
    ContentType m_type = ContentType::data();
    FileProviderItemIdentifier m_parent;
    std::optional<qint64> m_size;
    std::optional<QDateTime> m_creation;
    std::optional<QDateTime> m_modification;
    QString m_versionToken;
    QString m_contentToken;
    bool m_isFolder = false;
    FileProviderItemCapabilities m_caps = ItemCaps::readOnly;
    FileProviderNameRank m_rank;
};

} // namespace pixavella
