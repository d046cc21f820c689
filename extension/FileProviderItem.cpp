#include "FileProviderItem.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace pixavella {

namespace ItemCaps {

FileProviderItemCapabilities sharedAlbumListed(AlbumAccess access)
{
    return access == AlbumAccess::viewer ? readOnly : addToAndRename;
}

FileProviderItemCapabilities sharedAlbumLookedUp(AlbumAccess access)
{
    return access == AlbumAccess::viewer ? readOnly : addTo;
}

FileProviderItemCapabilities sharedAlbumPhoto(AlbumAccess access)
{
    return access == AlbumAccess::viewer ? readOnly : removable;
}

FileProviderItemCapabilities derivedFolderCaps(const FPNode& node)
{
    switch (node.kind()) {
    case FPNode::Kind::year:
    case FPNode::Kind::month:
    case FPNode::Kind::root:
    case FPNode::Kind::photos:
    case FPNode::Kind::albums:
    case FPNode::Kind::failed:
        return addTo;
    case FPNode::Kind::album:
        return ownAlbum;
    default:
        return readOnly;
    }
}

} // namespace ItemCaps

namespace {

QString folderName(const FPNode& node)
{
    switch (node.kind()) {
    case FPNode::Kind::root:
        return QStringLiteral("Pixavella");
    case FPNode::Kind::photos:
        return QCoreApplication::translate("FileProviderItem", "Mes photos",
                                           "Dossier racine de la bibliothèque (par date)");
    case FPNode::Kind::albums:
        return QCoreApplication::translate("FileProviderItem", "Mes albums",
                                           "Dossier racine des albums personnels");
    case FPNode::Kind::shared:
        return QCoreApplication::translate("FileProviderItem", "Mes albums partagés",
                                           "Dossier racine des albums partagés avec l'utilisateur");
    case FPNode::Kind::failed:
        return QCoreApplication::translate(
            "FileProviderItem", "Envois échoués",
            "Sous-dossier de Mes photos contenant les dépôts abandonnés");
    case FPNode::Kind::year:
        return node.year();
    case FPNode::Kind::month:
        return monthFolderName(node.month());
    default:
        return QString();
    }
}

// The type for the extension of `filename`, or `fallback` when it has none or an unknown one.
ContentType typeForFilename(const QString& filename, const ContentType& fallback)
{
    return ContentType::fromFilenameExtension(filenameExtension(filename)).value_or(fallback);
}

// One text form for every server's way of writing dates, so that ranks compare as text. The
// host keeps one for every photo it has shown: as ASCII bytes it takes half the room.
FileProviderNameRank rankOf(const std::optional<QDateTime>& date)
{
    if (!date || !date->isValid())
        return std::nullopt;
    return date->toMSecsSinceEpoch();
}

} // namespace

FileProviderItemPtr FileProviderItem::folder(const FPNode& node, const QString& name,
                                             const FPNode& parent,
                                             FileProviderItemCapabilities caps, bool deriveCaps)
{
    auto item = std::shared_ptr<FileProviderItem>(new FileProviderItem);
    item->m_identifier = node.identifier();
    item->m_name = name;
    item->m_type = ContentType::folder();
    item->m_parent = parent.identifier();
    item->m_isFolder = true;
    if (node.is(FPNode::Kind::year) || node.is(FPNode::Kind::month)) {
        const QString month = node.is(FPNode::Kind::month) ? node.month() : QStringLiteral("01");
        item->m_creation = item->m_modification = folderDate(node.year(), month);
    }
    item->m_caps = deriveCaps ? ItemCaps::derivedFolderCaps(node) : caps;
    item->m_versionToken = item->m_contentToken = QStringLiteral("folder:") + item->m_identifier +
                                                  u':' + name + QStringLiteral(":c") +
                                                  QString::number(item->m_caps);
    return item;
}

FileProviderItemPtr FileProviderItem::standardFolder(const FPNode& node)
{
    switch (node.kind()) {
    case FPNode::Kind::root:
    case FPNode::Kind::photos:
    case FPNode::Kind::albums:
    case FPNode::Kind::shared:
    case FPNode::Kind::failed:
    case FPNode::Kind::year:
    case FPNode::Kind::month:
        return folder(node, folderName(node), *node.parent(), 0, true);
    default:
        return nullptr;
    }
}

FileProviderItemPtr FileProviderItem::asset(const ImmichAsset& asset,
                                            const FileProviderItemIdentifier& identifier,
                                            const FileProviderItemIdentifier& parent,
                                            FileProviderItemCapabilities caps,
                                            const AssetNameStore& names)
{
    auto item = std::shared_ptr<FileProviderItem>(new FileProviderItem);
    item->m_identifier = identifier;
    item->m_name = names.name(asset.id).value_or(asset.originalFileName);
    item->m_type = typeForFilename(asset.originalFileName, asset.type == QLatin1String("VIDEO")
                                                               ? ContentType::movie()
                                                               : ContentType::image());
    item->m_parent = parent;
    if (asset.exifInfo)
        item->m_size = asset.exifInfo->fileSizeInByte;
    item->m_creation = item->m_modification = captureDate(asset);
    const QString base =
        asset.checksum.value_or(asset.fileModifiedAt.value_or(asset.fileCreatedAt));
    item->m_contentToken = base;
    item->m_versionToken = base + u'|' + item->m_name;
    item->m_caps = caps;
    item->m_rank = rankOf(itemDate(asset.createdAt));
    return item;
}

FileProviderItemPtr FileProviderItem::pending(const UploadQuarantine::Entry& entry,
                                              const FileProviderItemIdentifier& parent,
                                              UploadQuarantine& quarantine)
{
    auto item = std::shared_ptr<FileProviderItem>(new FileProviderItem);
    item->m_identifier = FPNode::pending(entry.id).identifier();
    item->m_name = entry.filename;
    item->m_type = typeForFilename(entry.filename, ContentType::image());
    item->m_parent = parent;
    // A payload is never written after it is queued: the size its manifest recorded is its
    // size, without reading the manifest back and looking at the file for every item listed.
    if (entry.payloadSize) {
        item->m_size = *entry.payloadSize;
    } else if (const auto payload = quarantine.payloadURL(entry.id)) {
        const QFileInfo info(*payload);
        if (info.exists())
            item->m_size = info.size();
    }
    item->m_creation = item->m_modification = entry.capturedAt;
    item->m_contentToken = item->m_identifier;
    item->m_versionToken =
        item->m_identifier + QStringLiteral(":a") + QString::number(entry.attempts);
    item->m_caps = ItemCaps::removable;
    item->m_rank = rankOf(entry.enqueuedAt);
    return item;
}

FileProviderItemVersion FileProviderItem::itemVersion() const
{
    return FileProviderItemVersion(m_contentToken.toUtf8(), m_versionToken.toUtf8());
}

} // namespace pixavella
