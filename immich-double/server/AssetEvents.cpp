#include "Routes.h"

#include <QJsonDocument>

namespace immichdouble {

namespace {

QByteArray assetText(const LibraryState& state, int index)
{
    JsonWriter out;
    writeAsset(out, state, index, AssetView::Detail);
    return out.bytes();
}

QByteArray idsText(const QStringList& ids)
{
    return QJsonDocument(QJsonArray::fromStringList(ids)).toJson(QJsonDocument::Compact);
}

QByteArray idText(const QString& id)
{
    return '"' + id.toLatin1() + '"';
}

} // namespace

void announceUpload(DoubleContext& context, int index)
{
    Asset& asset = context.state.asset(index);
    const int delay = context.options.thumbnailDelayMs;
    asset.thumbnailReadyAt = delay > 0 ? LibraryState::now() + delay : 0;
    const QUuid id = asset.id;
    context.jobs.run(delay, [&context, id] {
        const int at = context.state.assetIndex(LibraryState::uuidText(id));
        if (at < 0)
            return;
        const Asset& ready = context.state.asset(at);
        // Only for what the timeline or the archive shows.
        if (ready.trashed ||
            (ready.visibility != Visibility::Timeline && ready.visibility != Visibility::Archive))
            return;
        const QByteArray json = assetText(context.state, at);
        context.events.emitTo(ready.owner, "on_upload_success", json);
        context.events.emitTo(ready.owner, "AssetUploadReadyV2", "{\"asset\":" + json + '}');
    });
}

void announceTrash(DoubleContext& context, int user, const QStringList& ids)
{
    if (!ids.isEmpty())
        context.events.emitTo(user, "on_asset_trash", idsText(ids));
}

void announceRestore(DoubleContext& context, int user, const QStringList& ids)
{
    if (!ids.isEmpty())
        context.events.emitTo(user, "on_asset_restore", idsText(ids));
}

void announceDelete(DoubleContext& context, int user, const QString& id)
{
    context.events.emitTo(user, "on_asset_delete", idText(id));
}

void announceHidden(DoubleContext& context, int user, const QString& id)
{
    context.events.emitTo(user, "on_asset_hidden", idText(id));
}

void announceUpdate(DoubleContext& context, int index)
{
    context.events.emitTo(context.state.asset(index).owner, "on_asset_update",
                          assetText(context.state, index));
}

} // namespace immichdouble
