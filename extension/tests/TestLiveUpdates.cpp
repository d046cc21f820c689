// LiveUpdates against the double: what the server's events and its event channel make it ask
// the server, and which folders it has listed again.
#include "ExtensionTestSupport.h"

#include "EnumerationSignals.h"
#include "LiveUpdates.h"

using namespace pixavella;
using namespace pixavella::testing;

class TestLiveUpdates : public QObject {
    Q_OBJECT

private:
    SmallLibrary m_lib;
    QMutex m_signalLock;
    QSet<QString> m_signals; // guarded by m_signalLock

    QSet<QString> signalled()
    {
        QMutexLocker lock(&m_signalLock);
        return m_signals;
    }
    void forgetSignals()
    {
        QMutexLocker lock(&m_signalLock);
        m_signals.clear();
    }
private slots:
    void initTestCase()
    {
        QVERIFY(m_lib.start(QStringLiteral("v3")));
        signIn(m_lib.server);
        EnumerationSignals::setSender([this](const FileProviderItemIdentifier& container) {
            QMutexLocker lock(&m_signalLock);
            m_signals.insert(container);
        });
    }

    // Nothing is asked before the library was first listed; then a burst of events is one change
    // listing, and the folders of the months it changed are listed again. A deletion for good is
    // forgotten at once.
    void eventsBringChanges()
    {
        LiveUpdates live(processStores());
        live.serverEvent(QStringLiteral("on_upload_success"), {});
        QTest::qWait(3 * int(LiveUpdates::kEventDelay.count()));
        QCOMPARE(apiRequests(m_lib.server), 0);

        Answer<void> loaded;
        driveStores().library.sync(ImmichClient(m_lib.server.url(), kMyKey),
                                   LibraryMirror::Need::known, loaded.completion());
        QVERIFY(loaded.wait() && loaded.result->ok());
        const QString added = m_lib.server.addAsset(
            assetFor(kMe, QStringLiteral("dec.jpg"), QStringLiteral("2022-12-24T18:00:00.000Z")));
        QTest::qWait(1100); // past the moment a listing just ended still counts as current
        m_lib.server.reset();
        forgetSignals();
        live.serverEvent(QStringLiteral("on_upload_success"), {added});
        live.serverEvent(QStringLiteral("on_asset_update"), {added});
        live.serverEvent(QStringLiteral("on_something_else"), {});
        QTRY_VERIFY(driveStores().library.asset(added));
        QTRY_COMPARE(signalled(),
                     (QSet<QString>{QStringLiteral("month:2022-12"), QStringLiteral("year:2022"),
                                    QStringLiteral("photos")}));
        QTest::qWait(3 * int(LiveUpdates::kEventDelay.count()));
        QCOMPARE(apiRequests(m_lib.server, QStringLiteral("/api/search/metadata")), 1);

        live.serverEvent(QStringLiteral("on_asset_delete"), {m_lib.asset("mar05.jpg")});
        QVERIFY(!driveStores().library.asset(m_lib.asset("mar05.jpg")));
        QTRY_COMPARE(apiRequests(m_lib.server, QStringLiteral("/api/search/metadata")), 2);
    }

    // The channel coming up has the albums listed (no event tells of them); the next time, the
    // list and only the albums whose listing changed are listed again.
    void channelUpChecksAlbums()
    {
        m_lib.server.addAlbum({{QStringLiteral("owner"), kMe},
                               {QStringLiteral("albumName"), QStringLiteral("Inchangé")}});
        LiveUpdates live(processStores());
        m_lib.server.reset();
        live.setChannelUp(true);
        QTRY_COMPARE(apiRequests(m_lib.server, QStringLiteral("/api/albums")), 2);
        Answer<void> renamed;
        ImmichClient(m_lib.server.url(), kMyKey)
            .renameAlbum(m_lib.album("Vacances"), QStringLiteral("Été"), renamed.completion());
        QVERIFY(renamed.wait() && renamed.result->ok());
        QTest::qWait(200);
        forgetSignals();

        live.setChannelUp(false);
        live.setChannelUp(true);
        QTRY_COMPARE(apiRequests(m_lib.server, QStringLiteral("/api/albums")), 5);
        QTRY_COMPARE(signalled(),
                     (QSet<QString>{QStringLiteral("albums"),
                                    QStringLiteral("album:") + m_lib.album("Vacances")}));
    }
};

QTEST_GUILESS_MAIN(TestLiveUpdates)
#include "TestLiveUpdates.moc"
