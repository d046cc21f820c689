#include "DateText.h"
#include "Routes.h"

#include <QSet>

#include <algorithm>
#include <variant>

namespace immichdouble {

namespace {

constexpr int kMaxPageSize = 1000;
constexpr int kDefaultPageSize = 250;

QJsonObject sizeTooBig()
{
    return QJsonObject{
        {QStringLiteral("origin"), QStringLiteral("number")},
        {QStringLiteral("code"), QStringLiteral("too_big")},
        {QStringLiteral("maximum"), kMaxPageSize},
        {QStringLiteral("inclusive"), true},
        {QStringLiteral("path"), QJsonArray{QStringLiteral("size")}},
        {QStringLiteral("message"), QStringLiteral("Too big: expected number to be <=1000")},
    };
}

QJsonObject tooSmall(const QString& field)
{
    return QJsonObject{
        {QStringLiteral("origin"), QStringLiteral("number")},
        {QStringLiteral("code"), QStringLiteral("too_small")},
        {QStringLiteral("minimum"), 1},
        {QStringLiteral("inclusive"), true},
        {QStringLiteral("path"), QJsonArray{field}},
        {QStringLiteral("message"), QStringLiteral("Too small: expected number to be >=1")},
    };
}

bool isWholeNumber(const QJsonValue& value)
{
    return value.isDouble() && value.toDouble() == double(qint64(value.toDouble()));
}

struct SearchQuery {
    int page = 1;
    int size = kDefaultPageSize;
    bool descending = true;
    bool withExif = false;
    bool withDeleted = false;
    std::optional<bool> isTrashed;
    std::optional<bool> isFavorite;
    std::optional<Visibility> visibility;
    std::optional<AssetType> type;
    std::optional<QStringList> albumIds;
    std::optional<qint64> updatedAfter, updatedBefore; // updatedAt, inclusive
    std::optional<qint64> trashedAfter, trashedBefore; // trash time, inclusive
    std::optional<qint64> takenAfter, takenBefore;     // fileCreatedAt, inclusive
};

QJsonObject invalid(const QString& field, const QString& text)
{
    return QJsonObject{{QStringLiteral("path"), QJsonArray{field}},
                       {QStringLiteral("message"), text}};
}

// An optional date field: absent and null leave `out` empty.
void readDate(const QJsonObject& body, const char* field, std::optional<qint64>& out,
              QJsonArray& errors)
{
    const QJsonValue value = body.value(QLatin1String(field));
    if (value.isUndefined() || value.isNull())
        return;
    out = value.isString() ? parseIsoDate(value.toString()) : std::nullopt;
    if (!out)
        errors.append(
            invalid(QLatin1String(field), QStringLiteral("Invalid input: expected date")));
}

void readBool(const QJsonObject& body, const char* field, std::optional<bool>& out,
              QJsonArray& errors)
{
    const QJsonValue value = body.value(QLatin1String(field));
    if (value.isUndefined() || value.isNull())
        return;
    if (value.isBool())
        out = value.toBool();
    else
        errors.append(
            invalid(QLatin1String(field), QStringLiteral("Invalid input: expected boolean")));
}

std::variant<SearchQuery, ApiResponse> readQuery(const QJsonObject& body)
{
    SearchQuery query;
    QJsonArray errors;
    const QJsonValue page = body.value(QLatin1String("page"));
    if (!page.isUndefined() && !page.isNull()) {
        if (!isWholeNumber(page))
            errors.append(QJsonObject{
                {QStringLiteral("path"), QJsonArray{QStringLiteral("page")}},
                {QStringLiteral("message"), QStringLiteral("Invalid input: expected int")}});
        else if (page.toDouble() < 1)
            errors.append(tooSmall(QStringLiteral("page")));
        else
            query.page = int(std::min(page.toDouble(), 1e9));
    }
    const QJsonValue size = body.value(QLatin1String("size"));
    if (!size.isUndefined() && !size.isNull()) {
        if (!isWholeNumber(size))
            errors.append(QJsonObject{
                {QStringLiteral("path"), QJsonArray{QStringLiteral("size")}},
                {QStringLiteral("message"), QStringLiteral("Invalid input: expected int")}});
        else if (size.toDouble() > kMaxPageSize)
            errors.append(sizeTooBig());
        else if (size.toDouble() < 1)
            errors.append(tooSmall(QStringLiteral("size")));
        else
            query.size = size.toInt();
    }
    const QString order = body.value(QLatin1String("order")).toString(QStringLiteral("desc"));
    if (order != QLatin1String("asc") && order != QLatin1String("desc"))
        errors.append(
            QJsonObject{{QStringLiteral("path"), QJsonArray{QStringLiteral("order")}},
                        {QStringLiteral("message"),
                         QStringLiteral("Invalid option: expected one of \"asc\"|\"desc\"")}});
    query.descending = order == QLatin1String("desc");
    query.withExif = body.value(QLatin1String("withExif")).toBool();
    query.withDeleted = body.value(QLatin1String("withDeleted")).toBool();
    readBool(body, "isTrashed", query.isTrashed, errors);
    readBool(body, "isFavorite", query.isFavorite, errors);
    readDate(body, "updatedAfter", query.updatedAfter, errors);
    readDate(body, "updatedBefore", query.updatedBefore, errors);
    readDate(body, "trashedAfter", query.trashedAfter, errors);
    readDate(body, "trashedBefore", query.trashedBefore, errors);
    readDate(body, "takenAfter", query.takenAfter, errors);
    readDate(body, "takenBefore", query.takenBefore, errors);
    if (query.trashedAfter || query.trashedBefore)
        query.withDeleted = true;
    if (const QJsonValue value = body.value(QLatin1String("visibility")); value.isString()) {
        query.visibility = visibilityNamed(value.toString());
        if (!query.visibility)
            errors.append(
                invalid(QStringLiteral("visibility"),
                        QStringLiteral("Invalid option: expected one of "
                                       "\"archive\"|\"timeline\"|\"hidden\"|\"locked\"")));
    }
    if (const QJsonValue value = body.value(QLatin1String("type")); value.isString()) {
        if (value.toString() == QLatin1String("IMAGE"))
            query.type = AssetType::Image;
        else if (value.toString() == QLatin1String("VIDEO"))
            query.type = AssetType::Video;
        else
            errors.append(invalid(QStringLiteral("type"),
                                  QStringLiteral("Invalid option: expected one of "
                                                 "\"IMAGE\"|\"VIDEO\"|\"AUDIO\"|\"OTHER\"")));
    }
    if (body.contains(QLatin1String("albumIds"))) {
        query.albumIds = idList(body, QStringLiteral("albumIds"));
        if (!query.albumIds)
            errors.append(uuidListError(QStringLiteral("albumIds")).first());
    }
    if (!errors.isEmpty())
        return ApiResponse::validation(errors);
    return query;
}

ApiResponse searchMetadata(DoubleContext& context, ApiRequest& request)
{
    auto parsed = readQuery(request.jsonObject());
    if (auto* refusal = std::get_if<ApiResponse>(&parsed))
        return *refusal;
    const SearchQuery& query = std::get<SearchQuery>(parsed);
    LibraryState& state = context.state;

    const auto between = [](qint64 value, const std::optional<qint64>& after,
                            const std::optional<qint64>& before) {
        return (!after || value >= *after) && (!before || value <= *before);
    };
    const auto wanted = [&](int index) {
        const Asset& asset = state.asset(index);
        if (query.isTrashed ? asset.trashed != *query.isTrashed
                            : !query.withDeleted && asset.trashed)
            return false;
        if ((query.trashedAfter || query.trashedBefore) &&
            (!asset.trashed || !between(asset.trashedAt, query.trashedAfter, query.trashedBefore)))
            return false;
        // The server's default: the timeline and the archive.
        if (query.visibility ? asset.visibility != *query.visibility
                             : asset.visibility != Visibility::Timeline &&
                                   asset.visibility != Visibility::Archive)
            return false;
        return between(asset.updatedAt, query.updatedAfter, query.updatedBefore) &&
               between(asset.fileCreatedAt, query.takenAfter, query.takenBefore) &&
               (!query.isFavorite || asset.favorite == *query.isFavorite) &&
               (!query.type || asset.type == *query.type);
    };

    std::vector<int> albumAssets;
    if (query.albumIds) {
        QSet<int> seen;
        for (const QString& id : *query.albumIds) {
            const int albumIndex = state.albumIndex(id);
            if (albumIndex < 0 ||
                state.role(state.album(albumIndex), request.user) == AlbumRole::None)
                return ApiResponse::message(400,
                                            QStringLiteral("Not found or no album.read access"));
            for (int index : state.albumAssets(state.album(albumIndex), true)) {
                if (!seen.contains(index)) {
                    seen.insert(index);
                    albumAssets.push_back(index);
                }
            }
        }
        std::stable_sort(albumAssets.begin(), albumAssets.end(), [&](int a, int b) {
            const Asset& x = state.asset(a);
            const Asset& y = state.asset(b);
            return x.fileCreatedAt != y.fileCreatedAt ? x.fileCreatedAt > y.fileCreatedAt
                                                      : x.createdAt > y.createdAt;
        });
    }
    // A change feed asks for what changed since its last listing, a small part of a large
    // library: found from the updates alone, then put in the timeline's order.
    std::vector<int> changed;
    if (!query.albumIds && query.updatedAfter) {
        changed = state.assetsUpdatedSince(*query.updatedAfter);
        std::sort(changed.begin(), changed.end(),
                  [&](int a, int b) { return state.newerFirst(a, b); });
    }
    const std::vector<int>& ordered = query.albumIds       ? albumAssets
                                      : query.updatedAfter ? changed
                                                           : state.assetsNewestFirst();
    const auto included = [&](int index) {
        return wanted(index) && (query.albumIds || state.asset(index).owner == request.user);
    };

    // Only this page's items are written, straight as text: a seeded library is large.
    const qint64 skip = qint64(query.page - 1) * query.size;
    qint64 matched = 0;
    int count = 0;
    bool more = false;
    JsonWriter items;
    items.reserve(qsizetype(query.size) * (query.withExif ? 1400 : 900));
    items.beginArray();
    const AssetView view = query.withExif ? AssetView::SearchItemWithExif : AssetView::SearchItem;
    const auto visit = [&](int index) {
        if (!included(index))
            return true;
        if (matched++ < skip)
            return true;
        if (count == query.size) {
            more = true;
            return false;
        }
        writeAsset(items, state, index, view);
        ++count;
        return true;
    };
    if (query.descending) {
        for (auto it = ordered.begin(); it != ordered.end() && visit(*it); ++it) {
        }
    } else {
        for (auto it = ordered.rbegin(); it != ordered.rend() && visit(*it); ++it) {
        }
    }
    items.endArray();

    JsonWriter out;
    out.reserve(items.bytes().size() + 200);
    out.beginObject();
    out.key("albums").raw(R"({"total":0,"count":0,"items":[],"facets":[]})");
    out.key("assets").beginObject();
    out.key("total").value(count);
    out.key("count").value(count);
    out.key("items").raw(items.bytes());
    out.key("facets").beginArray().endArray();
    if (more)
        out.key("nextPage").latin1(QByteArray::number(query.page + 1));
    else
        out.key("nextPage").null();
    out.endObject();
    out.endObject();

    ApiResponse response;
    response.contentType = "application/json; charset=utf-8";
    response.body = out.bytes();
    return response;
}

} // namespace

QJsonArray uuidListError(const QString& field)
{
    return QJsonArray{QJsonObject{
        {QStringLiteral("path"), QJsonArray{field}},
        {QStringLiteral("message"), QStringLiteral("Invalid input: expected an array of UUIDs")}}};
}

std::optional<QStringList> idList(const QJsonObject& body, const QString& field)
{
    const QJsonValue value = body.value(field);
    if (!value.isArray())
        return std::nullopt;
    QStringList ids;
    for (const QJsonValue& item : value.toArray()) {
        if (!item.isString() || QUuid(item.toString()).isNull())
            return std::nullopt;
        ids.append(item.toString());
    }
    return ids;
}

void addSearchRoutes(Router& router, DoubleContext& context)
{
    router.add("POST", QStringLiteral("/api/search/metadata"), Router::Access::User,
               [&context](ApiRequest& request) { return searchMetadata(context, request); });
}

} // namespace immichdouble
