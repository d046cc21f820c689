// A passerelle for tests: the daemon around a MemoryExtension whose tree is read, before every
// listing, from the JSON file named by PIXAVELLA_TEST_TREE:
//   {"items": [{"id": "…", "parent": "…", "name": "…", "folder": true, "contents": "…"}]}
#include "MemoryExtension.h"
#include "PasserelleDaemon.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using namespace pixavella;

namespace {

void load(MemoryExtension& ext, const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    QList<QPair<FileProviderItemProperties, QByteArray>> items;
    const QJsonArray array = QJsonDocument::fromJson(file.readAll())["items"].toArray();
    for (const QJsonValue& v : array) {
        const QJsonObject o = v.toObject();
        const QString parent = o["parent"].toString(FileProviderContainer::root);
        if (o["folder"].toBool()) {
            items.append(
                {MemoryExtension::folder(o["id"].toString(), parent, o["name"].toString()), {}});
        } else {
            const QByteArray contents = o["contents"].toString().toUtf8();
            items.append({MemoryExtension::file(o["id"].toString(), parent, o["name"].toString(),
                                                contents.size()),
                          contents});
        }
    }
    ext.replaceAll(items);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    auto ext = std::make_shared<MemoryExtension>();
    const QString tree = qEnvironmentVariable("PIXAVELLA_TEST_TREE");
    load(*ext, tree);
    std::weak_ptr<MemoryExtension> weak = ext;
    ext->setBeforeListing([weak, tree] {
        if (auto e = weak.lock())
            load(*e, tree);
    });
    // The daemon takes a unique owner; this extension's enumerators need shared ownership.
    struct Owner final : FileProviderReplicatedExtension {
        std::shared_ptr<MemoryExtension> e;
        explicit Owner(std::shared_ptr<MemoryExtension> x) : e(std::move(x)) {}
        void invalidate() override { e->invalidate(); }
        ProgressRef itemForIdentifier(const FileProviderItemIdentifier& i,
                                      ItemCompletion c) override
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
        ProgressRef deleteItem(const FileProviderItemIdentifier& i,
                               const FileProviderItemVersion& v, FileProviderDeleteOptions o,
                               DeleteCompletion k) override
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
    return runPasserelleDaemon(std::make_unique<Owner>(ext));
}
