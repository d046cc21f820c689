#include "FPNode.h"

namespace pixavella {

namespace {

const QString kPhotos = QStringLiteral("photos");
const QString kAlbums = QStringLiteral("albums");
const QString kShared = QStringLiteral("shared");
const QString kFailed = QStringLiteral("failed");
const QString kYear = QStringLiteral("year:");
const QString kMonth = QStringLiteral("month:");
const QString kAsset = QStringLiteral("asset:");
const QString kAlbum = QStringLiteral("album:");
const QString kAlbumItem = QStringLiteral("ai:");
const QString kSharedAlbum = QStringLiteral("salbum:");
const QString kSharedItem = QStringLiteral("si:");
const QString kPending = QStringLiteral("pending:");

// The two pieces of `rest` split at `separator`, empty pieces dropped; nothing unless there
// are exactly two.
std::optional<std::pair<QString, QString>> twoPieces(const QString& rest, QChar separator)
{
    const QStringList pieces = rest.split(separator, Qt::SkipEmptyParts);
    if (pieces.size() != 2)
        return std::nullopt;
    return std::pair{pieces[0], pieces[1]};
}

} // namespace

std::optional<FPNode> FPNode::parse(const FileProviderItemIdentifier& id)
{
    if (id == FileProviderContainer::root)
        return root();
    if (id == kPhotos)
        return photos();
    if (id == kAlbums)
        return albums();
    if (id == kShared)
        return sharedAlbumsFolder();
    if (id == kFailed)
        return failed();
    // An empty payload ("asset:", "ai:L1:") names nothing the server holds.
    if (id.endsWith(u':'))
        return std::nullopt;
    if (id.startsWith(kPending))
        return pending(id.mid(kPending.size()));
    if (id.startsWith(kSharedAlbum))
        return sharedAlbum(id.mid(kSharedAlbum.size()));
    if (id.startsWith(kSharedItem)) {
        if (const auto p = twoPieces(id.mid(kSharedItem.size()), u':'))
            return sharedItem(p->first, p->second);
        return std::nullopt;
    }
    if (id.startsWith(kYear))
        return year(id.mid(kYear.size()));
    if (id.startsWith(kMonth)) {
        if (const auto p = twoPieces(id.mid(kMonth.size()), u'-'))
            return month(p->first, p->second);
        return std::nullopt;
    }
    if (id.startsWith(kAsset))
        return asset(id.mid(kAsset.size()));
    if (id.startsWith(kAlbum))
        return album(id.mid(kAlbum.size()));
    if (id.startsWith(kAlbumItem)) {
        if (const auto p = twoPieces(id.mid(kAlbumItem.size()), u':'))
            return albumItem(p->first, p->second);
        return std::nullopt;
    }
    return std::nullopt;
}

FileProviderItemIdentifier FPNode::identifier() const
{
    switch (m_kind) {
    case Kind::root:
        return FileProviderContainer::root;
    case Kind::photos:
        return kPhotos;
    case Kind::albums:
        return kAlbums;
    case Kind::shared:
        return kShared;
    case Kind::failed:
        return kFailed;
    case Kind::year:
        return kYear + m_first;
    case Kind::month:
        return kMonth + m_first + u'-' + m_second;
    case Kind::asset:
        return kAsset + m_first;
    case Kind::album:
        return kAlbum + m_first;
    case Kind::albumItem:
        return kAlbumItem + m_first + u':' + m_second;
    case Kind::sharedAlbum:
        return kSharedAlbum + m_first;
    case Kind::sharedItem:
        return kSharedItem + m_first + u':' + m_second;
    case Kind::pending:
        return kPending + m_first;
    }
    Q_UNREACHABLE();
}

QString FPNode::year() const
{
    return is(Kind::year) || is(Kind::month) ? m_first : QString();
}

QString FPNode::month() const
{
    return is(Kind::month) ? m_second : QString();
}

QString FPNode::albumId() const
{
    switch (m_kind) {
    case Kind::album:
    case Kind::albumItem:
    case Kind::sharedAlbum:
    case Kind::sharedItem:
        return m_first;
    default:
        return QString();
    }
}

QString FPNode::entryId() const
{
    return is(Kind::pending) ? m_first : QString();
}

std::optional<QString> FPNode::assetId() const
{
    switch (m_kind) {
    case Kind::asset:
        return m_first;
    case Kind::albumItem:
    case Kind::sharedItem:
        return m_second;
    default:
        return std::nullopt;
    }
}

std::optional<FPNode> FPNode::parent() const
{
    switch (m_kind) {
    case Kind::root:
    case Kind::photos:
    case Kind::albums:
    case Kind::shared:
        return root();
    case Kind::failed:
    case Kind::year:
        return photos();
    case Kind::month:
        return year(m_first);
    case Kind::album:
        return albums();
    case Kind::albumItem:
        return album(m_first);
    case Kind::sharedAlbum:
        return sharedAlbumsFolder();
    case Kind::sharedItem:
        return sharedAlbum(m_first);
    case Kind::asset:
    case Kind::pending:
        return std::nullopt;
    }
    Q_UNREACHABLE();
}

FPNode monthFolderOf(const std::optional<MonthKey>& key)
{
    return key ? FPNode::month(*key) : FPNode::photos();
}

FileProviderItemIdentifier
assetParentIdentifier(const FileProviderItemIdentifier& requestedIdentifier,
                      const ImmichAsset& asset)
{
    const auto node = FPNode::parse(requestedIdentifier);
    if (!node)
        return FPNode::photos().identifier();
    switch (node->kind()) {
    case FPNode::Kind::asset:
        return monthFolderOf(monthKey(asset)).identifier();
    case FPNode::Kind::albumItem:
    case FPNode::Kind::sharedItem:
        return node->parent()->identifier();
    default:
        return FPNode::photos().identifier();
    }
}

FPNode pendingParent(const UploadQuarantine::Entry& entry)
{
    if (entry.attempts >= kUploadAttemptLimit)
        return FPNode::failed();
    switch (entry.target.kind) {
    case UploadQuarantine::Target::Kind::album:
        return FPNode::album(entry.target.albumId);
    case UploadQuarantine::Target::Kind::sharedAlbum:
        return FPNode::sharedAlbum(entry.target.albumId);
    case UploadQuarantine::Target::Kind::library:
        break;
    }
    return monthFolderOf(monthKey(entry.capturedAt));
}

} // namespace pixavella
