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
    return runPasserelleDaemon(MemoryExtension::uniqueOwner(ext));
}
