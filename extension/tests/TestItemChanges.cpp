// ItemModification, ItemDeletion and ItemRemoval against the double: moves, renames, trashing
// and deleting, what the server ends up with, what the framework is answered, and the feedback
// left for the application.
#include "WriteTestSupport.h"

#include "AssetNameStore.h"
#include "CancelledUploads.h"
#include "EnumerationSignals.h"
#include "FileProviderError.h"
#include "ItemDeletion.h"
#include "ItemModification.h"
#include "ItemRemoval.h"

#include <QUuid>

using namespace pixavella;
using namespace pixavella::testing;
using namespace Qt::StringLiterals;

class TestItemChanges : public QObject {
    Q_OBJECT

private:
    ManualClock m_clock{utc("2025-01-10T12:00:00Z")};
    SmallLibrary m_lib;
    Uploads m_uploads;
    QMutex m_signalLock;
    QStringList m_signals; // guarded by m_signalLock
    // Made afresh for each case: my photo P in my album A, my empty album B.
    QHash<QString, QString> m_ids;

    QString placeholders(QString text) const
    {
        for (auto it = m_ids.cbegin(); it != m_ids.cend(); ++it)
            text.replace(u'<' + it.key() + u'>', it.value());
        return text;
    }
    QStringList takeSignals()
    {
        QMutexLocker lock(&m_signalLock);
        QStringList taken = m_signals;
        m_signals.clear();
        taken.sort();
        return taken;
    }
    Result<FileProviderItemChange> modify(const QString& identifier, const QString& parent,
                                          const QString& name, FileProviderItemFields fields)
    {
        Awaited<FileProviderItemChange> answer;
        ItemModification::modify(processStores(), *SharedSettings::makeClient(),
                                 itemWith(identifier, parent, name, ContentType(u"image/jpeg"_s)),
                                 fields, answer.completion());
        return answer.wait();
    }
    Result<void> remove(const QString& identifier)
    {
        Awaited<void> answer;
        ItemDeletion::remove(processStores(), *SharedSettings::makeClient(), identifier,
                             answer.completion());
        return answer.wait();
    }
    // The albums among A, B, Famille and Mariage that hold P.
    QString albumsHoldingP() const
    {
        QStringList holding;
        for (const char* name : {"A", "B", "Famille", "Mariage"}) {
            Awaited<ImmichAlbumDetail> album;
            SharedSettings::makeClient()->getAlbum(m_ids.value(QString::fromLatin1(name)),
                                                   album.completion());
            const Result<ImmichAlbumDetail> detail = album.wait();
            for (const ImmichAsset& asset : detail ? detail.value().assets : QList<ImmichAsset>())
                if (asset.id == m_ids.value(u"P"_s))
                    holding.append(QString::fromLatin1(name));
        }
        return holding.join(u',');
    }
    bool isTrashed(const QString& assetId) const
    {
        Awaited<ImmichAsset> asset;
        SharedSettings::makeClient()->getAsset(assetId, asset.completion());
        const Result<ImmichAsset> got = asset.wait();
        return got && got.value().isTrashed.value_or(false);
    }
    bool albumExists(const QString& albumId) const
    {
        Awaited<AlbumMeta> album;
        SharedSettings::makeClient()->getAlbumMeta(albumId, album.completion());
        return album.wait().ok();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_lib.start(u"v3"_s));
        m_uploads.setClock(&m_clock);
        EnumerationSignals::setSender([this](const FileProviderItemIdentifier& container) {
            QMutexLocker lock(&m_signalLock);
            m_signals.append(container);
        });
        for (auto it = m_lib.albums.cbegin(); it != m_lib.albums.cend(); ++it)
            m_ids.insert(it.key(), it.value());
        m_ids.insert(u"theirs1"_s, m_lib.asset("theirs1.jpg"));
    }

    void init()
    {
        m_clock.advance(600); // tombstones of the last case have expired
        signIn(m_lib.server);
        const QString p = m_lib.server.addAsset(assetFor(
            kMe, QUuid::createUuid().toString() + u".jpg"_s, u"2024-03-05T10:00:00.000Z"_s));
        m_ids.insert(u"P"_s, p);
        m_ids.insert(u"A"_s, m_lib.server.addAlbum({{u"owner"_s, kMe},
                                                    {u"albumName"_s, u"Été"_s},
                                                    {u"assetIds"_s, QJsonArray{p}}}));
        m_ids.insert(u"B"_s,
                     m_lib.server.addAlbum({{u"owner"_s, kMe}, {u"albumName"_s, u"Hiver"_s}}));
        m_lib.server.reset();
        takeSignals();
        drainedNotices();
        driveStores().userNotices.drain();
    }

    void moves_data()
    {
        QTest::addColumn<QString>("item");
        QTest::addColumn<QString>("parent");
        QTest::addColumn<QString>("answer");    // identifier → parent
        QTest::addColumn<QString>("holding");   // albums holding P afterwards
        QTest::addColumn<QString>("signalled"); // containers asked to re-list
        QTest::addColumn<QString>("notices");
        const auto row = [](const char* tag, const char* item, const char* parent,
                            const char* answer, const char* holding, const char* signalled = "",
                            const char* notices = "") {
            QTest::newRow(tag) << item << parent << answer << holding << signalled << notices;
        };
        row("photo into an album", "asset:<P>", "album:<B>", "ai:<B>:<P> → album:<B>", "A,B",
            "month:2024-03", "addtoalbum");
        row("onto its own album", "ai:<A>:<P>", "album:<A>", "ai:<A>:<P> → album:<A>", "A");
        row("album to album", "ai:<A>:<P>", "album:<B>", "ai:<B>:<P> → album:<B>", "B",
            "album:<A>,album:<B>");
        row("out of the album", "ai:<A>:<P>", "month:2024-03", "asset:<P> → month:2024-03", "",
            "album:<A>", "remove");
        row("into an editable shared album", "asset:<P>", "salbum:<Famille>",
            "si:<Famille>:<P> → salbum:<Famille>", "A,Famille", "", "addtoalbum");
        row("into a view-only shared album: back", "asset:<P>", "salbum:<Mariage>",
            "asset:<P> → month:2024-03", "A");
        row("into Mes albums: back", "asset:<P>", "albums", "asset:<P> → month:2024-03", "A");
        row("shared photo: back", "si:<Famille>:<theirs1>", "photos",
            "si:<Famille>:<theirs1> → salbum:<Famille>", "A");
    }
    void moves()
    {
        QFETCH(QString, item);
        QFETCH(QString, parent);
        QFETCH(QString, answer);
        QFETCH(QString, holding);
        QFETCH(QString, signalled);
        QFETCH(QString, notices);
        const Result<FileProviderItemChange> change =
            modify(placeholders(item), placeholders(parent), u"x.jpg"_s,
                   FileProviderItemField::parentItemIdentifier);
        QVERIFY2(change && change.value().item, qPrintable(identifierOf(change)));
        QCOMPARE(change.value().item->itemIdentifier() + u" → "_s +
                     change.value().item->parentItemIdentifier(),
                 placeholders(answer));
        QCOMPARE(albumsHoldingP(), holding);
        QStringList expectedSignals = placeholders(signalled).split(u',', Qt::SkipEmptyParts);
        expectedSignals.sort();
        QCOMPARE(takeSignals(), expectedSignals);
        QCOMPARE(drainedNotices().join(u','), notices);
        const QStringList messages = driveStores().userNotices.drain();
        if (notices == u"remove")
            QCOMPARE(messages, QStringList{QStringLiteral(
                                   "Photo retirée de l'album « Été » — toujours disponible "
                                   "dans Mes photos")});
        else
            QCOMPARE(messages, QStringList());
    }

    void renames_data()
    {
        QTest::addColumn<QString>("item");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("answered"); // the answered name, "unsupported" or "refused"
        const auto row = [](const char* tag, const char* item, const char* name,
                            const char* answered) {
            QTest::newRow(tag) << item << name << answered;
        };
        row("photo", "asset:<P>", "Plage.jpg", "Plage.jpg");
        row("photo keeps its type", "asset:<P>", "Plage.png", "refused");
        row("photo keeps an extension", "asset:<P>", "Plage", "refused");
        row("album photo", "ai:<A>:<P>", "Plage.JPEG", "Plage.JPEG");
        row("album", "album:<A>", "Printemps", "Printemps");
        row("month", "month:2024-03", "Avril", "unsupported");
        row("shared photo", "si:<Famille>:<theirs1>", "Moi.jpg", "unsupported");
    }
    void renames()
    {
        QFETCH(QString, item);
        QFETCH(QString, name);
        QFETCH(QString, answered);
        const Result<FileProviderItemChange> change =
            modify(placeholders(item), u"photos"_s, name, FileProviderItemField::filename);
        if (answered == u"unsupported") {
            QVERIFY(!change && isUnsupportedOperationError(change.error()));
            return;
        }
        if (answered == u"refused") {
            QVERIFY(!change);
            QCOMPARE(change.error().code, int(FileProviderErrorCode::excludedFromSync));
            QVERIFY(driveStores().names.name(m_ids.value(u"P"_s)) != name);
            return;
        }
        QVERIFY2(change && change.value().item, qPrintable(identifierOf(change)));
        QCOMPARE(change.value().item->filename(), answered);
        if (item.startsWith(u"album:")) {
            Awaited<AlbumMeta> album;
            SharedSettings::makeClient()->getAlbumMeta(m_ids.value(u"A"_s), album.completion());
            const Result<AlbumMeta> meta = album.wait();
            QVERIFY(meta && meta.value().albumName == name);
            return;
        }
        QCOMPARE(driveStores().names.name(m_ids.value(u"P"_s)), answered);
        QCOMPARE(drainedNotices(), QStringList{u"renamephoto"_s});
        // Only the display name changed.
        QCOMPARE(albumsHoldingP(), u"A"_s);
    }

    void deletions_data()
    {
        QTest::addColumn<QString>("item");
        QTest::addColumn<QString>("outcome"); // "ok", "unsupported" or "error"
        QTest::addColumn<QString>("notices");
        QTest::addColumn<QString>("message");
        const auto row = [](const char* tag, const char* item, const char* outcome,
                            const char* notices = "", const char* message = "") {
            QTest::newRow(tag) << item << outcome << notices << message;
        };
        row("photo", "asset:<P>", "ok", "trash", "Photo déplacée dans la corbeille Pixavella");
        row("album photo", "ai:<A>:<P>", "ok", "remove", "Photo retirée de l'album « Été »");
        row("album", "album:<A>", "ok", "delalbum");
        row("someone else's shared photo", "si:<Famille>:<theirs1>", "unsupported",
            "shareRemoveOwnOnly");
        row("year", "year:2024", "unsupported");
        row("shared album", "salbum:<Famille>", "unsupported");
        row("server failure", "asset:<P>", "error");
    }
    void deletions()
    {
        QFETCH(QString, item);
        QFETCH(QString, outcome);
        QFETCH(QString, notices);
        QFETCH(QString, message);
        if (outcome == u"error")
            m_lib.server.fail(500, 1, u"/api/assets"_s);
        const Result<void> done = remove(placeholders(item));
        QCOMPARE(done                                        ? u"ok"_s
                 : isUnsupportedOperationError(done.error()) ? u"unsupported"_s
                                                             : u"error"_s,
                 outcome);
        QCOMPARE(drainedNotices().join(u','), notices);
        const QStringList messages = driveStores().userNotices.drain();
        QCOMPARE(messages.size(), message.isEmpty() ? 0 : 1);
        if (!message.isEmpty())
            QVERIFY2(messages.first().startsWith(message), qPrintable(messages.first()));
        const QString p = m_ids.value(u"P"_s);
        QCOMPARE(isTrashed(p), item == u"asset:<P>" && outcome == u"ok");
        QCOMPARE(albumExists(m_ids.value(u"A"_s)), item != u"album:<A>");
        if (outcome != u"error" && !item.startsWith(u"asset:"))
            QCOMPARE(albumsHoldingP(), item.startsWith(u"a") ? QString() : u"A"_s);
        // Gone from the listings at once, whatever the server's cached answers say.
        if (outcome == u"ok" && item.startsWith(u"ai:"))
            QVERIFY(
                !idsOf(listed(placeholders(u"album:<A>"_s))->items).contains(placeholders(item)));
    }

    void pendingUploadsAreCancelled()
    {
        const QString id = m_uploads.add(u"x.jpg"_s, std::nullopt);
        QVERIFY(remove(u"pending:"_s + id));
        QVERIFY(!UploadQuarantine::shared().entry(id));
        QVERIFY(driveStores().cancelled.contains(id));
        QCOMPARE(driveStores().userNotices.drain(),
                 QStringList{QStringLiteral("Envoi de « x.jpg » abandonné — cette photo n'a pas "
                                            "été sauvegardée dans Pixavella.")});
        // Trashing one whose entry is already gone: accepted, and nothing to say.
        const Result<FileProviderItemChange> change =
            modify(u"pending:"_s + id, FileProviderContainer::trash, u"x.jpg"_s,
                   FileProviderItemField::parentItemIdentifier);
        QVERIFY(change && change.value().item);
        QVERIFY(driveStores().userNotices.drain().isEmpty());
        QCOMPARE(apiRequests(m_lib.server), 0);

        // Listed before its upload ended: deleting it trashes the photo it became.
        const QString sent = m_uploads.add(u"y.jpg"_s, std::nullopt);
        QCOMPARE(ItemRemoval::uploadedAsset(processStores(), sent), std::nullopt);
        QVERIFY(UploadQuarantine::shared().remove(sent));
        recordUploaded(sent, m_ids.value(u"P"_s));
        QVERIFY(remove(u"pending:"_s + sent));
        QVERIFY(isTrashed(m_ids.value(u"P"_s)));
        QVERIFY(!driveStores().cancelled.contains(sent));
        QCOMPARE(takeSignals(), QStringList{FileProviderContainer::workingSet});
        QCOMPARE(drainedNotices(), QStringList{u"trash"_s});
    }
};

QTEST_GUILESS_MAIN(TestItemChanges)
#include "TestItemChanges.moc"
