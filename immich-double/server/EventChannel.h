#pragma once

#include "ApiMessage.h"
#include "EventSession.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

namespace immichdouble {

// The server's event channel: socket.io over WebSocket only, at /api/socket.io/ on the API's
// port. A connection joins the room of the user its handshake authenticates; events go to every
// connection in a user's room. Thread-safe.
class EventChannel {
public:
    // How the channel's path answers, so that clients can be tried against other servers and
    // proxies.
    enum class Mode {
        Open,       // upgrades to WebSocket, like the v3 server
        NotFound,   // 404: an older server, or a proxy that does not pass the path on
        BadRequest, // 400: a proxy that drops the upgrade, so the server sees a plain GET
        PlainOk,    // 200 with a web page: a proxy that answers the path itself
    };
    static std::optional<Mode> modeNamed(const QString& name); // "open", "404", "400", "200"
    static QString modeName(Mode mode);

    static bool isChannelPath(const QString& path);
    static bool isChannelRequestLine(std::string_view line);
    static bool isUpgrade(const ApiRequest& request);

    EventChannel(EventSession::Settings settings, EventSession::Authenticate authenticate);
    ~EventChannel(); // drops every connection and waits for their threads

    Mode mode() const { return m_mode; }
    void setMode(Mode mode) { m_mode = mode; }
    bool emitting() const { return m_emitting; }
    void setEmitting(bool on) { m_emitting = on; }
    const EventSession::Settings& settings() const { return m_settings; }

    // Takes over a connection whose first request (`headLength` bytes, not read yet) is an
    // upgrade at the channel path while the channel is open; false leaves it to HTTP.
    bool takeOver(int socket, qsizetype headLength, const ApiRequest& request);
    // The answer to a request at the channel path that HTTP serves: one without upgrade, or
    // any while the channel is not open.
    ApiResponse httpAnswer(const ApiRequest& request) const;

    // 42["event",arguments] to every connection of `user`; `arguments` is one or more JSON
    // values separated by commas. Nothing while emitting is off.
    void emitTo(int user, const char* event, const QByteArray& arguments);
    void dropAll();
    int connections(int user = -1) const; // in a user's room; -1: every user

private:
    struct Running {
        std::shared_ptr<EventSession> session;
        std::thread thread;
    };
    void reapFinished(); // with m_mutex held

    EventSession::Settings m_settings;
    EventSession::Authenticate m_authenticate;
    std::atomic<Mode> m_mode{Mode::Open};
    std::atomic<bool> m_emitting{true};
    mutable std::mutex m_mutex; // guards m_running
    std::vector<Running> m_running;
};

} // namespace immichdouble
