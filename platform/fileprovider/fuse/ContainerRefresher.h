#pragma once

#include "Deadlines.h"
#include "FileProviderReplicatedExtension.h"
#include "Replica.h"

#include <chrono>
#include <functional>
#include <memory>
#include <shared_mutex>

namespace pixavella {

// Brings one container of the replica up to date through the extension: changes since its
// sync anchor, or a full listing (every page) when it has no anchor yet or the anchor expired.
// Each refresh ends with exactly one call of its completion, at the latest when `timeout`
// passes; whatever the extension reports after that is ignored.
class ContainerRefresher {
public:
    using Completion = std::function<void(Result<void>, ReplicaDelta)>;

    ContainerRefresher(std::shared_ptr<FileProviderReplicatedExtension> extension, Replica& replica,
                       Deadlines& deadlines, std::chrono::milliseconds timeout);

    void refresh(const FileProviderItemIdentifier& container, Completion completion);
    // Waits for a result being applied, then keeps every refresh still in flight away from the
    // replica and the deadlines: the extension may answer after its host is gone.
    void stop();

    // Whether the replica may still be touched; held shared while a result is applied.
    struct Lifetime {
        std::shared_mutex mutex;
        bool alive = true; // guarded by mutex
    };

private:
    std::shared_ptr<Lifetime> m_lifetime = std::make_shared<Lifetime>();
    std::shared_ptr<FileProviderReplicatedExtension> m_extension;
    Replica& m_replica;
    Deadlines& m_deadlines;
    const std::chrono::milliseconds m_timeout;
};

} // namespace pixavella
