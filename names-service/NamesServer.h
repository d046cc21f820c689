#pragma once

#include "ConnectionLimits.h"
#include "LimitedHttpServer.h"

#include <QString>

#include <optional>

namespace pixavella::names {

class ApiKeyVerifier;
class NameStorage;

// The HTTP face of the service, under `prefix`:
//   GET  <prefix>/names            → 200, JSON object asset id → name of the caller
//   PUT  <prefix>/names/{assetId}  {"name": "…"} → 200
// The caller is the owner of the "x-api-key" header's Immich API key. Every error answer is a
// JSON object {"message": "…"}; a refused request changes nothing.
class NamesServer {
public:
    NamesServer(NameStorage& storage, ApiKeyVerifier& verifier, QString prefix,
                const ConnectionLimits& limits = {});
    NamesServer(const NamesServer&) = delete;
    NamesServer& operator=(const NamesServer&) = delete;

    // Binds and listens; port 0 picks a free port. Returns the bound port.
    std::optional<int> bind(const QString& host, int port);
    // Serves on a pool of threads until stop(); false when serving could not go on.
    bool serve();
    // Safe from any thread.
    void stop();

private:
    void route(const httplib::Request& request, httplib::Response& response);
    void listNames(const httplib::Request& request, httplib::Response& response);
    void putName(const httplib::Request& request, httplib::Response& response,
                 const std::string& assetSegment);
    // The caller's Immich user id, or nullopt with `response` already answered.
    std::optional<QString> authenticate(const httplib::Request& request,
                                        httplib::Response& response);

    NameStorage& m_storage;
    ApiKeyVerifier& m_verifier;
    const std::string m_namesPath; // prefix + "/names"
    LimitedHttpServer m_server;
};

} // namespace pixavella::names
