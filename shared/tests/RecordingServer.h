#pragma once

// An HTTP server on 127.0.0.1 for client tests: records every request and answers with
// whatever the test scripts, including answers a real server would not give.

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QMutex>
#include <QUrl>

#include <httplib.h>

#include <functional>
#include <thread>

namespace pixavella::testing {

class RecordingServer {
public:
    struct Request {
        QByteArray method;
        QByteArray target;                    // as sent: path and query, still percent-encoded
        QByteArray path;                      // decoded
        QMap<QByteArray, QByteArray> headers; // lower-case names
        QByteArray body;
    };
    struct Answer {
        int status = 200;
        QByteArray body;
        QByteArray contentType = "application/json";
    };
    using Script = std::function<Answer(const Request&)>;

    RecordingServer()
    {
        const auto handler = [this](const httplib::Request& req, httplib::Response& res) {
            Request r;
            r.method = QByteArray::fromStdString(req.method);
            r.target = QByteArray::fromStdString(req.target);
            r.path = QByteArray::fromStdString(req.path);
            for (const auto& [name, value] : req.headers)
                r.headers.insert(QByteArray::fromStdString(name).toLower(),
                                 QByteArray::fromStdString(value));
            r.body = QByteArray::fromStdString(req.body);
            Script script;
            {
                QMutexLocker lock(&m_mutex);
                m_requests.append(r);
                script = m_script;
            }
            const Answer answer = script ? script(r) : Answer{404, {}, {}};
            res.status = answer.status;
            if (!answer.body.isEmpty())
                res.set_content(answer.body.toStdString(), answer.contentType.toStdString());
        };
        m_server.Get(".*", handler).Post(".*", handler).Put(".*", handler);
        m_server.Patch(".*", handler).Delete(".*", handler);
        // Stopping waits for idle keep-alive connections to time out.
        m_server.set_keep_alive_timeout(1);
        m_port = m_server.bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
    }
    ~RecordingServer()
    {
        m_server.stop();
        m_thread.join();
    }

    QUrl url() const { return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_port)); }
    void setScript(Script script)
    {
        QMutexLocker lock(&m_mutex);
        m_script = std::move(script);
    }
    // One answer for every request.
    void answer(int status, const QByteArray& body = {})
    {
        setScript([status, body](const Request&) { return Answer{status, body}; });
    }
    QList<Request> requests() const
    {
        QMutexLocker lock(&m_mutex);
        return m_requests;
    }
    void clear()
    {
        QMutexLocker lock(&m_mutex);
        m_requests.clear();
    }

private:
    httplib::Server m_server;
    std::thread m_thread;
    int m_port = 0;
    mutable QMutex m_mutex;
    QList<Request> m_requests; // protected by m_mutex
    Script m_script;           // protected by m_mutex
};

} // namespace pixavella::testing
