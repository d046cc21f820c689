#pragma once

#include "ReleaseFeed.h"
#include "Result.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>

namespace pixavella {

class HttpSession;

// Checks the release feed named at build time (PIXAVELLA_RELEASE_FEED) for a version newer
// than this build. Without a feed nothing can be checked and the menu keeps its entry
// disabled. Main thread only; the answer comes back on the main thread.
class SoftwareUpdater : public QObject {
    Q_OBJECT

public:
    struct UpdateCheck {
        bool updateAvailable = false;
        ReleaseFeed::Release newest; // the feed's newest release, newer or not
    };
    using Completion = std::function<void(const Result<UpdateCheck>&)>;

    // The build's feed and version; the feed is fetched through `http`.
    explicit SoftwareUpdater(HttpSession& http, QObject* parent = nullptr);
    SoftwareUpdater(HttpSession& http, const QUrl& feedUrl, const QString& currentVersion,
                    QObject* parent = nullptr);
    ~SoftwareUpdater() override;

    static QUrl buildFeedUrl();
    static QString buildVersion();

    const QUrl& feedUrl() const { return m_feedUrl; }
    // A feed is known and no check is under way.
    bool canCheckForUpdates() const;
    // Downloads the feed and compares its newest release with this build. A call made while
    // a check is under way gets that check's answer. Without a feed, fails at once.
    void checkForUpdates(Completion done = {});

signals:
    void canCheckForUpdatesChanged(bool canCheck);
    // Every finished check: the newer release, or none (empty version), or the error's text.
    void checkFinished(bool updateAvailable, const QString& version, const QUrl& url,
                       const QString& errorText);

private:
    void finish(const Result<UpdateCheck>& result);

    HttpSession& m_http;
    QUrl m_feedUrl;
    QString m_currentVersion;
    bool m_checking = false;
    QList<Completion> m_waiting;
};

} // namespace pixavella
