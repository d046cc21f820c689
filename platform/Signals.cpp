#include "Signals.h"

#include "ContainerPaths.h"
#include "Log.h"

#include <QFile>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <optional>
#include <utility>
#include <cerrno>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pixavella::Signals {

namespace {

// A signal is a file of the Signals folder: its name must stay inside it, and names starting
// with a dot are kept for files that are not signals.
bool isValidName(const QString& name)
{
    return !name.isEmpty() && !name.startsWith(QLatin1Char('.')) &&
           !name.contains(QLatin1Char('/')) && !name.contains(QChar(0)) &&
           QFile::encodeName(name).size() <= NAME_MAX;
}

struct Entry {
    std::function<void()> callback;
    // Held while the callback runs; the subscription takes it to wait for a running call.
    std::mutex running;
    std::atomic<bool> active{true};
};

// The entry whose callback the watcher thread is running, so that a subscription destroyed
// from inside its own callback does not wait for itself.
thread_local Entry* currentEntry = nullptr;

// One inotify watcher per process, created at the first observe() and kept until the process
// exits: subscriptions may outlive any object that could own it.
class Watcher {
public:
    static Watcher& instance()
    {
        static Watcher* watcher = new Watcher;
        return *watcher;
    }

    void add(const QByteArray& name, const std::shared_ptr<Entry>& entry)
    {
        std::lock_guard lock(m_mutex);
        m_entries[name].insert(entry);
    }

    void remove(const QByteArray& name, const std::shared_ptr<Entry>& entry)
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_entries.find(name);
        if (it == m_entries.end())
            return;
        it->second.erase(entry);
        if (it->second.empty())
            m_entries.erase(it);
    }

private:
    Watcher()
    {
        m_directory = QFile::encodeName(ContainerPaths::signalsDirectory());
        m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (m_fd < 0) {
            qCWarning(lcSignals).noquote()
                << PIXAVELLA_LOG_PREFIX "no inotify, signals will not be observed -"
                << qt_error_string(errno);
            return;
        }
        // Watched before observe() returns, so that a post made right after it is seen.
        addWatch();
        std::thread([this] { run(); }).detach();
    }

    void addWatch()
    {
        if (::inotify_add_watch(m_fd, m_directory.constData(),
                                IN_MOVED_TO | IN_CLOSE_WRITE | IN_ONLYDIR) < 0)
            qCWarning(lcSignals).noquote()
                << PIXAVELLA_LOG_PREFIX "cannot watch" << QFile::decodeName(m_directory) << "-"
                << qt_error_string(errno);
    }

    void run()
    {
        alignas(inotify_event) char buffer[16 * 1024];
        for (;;) {
            pollfd pfd{m_fd, POLLIN, 0};
            if (::poll(&pfd, 1, -1) < 0 && errno != EINTR)
                return;
            const ssize_t length = ::read(m_fd, buffer, sizeof buffer);
            if (length <= 0)
                continue;
            // Names are collected first: several events for one name in one read coalesce.
            std::set<QByteArray> names;
            bool rewatch = false;
            bool overflowed = false;
            for (ssize_t offset = 0; offset < length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
                if (event->mask & IN_IGNORED)
                    rewatch = true;
                else if (event->mask & IN_Q_OVERFLOW)
                    overflowed = true;
                else if (event->len > 0)
                    names.insert(QByteArray(event->name));
                offset += ssize_t(sizeof(inotify_event) + event->len);
            }
            if (rewatch) {
                // The folder was removed: recreate it and watch the new one.
                m_directory = QFile::encodeName(ContainerPaths::signalsDirectory());
                addWatch();
            }
            if (overflowed) {
                // Events were lost: any name may have been posted.
                std::lock_guard lock(m_mutex);
                for (const auto& [name, entries] : m_entries)
                    names.insert(name);
            }
            for (const QByteArray& name : names)
                dispatch(name);
        }
    }

    void dispatch(const QByteArray& name)
    {
        std::vector<std::shared_ptr<Entry>> entries;
        {
            std::lock_guard lock(m_mutex);
            const auto it = m_entries.find(name);
            if (it == m_entries.end())
                return;
            entries.assign(it->second.begin(), it->second.end());
        }
        for (const auto& entry : entries) {
            std::lock_guard running(entry->running);
            if (!entry->active)
                continue;
            currentEntry = entry.get();
            entry->callback();
            currentEntry = nullptr;
        }
    }

    QByteArray m_directory; // used by the watcher thread only, after construction
    int m_fd = -1;
    std::mutex m_mutex; // protects m_entries
    std::map<QByteArray, std::set<std::shared_ptr<Entry>>> m_entries;
};

class WatchedSubscription final : public Subscription {
public:
    WatchedSubscription(QByteArray name, std::shared_ptr<Entry> entry)
        : m_name(std::move(name)), m_entry(std::move(entry))
    {
        Watcher::instance().add(m_name, m_entry);
    }

