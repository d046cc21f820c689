#pragma once

#include "Deadlines.h"
#include "FileProviderReplicatedExtension.h"
#include "Replica.h"

#include <chrono>
#include <functional>
#include <memory>

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

private:
    std::shared_ptr<FileProviderReplicatedExtension> m_extension;
    Replica& m_replica;
    Deadlines& m_deadlines;
    const std::chrono::milliseconds m_timeout;
};

} // namespace pixavella
