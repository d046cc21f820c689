#pragma once

#include "DelayedJobs.h"
#include "DoubleOptions.h"
#include "EventChannel.h"
#include "FaultInjection.h"
#include "JsonViews.h"
#include "LibraryState.h"
#include "RequestLog.h"
#include "Router.h"
#include "Routes.h"
#include "Thumbnails.h"

#include <memory>

namespace httplib {
struct Request;
struct Response;
class ContentReader;
} // namespace httplib

namespace immichdouble {

class HttpServer;

// The HTTP side of the double: /api answers (with the request log and fault injection in
// front of them), the event channel on the same port, the /_double/ control endpoints and the
// paths handed on to other servers, on 127.0.0.1 only.
class DoubleServer {
public:
    DoubleServer(LibraryState& state, const DoubleOptions& options);
    ~DoubleServer();

    int bind(int port); // the bound port, or -1
    bool run();         // serves until stop()
    void stop();

    // One request through logging, faults, authentication and routing, without HTTP.
    // Sets *drop when the connection is to be closed without an answer.
    ApiResponse handle(ApiRequest& request, bool* drop);

private:
    void serve(const httplib::Request& request, httplib::Response& response,
               const httplib::ContentReader* reader);
    ApiResponse handleApi(ApiRequest& request, bool* drop);
    std::optional<ApiResponse> authenticate(ApiRequest& request) const;
    bool takeOver(int socket, const std::string& head);

    LibraryState& m_state;
    const DoubleOptions m_options;
    FaultInjection m_faults;
    RequestLog m_log;
    ReverseProxy m_proxy;
    EventChannel m_events;
    Thumbnails m_thumbnails;
    DelayedJobs m_jobs; // after what its jobs use, so that it stops first
    DoubleContext m_context;
    Router m_api;
    Router m_control;
    std::unique_ptr<HttpServer> m_server;
};

} // namespace immichdouble
