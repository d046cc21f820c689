#include "SoftwareUpdater.h"

#include "HttpSession.h"

#include <QCoreApplication>
#include <QPointer>

namespace pixavella {

namespace {

constexpr int kFeedTimeoutMs = 30'000;

} // namespace

SoftwareUpdater::SoftwareUpdater(HttpSession& http, QObject* parent)
    : SoftwareUpdater(http, buildFeedUrl(), buildVersion(), parent)
{
}

SoftwareUpdater::SoftwareUpdater(HttpSession& http, const QUrl& feedUrl,
                                 const QString& currentVersion, QObject* parent)
    : QObject(parent), m_http(http), m_feedUrl(feedUrl), m_currentVersion(currentVersion)
{
}

SoftwareUpdater::~SoftwareUpdater() = default;

QUrl SoftwareUpdater::buildFeedUrl()
{
    const QString text = QStringLiteral(PIXAVELLA_RELEASE_FEED).trimmed();
    return text.isEmpty() ? QUrl() : QUrl(text);
}

QString SoftwareUpdater::buildVersion()
{
    return QStringLiteral(PIXAVELLA_VERSION);
}

bool SoftwareUpdater::canCheckForUpdates() const
{
    return m_feedUrl.isValid() && !m_feedUrl.isEmpty() && !m_checking;
}

void SoftwareUpdater::checkForUpdates(Completion done)
{
    if (!m_feedUrl.isValid() || m_feedUrl.isEmpty()) {
        const Error error{ReleaseFeed::errorDomain, ReleaseFeed::noFeed,
                          tr("Aucun flux de mises à jour n'est configuré.")};
        if (done)
            done(error);
        emit checkFinished(false, QString(), QUrl(), error.description);
        return;
    }
    if (done)
        m_waiting.append(std::move(done));
    if (m_checking)
        return;
    m_checking = true;
    emit canCheckForUpdatesChanged(false);

    HttpRequest request;
    request.url = m_feedUrl;
    request.timeoutMs = kFeedTimeoutMs;
    request.setHeader("Accept", "application/rss+xml, application/xml, text/xml");
    QPointer<SoftwareUpdater> guard(this);
    const QUrl feed = m_feedUrl;
    const QString current = m_currentVersion;
    m_http.start(request, [guard, feed, current](HttpReply reply) {
        Result<UpdateCheck> result = [&]() -> Result<UpdateCheck> {
            if (reply.transportError)
                return *reply.transportError;
            if (!reply.isSuccess())
                return Error{ReleaseFeed::errorDomain, ReleaseFeed::httpStatus,
                             tr("Le flux des mises à jour a répondu %1.").arg(reply.status)};
            const Result<QList<ReleaseFeed::Release>> releases =
                ReleaseFeed::parse(reply.body, feed);
            if (!releases)
                return releases.error();
            const ReleaseFeed::Release newest = ReleaseFeed::newest(releases.value());
            return UpdateCheck{ReleaseFeed::compareVersions(newest.version, current) > 0, newest};
        }();
        QCoreApplication* app = QCoreApplication::instance();
        if (!app)
            return;
        QMetaObject::invokeMethod(
            app,
            [guard, result = std::move(result)] {
                if (guard)
                    guard->finish(result);
            },
            Qt::QueuedConnection);
    });
}

void SoftwareUpdater::finish(const Result<UpdateCheck>& result)
{
    m_checking = false;
    const QList<Completion> waiting = std::exchange(m_waiting, {});
    for (const Completion& done : waiting)
        done(result);
    if (result) {
        const UpdateCheck& check = result.value();
        emit checkFinished(check.updateAvailable,
                           check.updateAvailable ? check.newest.version : QString(),
                           check.updateAvailable ? check.newest.url : QUrl(), QString());
    } else {
        emit checkFinished(false, QString(), QUrl(), result.error().description);
    }
    emit canCheckForUpdatesChanged(canCheckForUpdates());
}

} // namespace pixavella
