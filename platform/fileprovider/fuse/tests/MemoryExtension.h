#pragma once

#include "FileProviderReplicatedExtension.h"

#include <QHash>
#include <QMap>
#include <QSet>

#include <atomic>
#include <memory>
#include <mutex>

namespace pixavella {

// A replicated extension over an in-memory tree: the framework's own test seam. Answers come
// from other threads, as the real extension's do. Items, contents and failures can be
// changed at any time; the counters say what the host asked for.
class MemoryExtension final : public FileProviderReplicatedExtension,
                              public std::enable_shared_from_this<MemoryExtension> {
public:
    static FileProviderItemProperties
    folder(const QString& id, const QString& parent, const QString& name,
           FileProviderItemCapabilities capabilities = FileProviderItemCapability::allowsAll);
    static FileProviderItemProperties
    file(const QString& id, const QString& parent, const QString& name, qint64 size,
         const QString& mime = QStringLiteral("image/jpeg"),
         FileProviderItemCapabilities capabilities = FileProviderItemCapability::allowsAll);

    // For the daemon, which takes a unique owner: this extension's enumerators need it shared.
    static std::unique_ptr<FileProviderReplicatedExtension>
    uniqueOwner(std::shared_ptr<MemoryExtension> extension);

    // Adds or replaces an item; a file's size and content version follow `contents`.
    void put(FileProviderItemProperties item, const QByteArray& contents = {});
    void remove(const QString& id);
    // Makes the tree exactly `items` (with their contents).
    void replaceAll(const QList<QPair<FileProviderItemProperties, QByteArray>>& items);
    // Runs before every listing, outside the extension's lock (a test daemon reloads its tree).
    void setBeforeListing(std::function<void()> hook);
    void failContents(const QString& id, const std::optional<Error>& error);
    void failListing(const QString& container, const std::optional<Error>& error);
    // Item listings come in pages of `size` items (0: one page).
    void setPageSize(int size) { m_pageSize = size; }
    int pageSize() const { return m_pageSize.load(); }
    // Listings of `container` never finish (the host's own time limit must answer).
    void hangListing(const QString& container, bool hang);

    // What createItem received: the folder asked for, the name, and the file's bytes and
    // modification time as they were when handed over.
    struct Creation {
        QString parent;
        QString filename;
        bool isFolder = false;
        QByteArray contents;
        QDateTime modified;
    };
    QList<Creation> creations() const;
    // Changes fail with `error` (none: they succeed again).
    void failChanges(const std::optional<Error>& error);
    // Creations answer neither an item nor an error.
    void createNothing(bool nothing);
    // New files and folders are filed under these containers instead of where they were made.
    void fileNewItemsUnder(const QString& filesContainer, const QString& foldersContainer);
    int deleteCount() const;

    int fetchCount() const { return m_fetches.load(); }
    // Fetches of contents asked on no one's direct behalf (a thumbnailer's reads).
    int systemFetchCount() const { return m_systemFetches.load(); }
    // The thumbnail answered for `id`: empty means none yet. Answers come `delayMs` late.
    void setThumbnail(const QString& id, const QByteArray& image);
    void setThumbnailDelay(int delayMs) { m_thumbnailDelayMs = delayMs; }
    int thumbnailAsks(const QString& id) const;
    int listingCount(const QString& container) const;
    int changesCount(const QString& container) const;

    // FileProviderReplicatedExtension
    void invalidate() override {}
    ProgressRef itemForIdentifier(const FileProviderItemIdentifier& identifier,
                                  ItemCompletion completion) override;
    ProgressRef fetchContents(const FileProviderItemIdentifier& identifier,
                              const std::optional<FileProviderItemVersion>& requestedVersion,
                              const FileProviderRequest& request,
                              FetchContentsCompletion completion) override;
    ProgressRef createItem(FileProviderItemRef itemTemplate, FileProviderItemFields fields,
                           const std::optional<QString>& contents,
                           FileProviderCreateOptions options,
                           ItemChangeCompletion completion) override;
    ProgressRef modifyItem(FileProviderItemRef item, const FileProviderItemVersion& baseVersion,
                           FileProviderItemFields changedFields,
                           const std::optional<QString>& contents,
                           ItemChangeCompletion completion) override;
    ProgressRef deleteItem(const FileProviderItemIdentifier& identifier,
                           const FileProviderItemVersion& baseVersion,
                           FileProviderDeleteOptions options, DeleteCompletion completion) override;
    Result<FileProviderEnumeratorRef>
    enumeratorForContainer(const FileProviderItemIdentifier& containerIdentifier) override;
    ProgressRef fetchThumbnails(const QList<FileProviderItemIdentifier>& identifiers,
                                const QSize& requestedSize, PerThumbnailCompletion perThumbnail,
                                ThumbnailsCompletion completion) override;

    // Used by the enumerator.
    struct Listing {
        std::optional<Error> error;
        bool hang = false;
        QList<FileProviderItemRef> items;
    };
    Listing list(const QString& container, bool changes);
    // Identifiers reported last time for `container`; replaced by `current`.
    QSet<QString> swapSnapshot(const QString& container, const QSet<QString>& current);

private:
    struct Entry {
        FileProviderItemProperties item;
        QByteArray contents;
        std::optional<Error> contentsError;
    };
    // Guards every field below.
    mutable std::mutex m_mutex;
    QMap<QString, Entry> m_items; // ordered: listings come in identifier order
    QHash<QString, Error> m_listingErrors;
    QSet<QString> m_hanging;
    QHash<QString, QSet<QString>> m_snapshots;
    QHash<QString, int> m_listings;
    QHash<QString, int> m_changes;
    QList<Creation> m_creations;
    std::optional<Error> m_changeError;
    bool m_createNothing = false;
    QString m_newFilesUnder;
    QString m_newFoldersUnder;
    int m_deletes = 0;
    std::function<void()> m_beforeListing;
    std::atomic<int> m_pageSize{0};
    std::atomic<int> m_fetches{0};
    std::atomic<int> m_systemFetches{0};
    std::atomic<int> m_thumbnailDelayMs{0};
    QHash<QString, QByteArray> m_thumbnails;
    QHash<QString, int> m_thumbnailAsks;
    int m_version = 0;
};

} // namespace pixavella
