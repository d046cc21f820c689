#include "ServerStorage.h"

#include "Clock.h"
#include "SharedSettings.h"

namespace pixavella {

std::optional<ServerStorage::Space> ServerStorage::current()
{
    QMutexLocker lock(&m_mutex);
    const QDateTime now = Clock::now();
    if (m_fetching || (m_askedAt.isValid() && m_askedAt.msecsTo(now) < kMaxAgeMs))
        return m_space;
    const std::optional<ImmichClient> client = SharedSettings::makeClient();
    if (!client)
        return m_space;
    m_fetching = true;
    m_askedAt = now;
    lock.unlock();
    client->fetchStorage([this](Result<ImmichServerStorage> storage) {
        QMutexLocker done(&m_mutex);
        m_fetching = false;
        if (storage && storage.value().size > 0)
            m_space = Space{storage.value().size, storage.value().available};
    });
    lock.relock();
    return m_space;
}

} // namespace pixavella
