#include "HttpRequest.h"

namespace pixavella {

namespace {

bool sameName(const QByteArray& a, const QByteArray& b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

QByteArray findHeader(const QList<QPair<QByteArray, QByteArray>>& headers, const QByteArray& name)
{
    for (const auto& [key, value] : headers) {
        if (sameName(key, name))
            return value;
    }
    return {};
}

} // namespace

void HttpRequest::setHeader(const QByteArray& name, const QByteArray& value)
{
    headers.removeIf([&](const auto& h) { return sameName(h.first, name); });
    headers.append({name, value});
}

QByteArray HttpRequest::header(const QByteArray& name) const
{
    return findHeader(headers, name);
}

QByteArray HttpReply::header(const QByteArray& name) const
{
    return findHeader(headers, name);
}

} // namespace pixavella
