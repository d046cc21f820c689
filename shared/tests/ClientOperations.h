#pragma once

// Runs one client operation by name with fixed arguments and gives its outcome as text, so
// data-driven tests can name operations in their rows.

#include "ClientTestSupport.h"

#include <QStringList>

namespace pixavella::testing {

inline QString joinIds(const QList<ImmichAsset>& assets)
{
    QStringList ids;
    for (const ImmichAsset& a : assets)
        ids.append(a.id);
    return ids.join(u',');
}

template <typename T, typename Start, typename Show> Result<QString> await(Start start, Show show)
{
    Awaited<T> awaited;
    start(awaited.completion());
    Result<T> result = awaited.wait();
    if (!result)
        return result.error();
    if constexpr (std::is_void_v<T>)
        return show();
    else
        return show(result.value());
}

// Arguments: album "album-1", asset "asset-1", asset lists ["a","b"], key "key-1".
inline Result<QString> runOperation(const ImmichClient& c, const QString& op)
{
    const QString album = QStringLiteral("album-1");
    const QString asset = QStringLiteral("asset-1");
    const QStringList ids{QStringLiteral("a"), QStringLiteral("b")};
    const auto ok = [] { return QStringLiteral("ok"); };
    const auto text = [](const QString& s) { return s; };
    const auto assets = [](const QList<ImmichAsset>& l) {
        return QStringLiteral("assets:") + joinIds(l);
    };

    if (op == u"searchAssets")
        return await<QList<ImmichAsset>>([&](auto done) { c.searchAssets(done); }, assets);
    if (op == u"searchAlbumAssets")
        return await<QList<ImmichAsset>>([&](auto done) { c.searchAlbumAssets(album, done); },
                                         assets);
    if (op == u"listAlbums" || op == u"listSharedAlbums")
        return await<QList<ImmichAlbum>>(
            [&](auto done) { c.listAlbums(op == u"listSharedAlbums", done); },
            [](const QList<ImmichAlbum>& l) {
                QStringList ids;
                for (const ImmichAlbum& a : l)
                    ids.append(a.id);
                return QStringLiteral("albums:") + ids.join(u',');
            });
    if (op == u"getAlbum")
        return await<ImmichAlbumDetail>([&](auto done) { c.getAlbum(album, done); },
                                        [](const ImmichAlbumDetail& d) {
                                            return QStringLiteral("album:") + d.id + u'/' +
                                                   joinIds(d.assets);
                                        });
    if (op == u"getAlbumMeta")
        return await<AlbumMeta>([&](auto done) { c.getAlbumMeta(album, done); },
                                [](const AlbumMeta& m) { return QStringLiteral("meta:") + m.id; });
    if (op == u"fetchCurrentUserId")
        return await<QString>([&](auto done) { c.fetchCurrentUserId(done); }, text);
    if (op == u"fetchCurrentUser")
        return await<CurrentUser>(
            [&](auto done) { c.fetchCurrentUser(done); },
            [](const CurrentUser& u) { return QStringLiteral("user:") + u.id + u',' + u.email; });
    if (op == u"getAsset")
        return await<ImmichAsset>(
            [&](auto done) { c.getAsset(asset, done); },
            [](const ImmichAsset& a) { return QStringLiteral("asset:") + a.id; });
    if (op == u"downloadOriginal")
        return await<QString>([&](auto done) { c.downloadOriginal(asset, done); }, text);
    if (op == u"fetchThumbnail")
        return await<QByteArray>(
            [&](auto done) { c.fetchThumbnail(asset, done); },
            [](const QByteArray& b) { return QStringLiteral("bytes:") + QString::fromLatin1(b); });
    if (op == u"createAlbum")
        return await<QString>([&](auto done) { c.createAlbum(QStringLiteral("Vacances"), done); },
                              text);
    if (op == u"renameAlbum")
        return await<void>([&](auto done) { c.renameAlbum(album, QStringLiteral("Été"), done); },
                           ok);
    if (op == u"deleteAlbum")
        return await<void>([&](auto done) { c.deleteAlbum(album, done); }, ok);
    if (op == u"addAssetsToAlbum")
        return await<void>([&](auto done) { c.addAssetsToAlbum(album, ids, done); }, ok);
    if (op == u"removeAssetsFromAlbum")
        return await<void>([&](auto done) { c.removeAssetsFromAlbum(album, ids, done); }, ok);
    if (op == u"removeAssetFromAlbum")
        return await<bool>(
            [&](auto done) { c.removeAssetFromAlbum(album, QStringLiteral("a"), done); },
            [](bool b) { return QString::fromLatin1(b ? "true" : "false"); });
    if (op == u"trashAssets")
        return await<void>([&](auto done) { c.trashAssets(ids, done); }, ok);
    if (op == u"restoreAssets")
        return await<void>([&](auto done) { c.restoreAssets(ids, done); }, ok);
    if (op == u"fetchStatistics")
        return await<ImmichAssetStatistics>(
            [&](auto done) { c.fetchStatistics(done); },
            [](const ImmichAssetStatistics& s) {
                return QStringLiteral("stats:%1,%2,%3").arg(s.images).arg(s.videos).arg(s.total);
            });
    if (op == u"deleteApiKey")
        return await<void>([&](auto done) { c.deleteApiKey(QStringLiteral("key-1"), done); }, ok);
    if (op == u"login")
        return await<LoginResult>(
            [&](auto done) {
                ImmichClient::login(c.baseURL(), QStringLiteral("ana@example.org"),
                                    QStringLiteral("pw \"1\""), done);
            },
            [](const LoginResult& r) {
                return QStringLiteral("login:") + r.accessToken + u',' + r.email + u',' + r.userId +
                       u',' + r.name;
            });
    if (op == u"createApiKey")
        return await<CreatedApiKey>(
            [&](auto done) {
                ImmichClient::createApiKey(c.baseURL(), QStringLiteral("token-1"),
                                           QStringLiteral("Pixavella (host)"), done);
            },
            [](const CreatedApiKey& k) { return QStringLiteral("key:") + k.secret + u',' + k.id; });
    qFatal("unknown operation %s", qPrintable(op));
}

} // namespace pixavella::testing
