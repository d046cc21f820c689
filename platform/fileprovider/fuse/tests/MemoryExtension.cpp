#include "MemoryExtension.h"

#include "FileProviderError.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QThread>
#include <QThreadPool>
#include <QUuid>

namespace pixavella {

namespace {

struct UniqueOwner final : FileProviderReplicatedExtension {
    std::shared_ptr<MemoryExtension> e;
    explicit UniqueOwner(std::shared_ptr<MemoryExtension> x) : e(std::move(x)) {}
    void invalidate() override { e->invalidate(); }
    ProgressRef itemForIdentifier(const FileProviderItemIdentifier& i, ItemCompletion c) override
    {
        return e->itemForIdentifier(i, std::move(c));
    }
    ProgressRef fetchContents(const FileProviderItemIdentifier& i,
                              const std::optional<FileProviderItemVersion>& v,
                              const FileProviderRequest& r, FetchContentsCompletion c) override
    {
        return e->fetchContents(i, v, r, std::move(c));
    }
    ProgressRef createItem(FileProviderItemRef t, FileProviderItemFields f,
                           const std::optional<QString>& c, FileProviderCreateOptions o,
                           ItemChangeCompletion k) override
    {
        return e->createItem(std::move(t), f, c, o, std::move(k));
    }
    ProgressRef modifyItem(FileProviderItemRef i, const FileProviderItemVersion& v,
                           FileProviderItemFields f, const std::optional<QString>& c,
                           ItemChangeCompletion k) override
    {
        return e->modifyItem(std::move(i), v, f, c, std::move(k));
    }
    ProgressRef deleteItem(const FileProviderItemIdentifier& i, const FileProviderItemVersion& v,
                           FileProviderDeleteOptions o, DeleteCompletion k) override
    {
        return e->deleteItem(i, v, o, std::move(k));
    }
    Result<FileProviderEnumeratorRef>
    enumeratorForContainer(const FileProviderItemIdentifier& c) override
    {
        return e->enumeratorForContainer(c);
    }
    ProgressRef fetchThumbnails(const QList<FileProviderItemIdentifier>& ids, const QSize& s,
                                PerThumbnailCompletion p, ThumbnailsCompletion c) override
    {
        return e->fetchThumbnails(ids, s, std::move(p), std::move(c));
    }
};

// Answers later, from a pool thread, the way network completions arrive.
template <typename F> void later(F&& work)
{
    QThreadPool::globalInstance()->start(std::forward<F>(work));
}

class MemoryEnumerator final : public FileProviderEnumeratorProtocol {
public:
    MemoryEnumerator(std::shared_ptr<MemoryExtension> ext, QString container)
        : m_ext(std::move(ext)), m_container(std::move(container))
    {
    }
    void invalidate() override {}
    void enumerateItems(std::shared_ptr<FileProviderEnumerationObserver> observer,
                        const FileProviderPage& page) override
    {
        const MemoryExtension::Listing listing = m_ext->list(m_container, false);
        if (listing.hang)
            return; // the observer is dropped unanswered
        auto ext = m_ext;
        const QString container = m_container;
        const bool initial = page == FileProviderInitialPage::sortedByName ||
                             page == FileProviderInitialPage::sortedByDate;
        const qsizetype offset = initial ? 0 : page.toLongLong();
        const qsizetype size = ext->pageSize() > 0 ? ext->pageSize() : listing.items.size();
        later([ext, container, observer, listing, offset, size] {
            if (listing.error) {
                observer->finishEnumeratingWithError(*listing.error);
                return;
            }
            QSet<QString> ids;
            for (const FileProviderItemRef& item : listing.items)
                ids.insert(item->itemIdentifier());
            ext->swapSnapshot(container, ids);
            // Two batches per page, to exercise the host's gathering.
            const QList<FileProviderItemRef> items = listing.items.mid(offset, size);
            observer->didEnumerateItems(items.mid(0, items.size() / 2));
            observer->didEnumerateItems(items.mid(items.size() / 2));
            const qsizetype next = offset + size;
            observer->finishEnumeratingUpToPage(next < listing.items.size()
                                                    ? std::optional(QByteArray::number(next))
                                                    : std::nullopt);
        });
    }
    void enumerateChanges(std::shared_ptr<FileProviderChangeObserver> observer,
                          const FileProviderSyncAnchor& anchor) override
    {
        const MemoryExtension::Listing listing = m_ext->list(m_container, true);
        if (listing.hang)
            return;
        auto ext = m_ext;
        const QString container = m_container;
        later([ext, container, observer, listing, anchor] {
            if (listing.error) {
                // As the real extension: a failed change listing reports nothing new.
                observer->finishEnumeratingChangesUpToSyncAnchor(anchor, false);
                return;
            }
            QSet<QString> ids;
            for (const FileProviderItemRef& item : listing.items)
                ids.insert(item->itemIdentifier());
            const QSet<QString> previous = ext->swapSnapshot(container, ids);
            if (!listing.items.isEmpty())
                observer->didUpdateItems(listing.items);
            const QSet<QString> deleted = previous - ids;
            if (!deleted.isEmpty())
                observer->didDeleteItemsWithIdentifiers(deleted.values());
            observer->finishEnumeratingChangesUpToSyncAnchor(QUuid::createUuid().toByteArray(),
                                                             false);
        });
    }
    void currentSyncAnchor(
        std::function<void(std::optional<FileProviderSyncAnchor>)> completion) override
    {
        later([completion] { completion(QUuid::createUuid().toByteArray()); });
    }

private:
    std::shared_ptr<MemoryExtension> m_ext;
    QString m_container;
};

} // namespace

FileProviderItemProperties MemoryExtension::folder(const QString& id, const QString& parent,
                                                   const QString& name,
                                                   FileProviderItemCapabilities capabilities)
{
    FileProviderItemProperties p;
    p.itemIdentifier = id;
    p.parentItemIdentifier = parent;
    p.filename = name;
    p.contentType = ContentType::folder();
    p.capabilities = capabilities;
    p.itemVersion = {"folder", "1"};
    return p;
}

FileProviderItemProperties MemoryExtension::file(const QString& id, const QString& parent,
                                                 const QString& name, qint64 size,
                                                 const QString& mime,
                                                 FileProviderItemCapabilities capabilities)
{
    FileProviderItemProperties p;
    p.itemIdentifier = id;
    p.parentItemIdentifier = parent;
    p.filename = name;
    p.contentType = ContentType(mime);
    p.documentSize = size;
    p.creationDate = QDateTime::fromSecsSinceEpoch(1'700'000'000, Qt::UTC);
    p.contentModificationDate = QDateTime::fromSecsSinceEpoch(1'700'000'100, Qt::UTC);
    p.capabilities = capabilities;
    return p;
}

void MemoryExtension::put(FileProviderItemProperties item, const QByteArray& contents)
{
    std::lock_guard lock(m_mutex);
    if (!item.contentType.conformsTo(ContentKind::folder)) {
        if (!item.documentSize)
            item.documentSize = contents.size();
        item.itemVersion = FileProviderItemVersion(
            QCryptographicHash::hash(contents, QCryptographicHash::Sha1).toHex(),
            QByteArray::number(++m_version));
    }
    Entry& e = m_items[item.itemIdentifier];
    e.item = std::move(item);
    e.contents = contents;
}

void MemoryExtension::remove(const QString& id)
{
    std::lock_guard lock(m_mutex);
    m_items.remove(id);
}

void MemoryExtension::replaceAll(const QList<QPair<FileProviderItemProperties, QByteArray>>& items)
{
    {
        std::lock_guard lock(m_mutex);
        m_items.clear();
    }
    for (const auto& [item, contents] : items)
        put(item, contents);
}

void MemoryExtension::setBeforeListing(std::function<void()> hook)
{
    std::lock_guard lock(m_mutex);
    m_beforeListing = std::move(hook);
}

void MemoryExtension::failContents(const QString& id, const std::optional<Error>& error)
{
    std::lock_guard lock(m_mutex);
    if (m_items.contains(id))
        m_items[id].contentsError = error;
}

void MemoryExtension::failListing(const QString& container, const std::optional<Error>& error)
{
    std::lock_guard lock(m_mutex);
    if (error)
        m_listingErrors.insert(container, *error);
    else
        m_listingErrors.remove(container);
}

void MemoryExtension::hangListing(const QString& container, bool hang)
{
    std::lock_guard lock(m_mutex);
    if (hang)
        m_hanging.insert(container);
    else
        m_hanging.remove(container);
}

int MemoryExtension::listingCount(const QString& container) const
{
    std::lock_guard lock(m_mutex);
    return m_listings.value(container);
}

int MemoryExtension::changesCount(const QString& container) const
{
    std::lock_guard lock(m_mutex);
    return m_changes.value(container);
}

MemoryExtension::Listing MemoryExtension::list(const QString& container, bool changes)
{
    std::function<void()> hook;
    {
        std::lock_guard lock(m_mutex);
        hook = m_beforeListing;
    }
    if (hook)
        hook();
    std::lock_guard lock(m_mutex);
    ++(changes ? m_changes : m_listings)[container];
    Listing listing;
    listing.hang = m_hanging.contains(container);
    if (m_listingErrors.contains(container)) {
        listing.error = m_listingErrors.value(container);
        return listing;
    }
    for (const Entry& e : std::as_const(m_items))
        if (e.item.parentItemIdentifier == container)
            listing.items.append(FileProviderItemSnapshot::make(e.item));
    return listing;
}

QSet<QString> MemoryExtension::swapSnapshot(const QString& container, const QSet<QString>& current)
{
    std::lock_guard lock(m_mutex);
    QSet<QString> previous = m_snapshots.value(container);
    m_snapshots.insert(container, current);
    return previous;
}

ProgressRef MemoryExtension::itemForIdentifier(const FileProviderItemIdentifier& identifier,
                                               ItemCompletion completion)
{
    std::optional<FileProviderItemProperties> item;
    {
        std::lock_guard lock(m_mutex);
        if (m_items.contains(identifier))
            item = m_items.value(identifier).item;
    }
    later([item, completion] {
        if (item)
            completion(FileProviderItemSnapshot::make(*item));
        else
            completion(fileProviderError(FileProviderErrorCode::noSuchItem));
    });
    return Progress::make(1);
}

ProgressRef MemoryExtension::fetchContents(const FileProviderItemIdentifier& identifier,
                                           const std::optional<FileProviderItemVersion>&,
                                           const FileProviderRequest& request,
                                           FetchContentsCompletion completion)
{
    ++m_fetches;
    if (request.isSystemRequest)
        ++m_systemFetches;
    std::optional<Entry> entry;
    {
        std::lock_guard lock(m_mutex);
        if (m_items.contains(identifier))
            entry = m_items.value(identifier);
    }
    later([entry, completion] {
        if (!entry) {
            completion(fileProviderError(FileProviderErrorCode::noSuchItem));
            return;
        }
        if (entry->contentsError) {
            completion(*entry->contentsError);
            return;
        }
        const QString dir = QDir::tempPath() + QStringLiteral("/memory-extension-downloads");
        QDir().mkpath(dir);
        const QString path = dir + u'/' + QUuid::createUuid().toString(QUuid::WithoutBraces);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) ||
            file.write(entry->contents) != entry->contents.size()) {
            completion(fileError(EIO, path));
            return;
        }
        file.close();
        completion(FileProviderFetchedContents{path, FileProviderItemSnapshot::make(entry->item)});
    });
    return Progress::make(100);
}

QList<MemoryExtension::Creation> MemoryExtension::creations() const
{
    std::lock_guard lock(m_mutex);
    return m_creations;
}

void MemoryExtension::failChanges(const std::optional<Error>& error)
{
    std::lock_guard lock(m_mutex);
    m_changeError = error;
}

void MemoryExtension::createNothing(bool nothing)
{
    std::lock_guard lock(m_mutex);
    m_createNothing = nothing;
}

void MemoryExtension::fileNewItemsUnder(const QString& filesContainer,
                                        const QString& foldersContainer)
{
    std::lock_guard lock(m_mutex);
    m_newFilesUnder = filesContainer;
    m_newFoldersUnder = foldersContainer;
}

int MemoryExtension::deleteCount() const
{
    std::lock_guard lock(m_mutex);
    return m_deletes;
}

ProgressRef MemoryExtension::createItem(FileProviderItemRef itemTemplate, FileProviderItemFields,
                                        const std::optional<QString>& contents,
                                        FileProviderCreateOptions, ItemChangeCompletion completion)
{
    FileProviderItemProperties item = FileProviderItemProperties::of(*itemTemplate);
    auto self = shared_from_this();
    later([self, item, contents, completion]() mutable {
        Creation c{item.parentItemIdentifier,
                   item.filename,
                   item.contentType.conformsTo(ContentKind::folder),
                   {},
                   {}};
        // Taken before answering, as the real extension copies into its quarantine.
        if (contents) {
            QFile file(*contents);
            if (!file.open(QIODevice::ReadOnly)) {
                completion(fileError(ENOENT, *contents));
                return;
            }
            c.contents = file.readAll();
            c.modified = file.fileTime(QFileDevice::FileModificationTime).toUTC();
        }
        std::optional<Error> error;
        bool nothing = false;
        {
            std::lock_guard lock(self->m_mutex);
            self->m_creations.append(c);
            error = self->m_changeError;
            nothing = self->m_createNothing;
            const QString& under = c.isFolder ? self->m_newFoldersUnder : self->m_newFilesUnder;
            if (!under.isEmpty())
                item.parentItemIdentifier = under;
            item.itemIdentifier = QStringLiteral("new:%1").arg(self->m_creations.size());
        }
        if (error) {
            completion(*error);
            return;
        }
        if (nothing) {
            completion(FileProviderItemChange{});
            return;
        }
        if (c.isFolder)
            item.itemVersion = {"folder", "1"};
        self->put(item, c.contents);
        {
            std::lock_guard lock(self->m_mutex);
            item = self->m_items.value(item.itemIdentifier).item;
        }
        completion(FileProviderItemChange{FileProviderItemSnapshot::make(item)});
    });
    return Progress::make();
}

ProgressRef MemoryExtension::modifyItem(FileProviderItemRef item, const FileProviderItemVersion&,
                                        FileProviderItemFields changedFields,
                                        const std::optional<QString>& contents,
                                        ItemChangeCompletion completion)
{
    std::optional<Error> error = fileProviderError(FileProviderErrorCode::noSuchItem);
    FileProviderItemProperties answer;
    // New contents are taken in place, and recorded with the creations.
    std::optional<Creation> written;
    if ((changedFields & FileProviderItemField::contents) && contents) {
        QFile file(*contents);
        if (file.open(QIODevice::ReadOnly))
            written =
                Creation{item->parentItemIdentifier(), item->filename(), false, file.readAll(),
                         file.fileTime(QFileDevice::FileModificationTime).toUTC()};
    }
    {
        std::lock_guard lock(m_mutex);
        auto it = m_items.find(item->itemIdentifier());
        if (m_changeError) {
            error = m_changeError;
        } else if (it != m_items.end()) {
            error.reset();
            if (written) {
                m_creations.append(*written);
                it->contents = written->contents;
                it->item.documentSize = written->contents.size();
                it->item.itemVersion.setContentVersion(QByteArray::number(++m_version));
            }
            if (changedFields & FileProviderItemField::parentItemIdentifier)
                it->item.parentItemIdentifier = item->parentItemIdentifier();
            if (changedFields & FileProviderItemField::filename)
                it->item.filename = item->filename();
            it->item.itemVersion.setMetadataVersion(QByteArray::number(++m_version));
            answer = it->item;
        }
    }
    later([error, answer, completion] {
        if (error)
            completion(*error);
        else
            completion(FileProviderItemChange{FileProviderItemSnapshot::make(answer)});
    });
    return Progress::make();
}

ProgressRef MemoryExtension::deleteItem(const FileProviderItemIdentifier& identifier,
                                        const FileProviderItemVersion&, FileProviderDeleteOptions,
                                        DeleteCompletion completion)
{
    std::optional<Error> error;
    {
        std::lock_guard lock(m_mutex);
        error = m_changeError;
        if (!error && !m_items.remove(identifier))
            error = fileProviderError(FileProviderErrorCode::noSuchItem);
        if (!error)
            ++m_deletes;
    }
    later([error, completion] {
        if (error)
            completion(*error);
        else
            completion(Result<void>::success());
    });
    return Progress::make();
}

Result<FileProviderEnumeratorRef>
MemoryExtension::enumeratorForContainer(const FileProviderItemIdentifier& containerIdentifier)
{
    return FileProviderEnumeratorRef(
        std::make_shared<MemoryEnumerator>(shared_from_this(), containerIdentifier));
}

ProgressRef MemoryExtension::fetchThumbnails(const QList<FileProviderItemIdentifier>& identifiers,
                                             const QSize&, PerThumbnailCompletion perThumbnail,
                                             ThumbnailsCompletion completion)
{
    QList<QByteArray> images;
    {
        std::lock_guard lock(m_mutex);
        for (const QString& id : identifiers) {
            images.append(m_thumbnails.value(id));
            ++m_thumbnailAsks[id];
        }
    }
    const int delay = m_thumbnailDelayMs.load();
    later([identifiers, images, delay, perThumbnail, completion] {
        if (delay > 0)
            QThread::msleep(delay);
        for (qsizetype i = 0; i < identifiers.size(); ++i)
            perThumbnail(identifiers[i], images[i]);
        completion(Result<void>::success());
    });
    return Progress::make(identifiers.size());
}

void MemoryExtension::setThumbnail(const QString& id, const QByteArray& image)
{
    std::lock_guard lock(m_mutex);
    m_thumbnails.insert(id, image);
}

int MemoryExtension::thumbnailAsks(const QString& id) const
{
    std::lock_guard lock(m_mutex);
    return m_thumbnailAsks.value(id);
}

std::unique_ptr<FileProviderReplicatedExtension>
MemoryExtension::uniqueOwner(std::shared_ptr<MemoryExtension> extension)
{
    return std::make_unique<UniqueOwner>(std::move(extension));
}

} // namespace pixavella
