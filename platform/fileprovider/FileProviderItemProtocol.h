#pragma once

#include "ContentType.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <memory>
#include <optional>

namespace pixavella {

// Item identifiers are opaque texts chosen by the extension, except for the framework's
// own containers below.
using FileProviderItemIdentifier = QString;

namespace FileProviderContainer {
inline const FileProviderItemIdentifier root =
    QStringLiteral("NSFileProviderRootContainerItemIdentifier");
// Every item the system should know about (search, recents); never shown as a folder.
inline const FileProviderItemIdentifier workingSet =
    QStringLiteral("NSFileProviderWorkingSetContainerItemIdentifier");
// The system trash: an item moved there gets this parent.
inline const FileProviderItemIdentifier trash =
    QStringLiteral("NSFileProviderTrashContainerItemIdentifier");
} // namespace FileProviderContainer

// What the user may do with an item (for a folder: reading = listing it, writing = adding
// items to it).
using FileProviderItemCapabilities = unsigned;
namespace FileProviderItemCapability {
inline constexpr FileProviderItemCapabilities allowsReading = 1;
inline constexpr FileProviderItemCapabilities allowsWriting = 2;
inline constexpr FileProviderItemCapabilities allowsReparenting = 4;
inline constexpr FileProviderItemCapabilities allowsRenaming = 8;
inline constexpr FileProviderItemCapabilities allowsTrashing = 16;
inline constexpr FileProviderItemCapabilities allowsDeleting = 32;
inline constexpr FileProviderItemCapabilities allowsAll = 63;
} // namespace FileProviderItemCapability

// Which properties of an item a modification changed.
using FileProviderItemFields = unsigned;
namespace FileProviderItemField {
inline constexpr FileProviderItemFields contents = 1;
inline constexpr FileProviderItemFields filename = 2;
inline constexpr FileProviderItemFields parentItemIdentifier = 4;
inline constexpr FileProviderItemFields creationDate = 8;
inline constexpr FileProviderItemFields contentModificationDate = 16;
inline constexpr FileProviderItemFields fileSystemFlags = 32;
inline constexpr FileProviderItemFields extendedAttributes = 64;
} // namespace FileProviderItemField

// Opaque version tokens compared byte for byte: a new content version means the contents
// must be fetched again, a new metadata version that the properties changed.
class FileProviderItemVersion {
public:
    FileProviderItemVersion() = default;
    FileProviderItemVersion(QByteArrayView content, QByteArrayView metadata);

    QByteArray contentVersion() const;
    QByteArray metadataVersion() const;
    void setContentVersion(QByteArrayView content);
    void setMetadataVersion(QByteArrayView metadata);

    bool operator==(const FileProviderItemVersion&) const = default;

private:
    // The host keeps a version for every item it has shown: both tokens live in one buffer,
    // and a metadata token that starts with the content token (as a photo's does) holds it.
    // The same two tokens always make the same fields, so fields compare as tokens do.
    QByteArray m_tokens;
    quint32 m_contentLength = 0;
    bool m_metadataHoldsContent = true; // else the metadata token follows the content token
};

// What orders same-named siblings: a date in milliseconds since the epoch, UTC. Held as a
// number: every photo of a library keeps one in the drive's replica.
using FileProviderNameRank = std::optional<qint64>;

// The properties through which the framework reads an item. Items are immutable and shared
// between threads through FileProviderItemRef.
class FileProviderItemProtocol {
public:
    virtual ~FileProviderItemProtocol() = default;

    virtual FileProviderItemIdentifier itemIdentifier() const = 0;
    virtual FileProviderItemIdentifier parentItemIdentifier() const = 0;
    virtual QString filename() const = 0;
    virtual ContentType contentType() const = 0;
    virtual std::optional<qint64> documentSize() const = 0;
    virtual std::optional<QDateTime> creationDate() const = 0;
    virtual std::optional<QDateTime> contentModificationDate() const = 0;
    virtual FileProviderItemCapabilities capabilities() const = 0;
    virtual FileProviderItemVersion itemVersion() const = 0;
    // Among siblings of one name, the item of the lowest rank keeps the name and the others
    // are numbered, so that names do not move when an item joins (items without a rank come
    // after those with one, by identifier).
    virtual FileProviderNameRank nameRank() const { return std::nullopt; }
};

using FileProviderItemRef = std::shared_ptr<const FileProviderItemProtocol>;

// A plain copy of an item's properties, as the framework keeps them in its replica and as
// it builds the items it hands to the extension (templates of new items, changed items).
struct FileProviderItemProperties {
    FileProviderItemIdentifier itemIdentifier;
    FileProviderItemIdentifier parentItemIdentifier;
    QString filename;
    ContentType contentType = ContentType::data();
    std::optional<qint64> documentSize;
    std::optional<QDateTime> creationDate;
    std::optional<QDateTime> contentModificationDate;
    FileProviderItemCapabilities capabilities = FileProviderItemCapability::allowsAll;
    FileProviderItemVersion itemVersion;
    FileProviderNameRank nameRank;

    static FileProviderItemProperties of(const FileProviderItemProtocol& item);
    bool operator==(const FileProviderItemProperties&) const = default;
};

// An item made of stored properties.
class FileProviderItemSnapshot final : public FileProviderItemProtocol {
public:
    explicit FileProviderItemSnapshot(FileProviderItemProperties properties)
        : m_p(std::move(properties))
    {
    }
    static FileProviderItemRef make(FileProviderItemProperties properties);

    const FileProviderItemProperties& properties() const { return m_p; }

    FileProviderItemIdentifier itemIdentifier() const override { return m_p.itemIdentifier; }
    FileProviderItemIdentifier parentItemIdentifier() const override
    {
        return m_p.parentItemIdentifier;
    }
    QString filename() const override { return m_p.filename; }
    ContentType contentType() const override { return m_p.contentType; }
    std::optional<qint64> documentSize() const override { return m_p.documentSize; }
    std::optional<QDateTime> creationDate() const override { return m_p.creationDate; }
    std::optional<QDateTime> contentModificationDate() const override
    {
        return m_p.contentModificationDate;
    }
    FileProviderItemCapabilities capabilities() const override { return m_p.capabilities; }
    FileProviderItemVersion itemVersion() const override { return m_p.itemVersion; }
    FileProviderNameRank nameRank() const override { return m_p.nameRank; }

private:
    FileProviderItemProperties m_p;
};

} // namespace pixavella
