#pragma once

#include "FileProviderItemProtocol.h"
#include "Result.h"

#include <QString>

#include <mutex>
#include <optional>

namespace pixavella {

// Materialised contents, one file per item and content version:
// <root>/<sha1 of identifier>/<sha1 of content version>. Only the newest version of an item
// is kept; an item without a content version is never served from here.
class ContentCache {
public:
    // What a previous run left being delivered (a download cut short, a daemon killed during
    // one) was never confirmed to anyone: it is dropped.
    explicit ContentCache(QString root);

    const QString& root() const { return m_root; }
    // Where deliveries are written before they are adopted: on the cache's own file system,
    // so adopting one is a rename, and never in a shared or memory-backed temporary folder.
    QString incomingDirectory() const;

    std::optional<QString> find(const FileProviderItemIdentifier& identifier,
                                const QByteArray& contentVersion) const;
    // Takes `delivered` over (moved, or copied then removed when it lives on another file
    // system) as the contents of that version, and drops older versions of the item.
    Result<QString> adopt(const FileProviderItemIdentifier& identifier,
                          const QByteArray& contentVersion, const QString& delivered);
    // A file of ours for contents that cannot be cached (no content version), removed by the
    // caller once opened.
    Result<QString> adoptUncached(const QString& delivered);

private:
    QString folderFor(const FileProviderItemIdentifier& identifier) const;
    Result<void> moveInto(const QString& from, const QString& to);

    const QString m_root;
    // Serialises adoption so two fetches of one item never interleave their renames.
    std::mutex m_mutex;
};

} // namespace pixavella
