#include "Router.h"

namespace immichdouble {

namespace {

QStringList splitPath(const QString& path)
{
    return path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
}

} // namespace

void Router::add(const QByteArray& method, const QString& pattern, Access access, Handler handler)
{
    m_routes.push_back(Route{method, splitPath(pattern), access, std::move(handler)});
}

std::optional<Router::Match> Router::match(const QByteArray& method, const QString& path,
                                           bool* pathKnown) const
{
    const QStringList segments = splitPath(path);
    if (pathKnown)
        *pathKnown = false;
    for (const Route& route : m_routes) {
        if (route.segments.size() != segments.size())
            continue;
        QStringList args;
        bool same = true;
        for (qsizetype i = 0; i < segments.size() && same; ++i) {
            if (route.segments[i].startsWith(QLatin1Char(':')))
                args.append(segments[i]);
            else
                same = route.segments[i] == segments[i];
        }
        if (!same)
            continue;
        if (pathKnown)
            *pathKnown = true;
        if (route.method == method)
            return Match{&route.handler, route.access, args};
    }
    return std::nullopt;
}

} // namespace immichdouble
