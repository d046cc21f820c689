#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QUrl>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>

namespace pixavella::names {

// Tells who owns an Immich API key by asking Immich (GET api/users/me with that key).
// A key Immich accepted is trusted without asking again for `trustPeriod`, so a key revoked
// at Immich stops working here at most that long afterwards. Refusals and failures are never
// remembered: a key created a moment ago works at once. Keys are held only as SHA-256 digests.
// Thread-safe.
class ApiKeyVerifier {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using TimeSource = std::function<TimePoint()>;

    static constexpr std::chrono::seconds trustPeriod{60};
    static constexpr qsizetype defaultCapacity = 4096;
    // Longer keys are refused without asking Immich.
    static constexpr std::size_t maxKeyLength = 1024;

    struct Verdict {
        enum class Kind { Trusted, Rejected, Unavailable };
        Kind kind = Kind::Unavailable;
        QString userId; // set when Trusted
    };

    // `immichUrl`: the server address without "/api". `now` defaults to the steady clock.
    explicit ApiKeyVerifier(QUrl immichUrl, TimeSource now = {},
                            qsizetype capacity = defaultCapacity);

    Verdict verify(const std::string& apiKey);

private:
    struct Trust {
        QString userId;
        TimePoint expires;
    };

    Verdict askImmich(const std::string& apiKey) const;
    void remember(const QByteArray& digest, const QString& userId, TimePoint now);

    const QUrl m_immichUrl;
    const TimeSource m_now;
    const qsizetype m_capacity;
    std::mutex m_mutex; // guards m_trusted
    QHash<QByteArray, Trust> m_trusted;
};

} // namespace pixavella::names
