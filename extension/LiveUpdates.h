#pragma once

#include "ExtensionStores.h"

#include <QHash>
#include <QJsonArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <optional>
#include <utility>

namespace pixavella {

// Keeps the drive's folders in step with the server while nobody looks: the server's events
// (while its event channel is up), or else a change listing every 30 s, bring the library
// mirror up to date, and the folders the changes touched are listed again. Album listings are
// checked every two minutes (the server sends no event for them). The server's count of photos
// is compared with the mirror's every five minutes, and at every poll while the channel is down;
// a whole listing runs when they disagree (something was deleted for good, which no change
// listing reports) and every six hours.
//
// An idle drive with the channel up thus asks the server for one small album listing a minute
// and a count every five, whatever the size of the library.
//
// Lives on the daemon's main thread; everything it starts completes without blocking it.
class LiveUpdates : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::seconds kPollInterval{30};
    static constexpr std::chrono::seconds kAlbumInterval{120};
    static constexpr std::chrono::seconds kCountInterval{300};
    static constexpr std::chrono::hours kReconcileInterval{6};
    // Events arriving together are one refresh: a burst (an import elsewhere) costs one change
    // listing every half second at most.
    static constexpr std::chrono::milliseconds kEventDelay{500};

    // PIXAVELLA_FULL_REFRESH=1 brings back the behaviour before change listings and events,
    // for measuring what they save: the whole library listed every kFullRefreshInterval, no
    // event channel. Read once.
    static constexpr std::chrono::seconds kFullRefreshInterval{15};
    static bool fullRefreshOnly();

    explicit LiveUpdates(const ExtensionStores& stores, QObject* parent = nullptr);

    // Whether the server's events arrive: while they do, nothing is polled.
    void setChannelUp(bool up);
    bool isChannelUp() const { return m_channelUp; }
    // One event of the server's channel, by name with its arguments; unknown ones are ignored.
    void serverEvent(const QString& name, const QJsonArray& arguments);

    // Asks the server what changed now (the timers and events end up here); nothing while the
    // library was never listed: the first look lists it whole anyway.
    void refreshNow();

private:
    void refreshSoon();
    void poll();
    void checkAlbums();
    void albumsListed(bool shared, const QHash<QString, QString>& stamps);
    void checkCount();

    bool m_channelUp = false;
    QTimer m_poll;
    QTimer m_soon;
    QTimer m_albums;
    QTimer m_count;
    QTimer m_reconcile;
    LibraryMirror& m_library;
    FetchCache& m_cache;
    // The stamps of the last album listings (own, shared): what changed since is listed again.
    std::optional<QHash<QString, QString>> m_ownStamps;
    std::optional<QHash<QString, QString>> m_sharedStamps;
    // The last disagreement (server, mirror) a whole listing was run for: the same one is not
    // listed again (an asset the server counts but never lists would make it run forever).
    std::optional<std::pair<qint64, qint64>> m_lastMismatch;
};

} // namespace pixavella
