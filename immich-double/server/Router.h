#pragma once

#include "ApiMessage.h"

#include <functional>
#include <optional>
#include <vector>

namespace immichdouble {

// Matches "/api/albums/:id/assets"-style patterns, first registered route first.
class Router {
public:
    enum class Access { Public, User };
    using Handler = std::function<ApiResponse(ApiRequest&)>;

    struct Match {
        const Handler* handler = nullptr;
        Access access = Access::Public;
        QStringList args;
    };

    void add(const QByteArray& method, const QString& pattern, Access access, Handler handler);
    // Empty when no route has this path; pathKnown tells a wrong method from an unknown path.
    std::optional<Match> match(const QByteArray& method, const QString& path,
                               bool* pathKnown = nullptr) const;

private:
    struct Route {
        QByteArray method;
        QStringList segments;
        Access access;
        Handler handler;
    };
    std::vector<Route> m_routes;
};

} // namespace immichdouble
