#include "ApiKeyVerifier.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>

#include <httplib.h>

Q_LOGGING_CATEGORY(lcNamesAuth, "pixavella.names.auth")

namespace pixavella::names {

namespace {

std::string origin(const QUrl& url)
{
    const QString host = url.host().contains(u':') ? u'[' + url.host() + u']' : url.host();
    const int port = url.port(url.scheme() == QLatin1String("https") ? 443 : 80);
    return QStringLiteral("%1://%2:%3").arg(url.scheme(), host).arg(port).toStdString();
}

} // namespace

ApiKeyVerifier::ApiKeyVerifier(QUrl immichUrl, TimeSource now, qsizetype capacity)
    : m_immichUrl(std::move(immichUrl)),
      m_now(now ? std::move(now) : TimeSource([] { return std::chrono::steady_clock::now(); })),
      m_capacity(std::max<qsizetype>(capacity, 1))
{
}

ApiKeyVerifier::Verdict ApiKeyVerifier::verify(const std::string& apiKey)
{
    if (apiKey.empty() || apiKey.size() > maxKeyLength)
        return {Verdict::Kind::Rejected, {}};

    const QByteArray digest = QCryptographicHash::hash(
        QByteArrayView(apiKey.data(), qsizetype(apiKey.size())), QCryptographicHash::Sha256);
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_trusted.constFind(digest);
        if (it != m_trusted.constEnd()) {
            if (m_now() < it->expires)
                return {Verdict::Kind::Trusted, it->userId};
            m_trusted.erase(it);
        }
    }

    // Asked without the lock: a slow Immich must not hold up keys that are already trusted.
    Verdict verdict = askImmich(apiKey);
    if (verdict.kind == Verdict::Kind::Trusted) {
        std::lock_guard lock(m_mutex);
        remember(digest, verdict.userId, m_now());
    }
    return verdict;
}

void ApiKeyVerifier::remember(const QByteArray& digest, const QString& userId, TimePoint now)
{
    if (m_trusted.size() >= m_capacity && !m_trusted.contains(digest)) {
        m_trusted.removeIf([now](const auto& entry) { return entry.value().expires <= now; });
        if (m_trusted.size() >= m_capacity) {
            auto oldest = m_trusted.begin();
            for (auto it = m_trusted.begin(); it != m_trusted.end(); ++it) {
                if (it->expires < oldest->expires)
                    oldest = it;
            }
            m_trusted.erase(oldest);
        }
    }
    m_trusted.insert(digest, Trust{userId, now + trustPeriod});
}

ApiKeyVerifier::Verdict ApiKeyVerifier::askImmich(const std::string& apiKey) const
{
    httplib::Client client(origin(m_immichUrl));
    client.set_connection_timeout(std::chrono::seconds(5));
    client.set_read_timeout(std::chrono::seconds(15));
    client.set_write_timeout(std::chrono::seconds(15));

    QString path = m_immichUrl.path(QUrl::FullyEncoded);
    while (path.endsWith(u'/'))
        path.chop(1);
    path += QStringLiteral("/api/users/me");

    const httplib::Headers headers{{"x-api-key", apiKey}, {"Accept", "application/json"}};
    const httplib::Result result = client.Get(path.toStdString(), headers);
    if (!result) {
        qCWarning(lcNamesAuth).noquote()
            << "Immich could not be asked about a key:"
            << QString::fromStdString(httplib::to_string(result.error()));
        return {Verdict::Kind::Unavailable, {}};
    }
    if (result->status == 401 || result->status == 403)
        return {Verdict::Kind::Rejected, {}};
    if (result->status != 200) {
        qCWarning(lcNamesAuth) << "Immich answered the key check with status" << result->status;
        return {Verdict::Kind::Unavailable, {}};
    }
    const QJsonDocument body = QJsonDocument::fromJson(QByteArray::fromStdString(result->body));
    const QString userId = body.object().value(QLatin1String("id")).toString();
    if (userId.isEmpty()) {
        qCWarning(lcNamesAuth) << "Immich answered the key check without a user id";
        return {Verdict::Kind::Unavailable, {}};
    }
    return {Verdict::Kind::Trusted, userId};
}

} // namespace pixavella::names
