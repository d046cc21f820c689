#include "RequestLog.h"

#include <QStringDecoder>

namespace immichdouble {

namespace {

std::optional<QString> utf8Text(const QByteArray& bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

} // namespace

void RequestLog::record(const ApiRequest& request)
{
    QJsonObject headers;
    for (auto it = request.headers.constBegin(); it != request.headers.constEnd(); ++it)
        headers.insert(QString::fromLatin1(it.key()), QString::fromUtf8(it.value()));
    QJsonObject entry{
        {QStringLiteral("method"), QString::fromLatin1(request.method)},
        {QStringLiteral("path"), request.path},
        {QStringLiteral("query"), QString::fromUtf8(request.rawQuery)},
        {QStringLiteral("headers"), headers},
        {QStringLiteral("bodySize"), qint64(request.body.size())},
    };
    if (request.body.size() < kMaxLoggedBody) {
        if (const auto text = utf8Text(request.body))
            entry.insert(QStringLiteral("body"), *text);
    }
    std::lock_guard lock(m_mutex);
    m_entries.append(entry);
}

QJsonArray RequestLog::entries() const
{
    std::lock_guard lock(m_mutex);
    return m_entries;
}

void RequestLog::answered(const QByteArray& method, const QString& path, qint64 bytes)
{
    std::lock_guard lock(m_mutex);
    m_answers.push_back({method, path, bytes});
}

QJsonObject RequestLog::traffic(const QByteArray& method, const QString& pathPrefix) const
{
    qint64 requests = 0;
    qint64 bytes = 0;
    std::lock_guard lock(m_mutex);
    for (const Answer& answer : m_answers) {
        if ((method.isEmpty() || answer.method == method) && answer.path.startsWith(pathPrefix)) {
            ++requests;
            bytes += answer.bytes;
        }
    }
    return {{QStringLiteral("requests"), requests}, {QStringLiteral("answerBytes"), bytes}};
}

void RequestLog::clear()
{
    std::lock_guard lock(m_mutex);
    m_entries = QJsonArray();
    m_answers.clear();
}

} // namespace immichdouble