    ~WatchedSubscription() override
    {
        Watcher::instance().remove(m_name, m_entry);
        if (currentEntry == m_entry.get()) {
            // Destroyed by its own callback, on the watcher thread: it holds `running`.
            m_entry->active = false;
            return;
        }
        std::lock_guard wait(m_entry->running);
        m_entry->active = false;
    }

private:
    QByteArray m_name;
    std::shared_ptr<Entry> m_entry;
};

class InertSubscription final : public Subscription {};

// Posts asked within a signal's window, made by a thread of its own when the window ends.
class Coalescer {
public:
    using Clock = std::chrono::steady_clock;

    static Coalescer& instance()
    {
        // Kept until the process exits, like the watcher; what is still waiting then is
        // posted by the exit handler.
        static Coalescer* coalescer = new Coalescer;
        return *coalescer;
    }

    // True when the caller posts now; otherwise the post is made when the window ends.
    bool admit(const QString& name, std::chrono::milliseconds window)
    {
        const Clock::time_point now = Clock::now();
        std::lock_guard lock(m_mutex);
        State& state = m_states[name];
        if (!state.waiting && now - state.lastPosted >= window) {
            state.lastPosted = now;
            return true;
        }
        if (!state.waiting) {
            state.waiting = true;
            state.due = state.lastPosted + window;
            m_wake.notify_one();
        }
        return false;
    }

    // Posts everything still waiting; nothing is made by the thread afterwards.
    void flush()
    {
        std::vector<QString> names;
        {
            std::lock_guard lock(m_mutex);
            m_flushed = true;
            for (auto& [name, state] : m_states)
                if (std::exchange(state.waiting, false))
                    names.push_back(name);
        }
        m_wake.notify_one();
        for (const QString& name : names)
            post(name);
    }

private:
    struct State {
        Clock::time_point lastPosted{};
        Clock::time_point due{};
        bool waiting = false;
    };

    Coalescer()
    {
        // The paths a post uses exist before the exit handler is registered, so they are
        // still there when it runs.
        ContainerPaths::signalsDirectory();
        std::atexit([] { Coalescer::instance().flush(); });
        std::thread([this] { run(); }).detach();
    }

    void run()
    {
        std::unique_lock lock(m_mutex);
        while (!m_flushed) {
            std::optional<Clock::time_point> next;
            std::vector<QString> due;
            const Clock::time_point now = Clock::now();
            for (auto& [name, state] : m_states) {
                if (!state.waiting)
                    continue;
                if (state.due <= now) {
                    state.waiting = false;
                    state.lastPosted = now;
                    due.push_back(name);
                } else if (!next || state.due < *next) {
                    next = state.due;
                }
            }
            if (!due.empty()) {
                lock.unlock();
                for (const QString& name : due)
                    post(name);
                lock.lock();
                continue;
            }
            if (next)
                m_wake.wait_until(lock, *next);
            else
                m_wake.wait(lock);
        }
    }

    // Guards m_states and m_flushed.
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::map<QString, State> m_states;
    bool m_flushed = false;
};

} // namespace

void post(const QString& name)
{
    if (!isValidName(name)) {
        qCWarning(lcSignals).noquote() << PIXAVELLA_LOG_PREFIX "ignored signal name" << name;
        return;
    }
    const QByteArray directory = QFile::encodeName(ContainerPaths::signalsDirectory());
    const QByteArray target = directory + '/' + QFile::encodeName(name);
    // Closing the file after opening it for writing is what observers see (IN_CLOSE_WRITE); its
    // content does not matter, and it is made only by the first post, not once per post. The
    // truncation stamps its time, which lastPosted() reads.
    const int fd = ::open(target.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW,
                          0600);
    if (fd < 0) {
        qCWarning(lcSignals).noquote()
            << PIXAVELLA_LOG_PREFIX "cannot post" << name << "-" << qt_error_string(errno);
        return;
    }
    ::close(fd);
}

std::optional<std::chrono::nanoseconds> lastPosted(const QString& name)
{
    if (!isValidName(name))
        return std::nullopt;
    // Only looked at: a folder that is missing has no signal in it.
    const QByteArray target =
        QFile::encodeName(ContainerPaths::signalsPath()) + '/' + QFile::encodeName(name);
    struct stat status {};
    if (::stat(target.constData(), &status) != 0)
        return std::nullopt;
    return std::chrono::seconds(status.st_mtim.tv_sec) +
           std::chrono::nanoseconds(status.st_mtim.tv_nsec);
}

void postCoalesced(const QString& name, std::chrono::milliseconds window)
{
    if (!isValidName(name)) {
        qCWarning(lcSignals).noquote() << PIXAVELLA_LOG_PREFIX "ignored signal name" << name;
        return;
    }
    if (Coalescer::instance().admit(name, window))
        post(name);
}

std::unique_ptr<Subscription> observe(const QString& name, std::function<void()> callback)
{
    if (!isValidName(name) || !callback) {
        qCWarning(lcSignals).noquote() << PIXAVELLA_LOG_PREFIX "ignored observer of" << name;
        return std::make_unique<InertSubscription>();
    }
    auto entry = std::make_shared<Entry>();
    entry->callback = std::move(callback);
    return std::make_unique<WatchedSubscription>(QFile::encodeName(name), std::move(entry));
}

} // namespace pixavella::Signals
