#pragma once

#include "FaultInjection.h"
#include "JsonViews.h"
#include "LibraryState.h"
#include "RequestLog.h"
#include "Router.h"
#include "Routes.h"

#include <memory>

namespace httplib {
class Server;
struct Request;
struct Response;
class ContentReader;
} // namespace httplib

namespace immichdouble {

// The HTTP side of the double: /api answers (with the request log and fault injection in
// front of them), the /_double/ control endpoints and the paths handed on to other servers,
// on 127.0.0.1 only.
class DoubleServer {
public:
    DoubleServer(LibraryState& state, Dialect dialect);
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

    LibraryState& m_state;
    FaultInjection m_faults;
    RequestLog m_log;
    ReverseProxy m_proxy;
    DoubleContext m_context;
    Router m_api;
    Router m_control;
    std::unique_ptr<httplib::Server> m_server;
};

} // namespace immichdouble
