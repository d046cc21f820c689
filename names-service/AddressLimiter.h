#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <sys/socket.h>

namespace pixavella::names {

// Counts the open connections, in all and per client address, and refuses one more past either
// limit. IPv6 clients are counted per /64, since one host commonly holds a whole /64 of
// addresses; IPv4-mapped IPv6 addresses count as their IPv4 address. Thread-safe.
class AddressLimiter {
public:
    // `perAddress` 0: no limit per address.
    AddressLimiter(int total, int perAddress);
    AddressLimiter(const AddressLimiter&) = delete;
    AddressLimiter& operator=(const AddressLimiter&) = delete;

    // Held by a connection for as long as it is open; gives its place back when destroyed.
    class Slot {
    public:
        Slot(const Slot&) = delete;
        Slot& operator=(const Slot&) = delete;
        ~Slot();

    private:
        friend class AddressLimiter;
        Slot(AddressLimiter& limiter, std::string key) : m_limiter(limiter), m_key(std::move(key))
        {
        }
        AddressLimiter& m_limiter;
        const std::string m_key;
    };

    enum class Refusal { None, Total, PerAddress };
    struct Admission {
        std::unique_ptr<Slot> slot; // null when refused
        Refusal refusal = Refusal::None;
    };
    Admission admit(const sockaddr_storage& peer);

    // The bytes `peer` is counted by.
    static std::string key(const sockaddr_storage& peer);

private:
    void release(const std::string& key);

    const int m_total;
    const int m_perAddress;
    std::mutex m_mutex;
    int m_open = 0;
    std::map<std::string, int> m_perKey;
};

} // namespace pixavella::names
