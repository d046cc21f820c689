#pragma once

// Blocking HTTP calls to the double for its own tests.

#include <QByteArray>
#include <QJsonDocument>
#include <QList>
#include <QPair>
#include <QString>

#include <httplib.h>

namespace immichdouble::testing {

struct Answer {
    int status = -1; // -1: no answer (connection failed or closed)
    QByteArray contentType;
    QByteArray body;
    httplib::Headers headers;

    QJsonDocument json() const { return QJsonDocument::fromJson(body); }
    QByteArray header(const char* name) const
    {
        const auto it = headers.find(name);
        return it == headers.end() ? QByteArray() : QByteArray::fromStdString(it->second);
    }
};

class DoubleHttp {
public:
    explicit DoubleHttp(quint16 port, QByteArray apiKey = "demo-api-key")
        : m_port(port), m_apiKey(std::move(apiKey))
    {
    }

    void setApiKey(const QByteArray& apiKey) { m_apiKey = apiKey; }

    Answer send(const QByteArray& method, const QString& path, const QByteArray& body = {},
                const QByteArray& contentType = "application/json",
                const QList<QPair<QByteArray, QByteArray>>& headers = {}) const
    {
        httplib::Client client("127.0.0.1", m_port);
        client.set_read_timeout(30);
        httplib::Request request;
        request.method = method.toStdString();
        request.path = path.toStdString();
        if (!m_apiKey.isEmpty())
            request.set_header("x-api-key", m_apiKey.toStdString());
        for (const auto& [name, value] : headers)
            request.set_header(name.toStdString(), value.toStdString());
        if (!body.isNull()) {
            request.body = body.toStdString();
            request.set_header("Content-Type", contentType.toStdString());
        }
        Answer answer;
        const auto result = client.send(request);
        if (!result)
            return answer;
        answer.status = result->status;
        answer.contentType = QByteArray::fromStdString(result->get_header_value("Content-Type"));
        answer.body = QByteArray::fromStdString(result->body);
        answer.headers = result->headers;
        return answer;
    }

    Answer json(const QByteArray& method, const QString& path, const QJsonDocument& body) const
    {
        return send(method, path, body.toJson(QJsonDocument::Compact));
    }
    Answer get(const QString& path) const { return send("GET", path); }

private:
    quint16 m_port;
    QByteArray m_apiKey;
};

} // namespace immichdouble::testing
