#pragma once

#include "FaultInjection.h"
#include "JsonViews.h"
#include "LibraryState.h"
#include "RequestLog.h"
#include "ReverseProxy.h"
#include "Router.h"

namespace immichdouble {

// What the route handlers work on. Handlers run with state.mutex held.
struct DoubleContext {
    LibraryState& state;
    FaultInjection& faults;
    RequestLog& log;
    ReverseProxy& proxy;
    Dialect dialect = Dialect::V3;
};

void addAuthRoutes(Router& router, DoubleContext& context);
void addAssetRoutes(Router& router, DoubleContext& context);
void addAlbumRoutes(Router& router, DoubleContext& context);
void addSearchRoutes(Router& router, DoubleContext& context);
// The /_double/ endpoints for tests.
void addControlRoutes(Router& router, DoubleContext& context);

// Helpers shared by the route files.
QJsonArray uuidListError(const QString& field);
// The "ids" of a request body when it is an array of UUID texts.
std::optional<QStringList> idList(const QJsonObject& body, const QString& field);

} // namespace immichdouble
