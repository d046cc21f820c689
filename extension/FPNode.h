#pragma once

#include "FileProviderItemProtocol.h"
#include "ImmichRecords.h"
#include "LibraryCalendar.h"
#include "UploadQuarantine.h"

#include <QString>

#include <optional>

namespace pixavella {

// One node of the drive's fixed tree; its identifier is the item identifier the framework sees.
//
//   root ─ photos ─ year(Y) ─ month(Y, MM) ─ asset(A), pending(P)
//        │        └ failed ─ pending(P)                    (5 attempts or more)
//        ├ albums ─ album(L) ─ albumItem(L, A), pending(P)
//        └ shared ─ sharedAlbum(S) ─ sharedItem(S, A), pending(P)
//
// Album and asset ids are the server's, verbatim; P is an upload quarantine entry id.
class FPNode {
public:
    enum class Kind {
        year,
        month,
        asset,
        album,
        albumItem,
        sharedAlbum,
        sharedItem,
        pending,
        root,
        photos,
        albums,
        shared,
        failed,
    };

    static FPNode root() { return FPNode(Kind::root); }
    static FPNode photos() { return FPNode(Kind::photos); }
    static FPNode albums() { return FPNode(Kind::albums); }
    static FPNode sharedAlbumsFolder() { return FPNode(Kind::shared); }
    static FPNode failed() { return FPNode(Kind::failed); }
    static FPNode year(const QString& year) { return FPNode(Kind::year, year); }
    static FPNode month(const QString& year, const QString& month)
    {
        return FPNode(Kind::month, year, month);
    }
    static FPNode month(const MonthKey& key) { return month(key.year, key.month); }
    static FPNode asset(const QString& assetId) { return FPNode(Kind::asset, assetId); }
    static FPNode album(const QString& albumId) { return FPNode(Kind::album, albumId); }
    static FPNode albumItem(const QString& albumId, const QString& assetId)
    {
        return FPNode(Kind::albumItem, albumId, assetId);
    }
    static FPNode sharedAlbum(const QString& albumId) { return FPNode(Kind::sharedAlbum, albumId); }
    static FPNode sharedItem(const QString& albumId, const QString& assetId)
    {
        return FPNode(Kind::sharedItem, albumId, assetId);
    }
    static FPNode pending(const QString& entryId) { return FPNode(Kind::pending, entryId); }

    // Nothing for an identifier outside the grammar (the framework's trash among them).
    static std::optional<FPNode> parse(const FileProviderItemIdentifier& identifier);
    FileProviderItemIdentifier identifier() const;

    Kind kind() const { return m_kind; }
    bool is(Kind kind) const { return m_kind == kind; }
    // Payloads; empty for the kinds that do not carry them.
    QString year() const;    // year, month
    QString month() const;   // month
    QString albumId() const; // album, albumItem, sharedAlbum, sharedItem
    QString entryId() const; // pending
    // The server asset an asset, albumItem or sharedItem node shows.
    std::optional<QString> assetId() const;

    // The parent, for every kind whose parent follows from the node alone; nothing for asset
    // and pending, whose parents depend on the asset's date or the entry (see below).
    std::optional<FPNode> parent() const;

    bool operator==(const FPNode&) const = default;

private:
    explicit FPNode(Kind kind, QString first = {}, QString second = {})
        : m_kind(kind), m_first(std::move(first)), m_second(std::move(second))
    {
    }

    Kind m_kind;
    QString m_first;
    QString m_second;
};

// The month folder of a date, or "photos" when the date has no month key.
FPNode monthFolderOf(const std::optional<MonthKey>& key);

// The parent of an asset shown under `requestedIdentifier`: its month folder for a library
// asset, its album for an album or shared-album item, "photos" for anything else.
FileProviderItemIdentifier
assetParentIdentifier(const FileProviderItemIdentifier& requestedIdentifier,
                      const ImmichAsset& asset);

// Uploads are given up at this many failed attempts and shown under "failed".
inline constexpr qint64 kUploadAttemptLimit = 5;

// Where a quarantined upload is shown: "failed" once given up, else its album, shared album,
// or the month folder of its capture date.
FPNode pendingParent(const UploadQuarantine::Entry& entry);

} // namespace pixavella
