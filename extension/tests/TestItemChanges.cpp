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
        Answer<FileProviderItemChange> answer;
        ItemModification::modify(
            processStores(), *SharedSettings::makeClient(),
            itemWith(identifier, parent, name, ContentType(QStringLiteral("image/jpeg"))), fields,
            answer.completion());
        return waitFor(answer);
    }
    Result<void> remove(const QString& identifier)
    {
        Answer<void> answer;
        ItemDeletion::remove(processStores(), *SharedSettings::makeClient(), identifier,
                             answer.completion());
        if (!answer.wait())
            return Error{QStringLiteral("Test"), 0, QStringLiteral("no completion")};
        return *answer.result;
    }
    // The albums among A, B, Famille and Mariage that hold P.
    QString albumsHoldingP() const
    {
        QStringList holding;
        for (const char* name : {"A", "B", "Famille", "Mariage"}) {
            Answer<ImmichAlbumDetail> album;
            SharedSettings::makeClient()->getAlbum(m_ids.value(QString::fromLatin1(name)),
                                                   album.completion());
            if (!album.wait() || !*album.result)
                continue;
            for (const ImmichAsset& asset : album.result->value().assets)
                if (asset.id == m_ids.value(QStringLiteral("P")))
                    holding.append(QString::fromLatin1(name));
        }
        return holding.join(u',');
    }
    bool isTrashed(const QString& assetId) const
    {
        Answer<ImmichAsset> asset;
        SharedSettings::makeClient()->getAsset(assetId, asset.completion());
        return asset.wait() && *asset.result && asset.result->value().isTrashed.value_or(false);
    }
    bool albumExists(const QString& albumId) const
    {
        Answer<AlbumMeta> album;
        SharedSettings::makeClient()->getAlbumMeta(albumId, album.completion());
        return album.wait() && album.result->ok();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_lib.start(QStringLiteral("v3")));
        m_uploads.setClock(&m_clock);
        EnumerationSignals::setSender([this](const FileProviderItemIdentifier& container) {
            QMutexLocker lock(&m_signalLock);
            m_signals.append(container);
        });
        for (auto it = m_lib.albums.cbegin(); it != m_lib.albums.cend(); ++it)
            m_ids.insert(it.key(), it.value());
        m_ids.insert(QStringLiteral("theirs1"), m_lib.asset("theirs1.jpg"));
    }

    void init()
    {
        m_clock.advance(600); // tombstones of the last case have expired
        signIn(m_lib.server);
        const QString p = m_lib.server.addAsset(
            assetFor(kMe, QUuid::createUuid().toString() + QStringLiteral(".jpg"),
                     QStringLiteral("2024-03-05T10:00:00.000Z")));
        m_ids.insert(QStringLiteral("P"), p);
        m_ids.insert(QStringLiteral("A"),
                     m_lib.server.addAlbum({{QStringLiteral("owner"), kMe},
                                            {QStringLiteral("albumName"), QStringLiteral("Été")},
                                            {QStringLiteral("assetIds"), QJsonArray{p}}}));
        m_ids.insert(QStringLiteral("B"), m_lib.server.addAlbum({{QStringLiteral("owner"), kMe},
                                                                 {QStringLiteral("albumName"),
                                                                  QStringLiteral("Hiver")}}));
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
            modify(placeholders(item), placeholders(parent), QStringLiteral("x.jpg"),
                   FileProviderItemField::parentItemIdentifier);
        QVERIFY2(change && change.value().item, qPrintable(identifierOf(change)));
        QCOMPARE(change.value().item->itemIdentifier() + QStringLiteral(" → ") +
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
        const Result<FileProviderItemChange> change = modify(
            placeholders(item), QStringLiteral("photos"), name, FileProviderItemField::filename);
        if (answered == u"unsupported") {
            QVERIFY(!change && isUnsupportedOperationError(change.error()));
            return;
        }
        if (answered == u"refused") {
            QVERIFY(!change);
            QCOMPARE(change.error().code, int(FileProviderErrorCode::excludedFromSync));
            QVERIFY(driveStores().names.name(m_ids.value(QStringLiteral("P"))) != name);
            return;
        }
        QVERIFY2(change && change.value().item, qPrintable(identifierOf(change)));
        QCOMPARE(change.value().item->filename(), answered);
        if (item.startsWith(u"album:")) {
            Answer<AlbumMeta> album;
            SharedSettings::makeClient()->getAlbumMeta(m_ids.value(QStringLiteral("A")),
                                                       album.completion());
            QVERIFY(album.wait() && *album.result);
            QCOMPARE(album.result->value().albumName, name);
            return;
        }
        QCOMPARE(driveStores().names.name(m_ids.value(QStringLiteral("P"))), answered);
        QCOMPARE(drainedNotices(), QStringList{QStringLiteral("renamephoto")});
        // Only the display name changed.
        QCOMPARE(albumsHoldingP(), QStringLiteral("A"));
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
            m_lib.server.fail(500, 1, QStringLiteral("/api/assets"));
        const Result<void> done = remove(placeholders(item));
        QCOMPARE(done                                        ? QStringLiteral("ok")
                 : isUnsupportedOperationError(done.error()) ? QStringLiteral("unsupported")
                                                             : QStringLiteral("error"),
                 outcome);
        QCOMPARE(drainedNotices().join(u','), notices);
        const QStringList messages = driveStores().userNotices.drain();
        QCOMPARE(messages.size(), message.isEmpty() ? 0 : 1);
        if (!message.isEmpty())
            QVERIFY2(messages.first().startsWith(message), qPrintable(messages.first()));
        const QString p = m_ids.value(QStringLiteral("P"));
        QCOMPARE(isTrashed(p), item == u"asset:<P>" && outcome == u"ok");
        QCOMPARE(albumExists(m_ids.value(QStringLiteral("A"))), item != u"album:<A>");
        if (outcome != u"error" && !item.startsWith(u"asset:"))
            QCOMPARE(albumsHoldingP(), item.startsWith(u"a") ? QString() : QStringLiteral("A"));
        // Gone from the listings at once, whatever the server's cached answers say.
        if (outcome == u"ok" && item.startsWith(u"ai:"))
            QVERIFY(!idsOf(listed(placeholders(QStringLiteral("album:<A>")))->items)
                         .contains(placeholders(item)));
    }

    void pendingUploadsAreCancelled()
    {
        const QString id = m_uploads.add(QStringLiteral("x.jpg"), std::nullopt);
        QVERIFY(remove(QStringLiteral("pending:") + id));
        QVERIFY(!UploadQuarantine::shared().entry(id));
        QVERIFY(driveStores().cancelled.contains(id));
        QCOMPARE(driveStores().userNotices.drain(),
                 QStringList{QStringLiteral("Envoi de « x.jpg » abandonné — cette photo n'a pas "
                                            "été sauvegardée dans Pixavella.")});
        // Trashing one whose entry is already gone: accepted, and nothing to say.
        const Result<FileProviderItemChange> change =
            modify(QStringLiteral("pending:") + id, FileProviderContainer::trash,
                   QStringLiteral("x.jpg"), FileProviderItemField::parentItemIdentifier);
        QVERIFY(change && change.value().item);
        QVERIFY(driveStores().userNotices.drain().isEmpty());
        QCOMPARE(apiRequests(m_lib.server), 0);

        // Listed before its upload ended: deleting it trashes the photo it became.
        const QString sent = m_uploads.add(QStringLiteral("y.jpg"), std::nullopt);
        QCOMPARE(ItemRemoval::uploadedAsset(processStores(), sent), std::nullopt);
        QVERIFY(UploadQuarantine::shared().remove(sent));
        recordUploaded(sent, m_ids.value(QStringLiteral("P")));
        QVERIFY(remove(QStringLiteral("pending:") + sent));
        QVERIFY(isTrashed(m_ids.value(QStringLiteral("P"))));
        QVERIFY(!driveStores().cancelled.contains(sent));
        QCOMPARE(takeSignals(), QStringList{FileProviderContainer::workingSet});
        QCOMPARE(drainedNotices(), QStringList{QStringLiteral("trash")});
    }
};

QTEST_GUILESS_MAIN(TestItemChanges)
#include "TestItemChanges.moc"
