#pragma once

// Blocking HTTP calls to the double for its own tests.

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>

#include <httplib.h>

namespace immichdouble::testing {

struct Answer {
    int status = -1; // -1: no answer (connection failed or closed)
    QByteArray contentType;
    QByteArray body;

    QJsonDocument json() const { return QJsonDocument::fromJson(body); }
    QString id() const { return json()[QLatin1String("id")].toString(); }
};

class DoubleHttp {
public:
    explicit DoubleHttp(quint16 port, QByteArray apiKey = "demo-api-key")
        : m_port(port), m_apiKey(std::move(apiKey))
    {
    }

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
        const auto result = client.send(request);
        if (!result)
            return {};
        return {result->status, QByteArray::fromStdString(result->get_header_value("Content-Type")),
                QByteArray::fromStdString(result->body)};
    }
    Answer json(const QByteArray& method, const QString& path, const QJsonObject& body) const
    {
        return send(method, path, QJsonDocument(body).toJson(QJsonDocument::Compact));
    }
    Answer get(const QString& path) const { return send("GET", path); }

private:
    quint16 m_port;
    QByteArray m_apiKey;
};

} // namespace immichdouble::testing
