#include "SharedSettings.h"

#include "SettingsSuite.h"
#include "Signals.h"

#include <QTimeZone>
#include <QUrl>

#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>

namespace pixavella::SharedSettings {

namespace {

SettingsSuite& suite()
{
    return SettingsSuite::shared();
}

// A stored text, or absent when the key is missing or holds another type.
std::optional<QString> storedText(const char* key)
{
    const QVariant value = suite().value(QLatin1String(key));
    if (value.metaType().id() != QMetaType::QString)
        return std::nullopt;
    return value.toString();
}

std::optional<QUrl> parsedServerURL(const QString& text)
{
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.isRelative() || url.host().isEmpty())
        return std::nullopt;
    return url;
}

struct Configuration {
    QUrl server;
    QString key;
};

// Both values read once, so the key cannot vanish between the check and the client.
std::optional<Configuration> readConfiguration()
{
    const std::optional<QString> key = apiKey();
    if (!key || key->isEmpty())
        return std::nullopt;
    const std::optional<QUrl> url = parsedServerURL(serverURL());
    if (!url)
        return std::nullopt;
    return Configuration{*url, *key};
}

// The drive builds a client for every file dropped, and reading the key is a round trip to the
// Secret Service: the server and key are kept until either is changed, here or in the other
// process, or for a minute at most should a signal be lost. The other process's change is seen
// by the time of its signal file, checked on every read: waiting for the watcher to hear of it
// would leave a window in which a signed-out drive still lists and uploads with the old key.
class ConfigurationCache {
public:
    static ConfigurationCache& instance()
    {
        static ConfigurationCache cache;
        return cache;
    }

    std::optional<Configuration> get()
    {
        // Stamped before the read, so that a change made during it shows as a new stamp.
        const std::optional<std::chrono::nanoseconds> stamp =
            Signals::lastPosted(QLatin1String(SignalName::accountChanged));
        std::unique_lock lock(m_mutex);
        const auto now = std::chrono::steady_clock::now();
        if (m_read && stamp == m_stamp && now - m_readAt < kLongest &&
            m_generation == m_readGeneration)
            return m_value;
        const quint64 generation = m_generation;
        lock.unlock();
        std::optional<Configuration> value = readConfiguration();
        lock.lock();
        // A post within the file system clock's grain of this read may carry the same stamp as
        // one made before it: such a read is not kept, and the next one looks again.
        const bool settled = !stamp || std::chrono::abs(wallClock() - *stamp) >= kClockGrain;
        if (generation == m_generation && settled) {
            m_value = value;
            m_read = true;
            m_readAt = now;
            m_stamp = stamp;
            m_readGeneration = generation;
        }
        return value;
    }

    void invalidate()
    {
        std::lock_guard lock(m_mutex);
        ++m_generation;
    }

private:
    static constexpr std::chrono::minutes kLongest{1};
    // File times come from the kernel's coarse clock, which ticks at least every 10 ms.
    static constexpr std::chrono::milliseconds kClockGrain{50};

    static std::chrono::nanoseconds wallClock()
    {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::system_clock::now().time_since_epoch());
    }

    std::mutex m_mutex; // guards every field
    std::optional<Configuration> m_value;
    bool m_read = false;
    std::chrono::steady_clock::time_point m_readAt;
    std::optional<std::chrono::nanoseconds> m_stamp;
    quint64 m_generation = 0;
    quint64 m_readGeneration = 0;
};

std::optional<Configuration> configuration()
{
    return ConfigurationCache::instance().get();
}

// The server or the key changed: this process reads them again at once, the other one once
// the signal reaches it.
void accountChanged()
{
    ConfigurationCache::instance().invalidate();
    Signals::post(QLatin1String(SignalName::accountChanged));
}

} // namespace

QString serverURL()
{
    return storedText(Key::serverURL).value_or(QStringLiteral(PIXAVELLA_DEFAULT_SERVER_URL));
}

void setServerURL(const QString& url)
{
    suite().setValue(QLatin1String(Key::serverURL), url);
    accountChanged();
}

QString userEmail()
{
    return storedText(Key::userEmail).value_or(QString());
}

void setUserEmail(const QString& email)
{
    suite().setValue(QLatin1String(Key::userEmail), email);
}

std::optional<QString> apiKeyId()
{
    std::optional<QString> id = storedText(Key::apiKeyId);
    if (id && id->isEmpty())
        return std::nullopt;
    return id;
}

void setApiKeyId(const std::optional<QString>& id)
{
    if (id)
        suite().setValue(QLatin1String(Key::apiKeyId), *id);
    else
        suite().remove(QLatin1String(Key::apiKeyId));
}

QString namesServiceURL()
{
    // Empty text would point the names store nowhere: it falls back like a missing value.
    const std::optional<QString> stored = storedText(Key::namesServiceURL);
    if (stored && !stored->isEmpty())
        return *stored;
    return defaultNamesServiceURL();
}

void setNamesServiceURL(const QString& url)
{
    suite().setValue(QLatin1String(Key::namesServiceURL), url);
}

QString defaultNamesServiceURL()
{
    QString base = serverURL();
    if (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    return base + QLatin1String(kNamesServicePath);
}

std::optional<QDateTime> lastRefresh()
{
    const QVariant value = suite().value(QLatin1String(Key::lastRefresh));
    double seconds = 0;
    switch (value.metaType().id()) {
    case QMetaType::Double:
    case QMetaType::LongLong:
    case QMetaType::Int:
        seconds = value.toDouble();
        break;
    default:
        return std::nullopt;
    }
    // The upper bound keeps the millisecond count far inside 64 bits (year 292277026596 and
    // beyond would overflow); no real refresh lies there.
    if (!std::isfinite(seconds) || seconds <= 0 || seconds > 1e15)
        return std::nullopt;
    return QDateTime::fromMSecsSinceEpoch(std::llround(seconds * 1000.0), QTimeZone::utc());
}

void setLastRefresh(const std::optional<QDateTime>& when)
{
    if (when && when->isValid())
        suite().setValue(QLatin1String(Key::lastRefresh), when->toMSecsSinceEpoch() / 1000.0);
    else
        suite().setValue(QLatin1String(Key::lastRefresh), qint64(0));
}

bool skipQuitConfirmation()
{
    const QVariant value = suite().value(QLatin1String(Key::skipQuitConfirmation));
    return value.metaType().id() == QMetaType::Bool && value.toBool();
}

void setSkipQuitConfirmation(bool skip)
{
    suite().setValue(QLatin1String(Key::skipQuitConfirmation), skip);
}

std::optional<QString> apiKey()
{
    return SecretStore::readSecret(QLatin1String(kApiKeyAccount));
}

void setApiKey(const QString& key)
{
    if (key.isEmpty())
        SecretStore::deleteSecret(QLatin1String(kApiKeyAccount));
    else
        SecretStore::writeSecret(QLatin1String(kApiKeyAccount), key);
    accountChanged();
}

bool isConfigured()
{
    return configuration().has_value();
}

std::optional<ImmichClient> makeClient()
{
    std::optional<Configuration> values = configuration();
    if (!values)
        return std::nullopt;
    return ImmichClient(std::move(values->server), std::move(values->key));
}

} // namespace pixavella::SharedSettings
