#pragma once

#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace pixavella {

// Named, payload-less signals between the processes of one user: post() rewrites
// Signals/<name> in the container; observers watch that folder with inotify. Delivery is
// immediate but may coalesce; observers re-read the store they care about. A name is a plain
// file name: one with '/' or a leading '.' is refused (logged; its subscription never fires).
namespace Signals {

void post(const QString& name);

// When `name` was last posted by any process (wall-clock time, as coarse as the file system's
// clock), or nothing if never. A reader checks its cache against it at once, where an
// observer would hear of the post only some time later.
std::optional<std::chrono::nanoseconds> lastPosted(const QString& name);

// For a signal a batch would post once per file: posted at once when it was not posted for
// `window`, else once more when the window ends, for every post asked within it. Observers
// hear of the last change at most `window` late. A post still waiting is made at exit.
void postCoalesced(const QString& name, std::chrono::milliseconds window);

// Keeps the observation alive; destroying it stops the callbacks (none runs after the
// destructor returns).
class Subscription {
public:
    virtual ~Subscription() = default;
};

// `callback` runs on a private watcher thread; hop to your own thread before touching state.
[[nodiscard]] std::unique_ptr<Subscription> observe(const QString& name,
                                                    std::function<void()> callback);

} // namespace Signals
} // namespace pixavella
