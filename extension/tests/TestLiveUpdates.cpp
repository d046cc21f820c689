// LiveUpdates against the double: what the server's events and its event channel make it ask
// the server, and which folders it has listed again.
#include "ExtensionTestSupport.h"

#include "EnumerationSignals.h"
#include "LiveUpdates.h"

using namespace pixavella;
using namespace pixavella::testing;
using namespace Qt::StringLiterals;

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
        QVERIFY(m_lib.start(u"v3"_s));
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
        live.serverEvent(u"on_upload_success"_s, {});
        QTest::qWait(3 * int(LiveUpdates::kEventDelay.count()));
        QCOMPARE(apiRequests(m_lib.server), 0);

        Awaited<void> loaded;
        driveStores().library.sync(ImmichClient(m_lib.server.url(), kMyKey),
                                   LibraryMirror::Need::known, loaded.completion());
        QVERIFY(loaded.wait());
        const QString added =
            m_lib.server.addAsset(assetFor(kMe, u"dec.jpg"_s, u"2022-12-24T18:00:00.000Z"_s));
        QTest::qWait(1100); // past the moment a listing just ended still counts as current
        m_lib.server.reset();
        forgetSignals();
        live.serverEvent(u"on_upload_success"_s, {added});
        live.serverEvent(u"on_asset_update"_s, {added});
        live.serverEvent(u"on_something_else"_s, {});
        QTRY_VERIFY(driveStores().library.asset(added));
        QTRY_COMPARE(signalled(), (QSet<QString>{u"month:2022-12"_s, u"year:2022"_s, u"photos"_s}));
        QTest::qWait(3 * int(LiveUpdates::kEventDelay.count()));
        QCOMPARE(apiRequests(m_lib.server, u"/api/search/metadata"_s), 1);

        live.serverEvent(u"on_asset_delete"_s, {m_lib.asset("mar05.jpg")});
        QVERIFY(!driveStores().library.asset(m_lib.asset("mar05.jpg")));
        QTRY_COMPARE(apiRequests(m_lib.server, u"/api/search/metadata"_s), 2);
    }

    // The channel coming up has the albums listed (no event tells of them); the next time, the
    // list and only the albums whose listing changed are listed again.
    void channelUpChecksAlbums()
    {
        m_lib.server.addAlbum({{u"owner"_s, kMe}, {u"albumName"_s, u"Inchangé"_s}});
        LiveUpdates live(processStores());
        m_lib.server.reset();
        live.setChannelUp(true);
        QTRY_COMPARE(apiRequests(m_lib.server, u"/api/albums"_s), 2);
        Awaited<void> renamed;
        ImmichClient(m_lib.server.url(), kMyKey)
            .renameAlbum(m_lib.album("Vacances"), u"Été"_s, renamed.completion());
        QVERIFY(renamed.wait());
        QTest::qWait(200);
        forgetSignals();

        live.setChannelUp(false);
        live.setChannelUp(true);
        QTRY_COMPARE(apiRequests(m_lib.server, u"/api/albums"_s), 5);
        QTRY_COMPARE(signalled(),
                     (QSet<QString>{u"albums"_s, u"album:"_s + m_lib.album("Vacances")}));
    }
};

QTEST_GUILESS_MAIN(TestLiveUpdates)
#include "TestLiveUpdates.moc"
