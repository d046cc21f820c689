#pragma once

#include "DelayedJobs.h"
#include "DoubleOptions.h"
#include "EventChannel.h"
#include "FaultInjection.h"
#include "JsonViews.h"
#include "LibraryState.h"
#include "RequestLog.h"
#include "ReverseProxy.h"
#include "Router.h"
#include "Thumbnails.h"

namespace immichdouble {

// What the route handlers work on. Handlers and delayed jobs run with state.mutex held.
struct DoubleContext {
    LibraryState& state;
    FaultInjection& faults;
    RequestLog& log;
    ReverseProxy& proxy;
    EventChannel& events;
    DelayedJobs& jobs;
    Thumbnails& thumbnails;
    const DoubleOptions& options;
    Dialect dialect = Dialect::V3;
};

void addAuthRoutes(Router& router, DoubleContext& context);
void addServerRoutes(Router& router, DoubleContext& context);
void addAssetRoutes(Router& router, DoubleContext& context);
void addAlbumRoutes(Router& router, DoubleContext& context);
void addSearchRoutes(Router& router, DoubleContext& context);
// The /_double/ endpoints for tests.
void addControlRoutes(Router& router, DoubleContext& context);

// The events the server sends its clients when assets change (AssetEvents.cpp). An upload's
// come once its thumbnail job has run, to the owner only.
void announceUpload(DoubleContext& context, int index);
void announceTrash(DoubleContext& context, int user, const QStringList& ids);
void announceRestore(DoubleContext& context, int user, const QStringList& ids);
void announceDelete(DoubleContext& context, int user, const QString& id);
void announceHidden(DoubleContext& context, int user, const QString& id);
void announceUpdate(DoubleContext& context, int index); // after a sidecar write

// Helpers shared by the route files.
QJsonArray uuidListError(const QString& field);
// The "ids" of a request body when it is an array of UUID texts.
std::optional<QStringList> idList(const QJsonObject& body, const QString& field);

} // namespace immichdouble
