#include "AddressLimiter.h"

#include <cstring>
#include <netinet/in.h>

namespace pixavella::names {

AddressLimiter::AddressLimiter(int total, int perAddress) : m_total(total), m_perAddress(perAddress)
{
}

AddressLimiter::Slot::~Slot()
{
    m_limiter.release(m_key);
}

std::string AddressLimiter::key(const sockaddr_storage& peer)
{
    if (peer.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(peer);
        return std::string(reinterpret_cast<const char*>(&v4.sin_addr), sizeof v4.sin_addr);
    }
    if (peer.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(peer);
        const auto* bytes = reinterpret_cast<const char*>(&v6.sin6_addr);
        if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr))
            return std::string(bytes + 12, 4);
        return std::string(bytes, 8); // never equal to an IPv4 key, which has 4 bytes
    }
    return {};
}

AddressLimiter::Admission AddressLimiter::admit(const sockaddr_storage& peer)
{
    std::string counted = key(peer);
    const std::lock_guard lock(m_mutex);
    if (m_open >= m_total)
        return {nullptr, Refusal::Total};
    int& fromThere = m_perKey[counted];
    if (m_perAddress > 0 && fromThere >= m_perAddress)
        return {nullptr, Refusal::PerAddress};
    ++fromThere;
    ++m_open;
    return {std::unique_ptr<Slot>(new Slot(*this, std::move(counted))), Refusal::None};
}

void AddressLimiter::release(const std::string& key)
{
    const std::lock_guard lock(m_mutex);
    --m_open;
    const auto it = m_perKey.find(key);
    if (it != m_perKey.end() && --it->second <= 0)
        m_perKey.erase(it);
}

} // namespace pixavella::names
