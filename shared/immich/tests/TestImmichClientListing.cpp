// Listings: the paged search and album listings, against scripted answers and against the
// test double in both album dialects.
#include "ClientTestSupport.h"
#include "ImmichDoubleProcess.h"
#include "RecordingServer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <algorithm>

using namespace pixavella;
using namespace pixavella::testing;
using namespace Qt::StringLiterals;

namespace {

QByteArray assetJson(const QString& id, bool withDate = true)
{
    QJsonObject o{{u"id"_s, id}, {u"type"_s, u"IMAGE"_s}, {u"originalFileName"_s, id + u".jpg"_s}};
    if (withDate)
        o.insert(u"fileCreatedAt"_s, u"2024-01-01T00:00:00.000Z"_s);
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QByteArray page(const QList<QByteArray>& items, const QByteArray& nextPage)
{
    QByteArray body = R"({"albums":{"items":[]},"assets":{"items":[)";
    for (qsizetype i = 0; i < items.size(); ++i)
        body += (i ? "," : "") + items[i];
    body += R"(],"facets":[])";
    if (!nextPage.isNull())
        body += R"(,"nextPage":)" + nextPage;
    return body + "}}";
}

using PageAnswers = QHash<int, QByteArray>; // body by page number

// What must not differ between server dialects: everything but the raw member list.
QString albumSummary(const ImmichAlbum& a, const QString& me)
{
    return u"%1|%2|%3|%4|%5"_s.arg(a.id, a.albumName, a.ownerId.value_or(u"?"_s))
        .arg(a.assetCount.value_or(-1))
        .arg(int(albumAccess(a, me)));
}

QJsonObject assetFor(const QString& owner, const QString& name, const QString& date,
                     bool trashed = false)
{
    return {{u"owner"_s, owner},
            {u"originalFileName"_s, name},
            {u"base64"_s, QString::fromLatin1((owner + name).toUtf8().toBase64())},
            {u"fileCreatedAt"_s, date},
            {u"isTrashed"_s, trashed}};
}

const QString kMe = u"me@x.test"_s;
const QString kOther = u"other@x.test"_s;

// A double with the same small library in the given dialect.
struct Library {
    ImmichDoubleProcess server;
    QString myId;
    QString otherId;
    QHash<QString, QString> albums; // by name

    bool start(const QString& dialect)
    {
        if (!server.start({u"--dialect"_s, dialect, u"--user"_s, kMe + u":pw:me-key"_s, u"--user"_s,
                           kOther + u":pw:other-key"_s}))
            return false;
        const QJsonArray users = server.control("GET", u"/_double/users"_s).array();
        for (const QJsonValue& u : users) {
            if (u[QLatin1String("email")].toString() == kMe)
                myId = u[QLatin1String("id")].toString();
            if (u[QLatin1String("email")].toString() == kOther)
                otherId = u[QLatin1String("id")].toString();
        }
        const QString mine1 =
            server.addAsset(assetFor(kMe, u"m1.jpg"_s, u"2021-01-01T00:00:00.000Z"_s));
        const QString mine2 =
            server.addAsset(assetFor(kMe, u"m2.jpg"_s, u"2023-01-01T00:00:00.000Z"_s));
        const QString theirs =
            server.addAsset(assetFor(kOther, u"o1.jpg"_s, u"2022-01-01T00:00:00.000Z"_s));
        const auto member = [](const QString& email, const char* role) {
            return QJsonObject{{u"email"_s, email}, {u"role"_s, QLatin1String(role)}};
        };
        const auto album = [&](const QString& owner, const QString& name, const QStringList& assets,
                               const QJsonArray& members) {
            albums[name] = server.addAlbum({{u"owner"_s, owner},
                                            {u"albumName"_s, name},
                                            {u"assetIds"_s, QJsonArray::fromStringList(assets)},
                                            {u"members"_s, members}});
        };
        album(kMe, u"Private"_s, {mine1, mine2}, {});
        album(kMe, u"Mine, shared"_s, {mine2}, {member(kOther, "viewer")});
        album(kOther, u"Theirs, with me"_s, {theirs}, {member(kMe, "editor")});
        album(kOther, u"Theirs alone"_s, {theirs}, {});
        server.reset();
        return !myId.isEmpty();
    }
    ImmichClient client() const { return ImmichClient(server.url(), u"me-key"_s); }
};

} // namespace

class TestImmichClientListing : public QObject {
    Q_OBJECT

    RecordingServer m_server;
    Library m_classic;
    Library m_v3;

    ImmichClient scripted() const { return ImmichClient(m_server.url(), u"key"_s); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_classic.start(u"classic"_s));
        QVERIFY(m_v3.start(u"v3"_s));
    }
    void init() { m_server.clear(); }
    void pagesAreFollowedInOrder_data()
    {
        // Answers by page number; the listing must be a, b, c whatever else the bodies say.
        QTest::addColumn<PageAnswers>("pages");
        QTest::addColumn<QList<int>>("followed");
        QTest::addColumn<int>("requests"); // one page past the next is asked for ahead
        const QByteArray last = page({assetJson("c")}, "null");
        QTest::newRow("one after the other")
            << PageAnswers{{1, page({assetJson("a"), assetJson("b")}, R"("2")")}, {2, last}}
            << QList<int>{1, 2} << 3;
        QTest::newRow("numbers skipped")
            << PageAnswers{{1, page({assetJson("a"), assetJson("b")}, R"("5")")}, {5, last}}
            << QList<int>{1, 5} << 3;
        // The next page is guessed from the end of a body before it is decoded: a guess that the
        // body contradicts must change nothing but wasted requests.
        QByteArray misleading = page({assetJson("a"), assetJson("b")}, R"("2")");
        misleading.chop(1);
        misleading += R"(,"other":{"nextPage":"7"}})";
        QTest::newRow("misleading guess")
            << PageAnswers{{1, misleading}, {2, last}, {7, page({assetJson("wrong")}, "null")}}
            << QList<int>{1, 2} << 4;
    }
    void pagesAreFollowedInOrder()
    {
        QFETCH(PageAnswers, pages);
        QFETCH(QList<int>, followed);
        QFETCH(int, requests);
        m_server.setScript([pages](const RecordingServer::Request& r) -> RecordingServer::Answer {
            const int number = QJsonDocument::fromJson(r.body)[QLatin1String("page")].toInt();
            return {pages.contains(number) ? 200 : 400, pages.value(number, "{}")};
        });
        Awaited<QList<ImmichAsset>> search;
        QStringList observed; // pages arrive one at a time, in order
        scripted().searchAssets(search.completion(), [&observed](const QList<ImmichAsset>& page) {
            observed.append(assetIds(page).join(u','));
        });
        const Result<QList<ImmichAsset>> result = search.wait();
        QVERIFY2(result.ok(), describe(result));
        QCOMPARE(assetIds(result.value()), QStringList({"a", "b", "c"}));
        QCOMPARE(observed, QStringList({"a,b", "c"}));
        const auto asked = [this] {
            QList<int> numbers;
            for (const RecordingServer::Request& r : m_server.requests())
                numbers.append(QJsonDocument::fromJson(r.body)[QLatin1String("page")].toInt());
            return numbers;
        };
        // Wasted requests may still be on their way: waited for, so no later test sees them.
        QTRY_COMPARE(asked().size(), requests);
        QList<int> inOrder = asked();
        inOrder.removeIf([&](int number) { return !followed.contains(number); });
        QCOMPARE(inOrder, followed);
    }
    void pageFailureFailsTheWhole_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("secondPage");
        QTest::addColumn<QString>("domain");
        QTest::addColumn<int>("code");
        QTest::newRow("asset without fileCreatedAt")
            << 200 << page({assetJson("c"), assetJson("d", false)}, "null") << ErrorDomain::Decoding
            << 0;
        QTest::newRow("server error")
            << 500 << QByteArray(R"({"message":"x"})") << ErrorDomain::Client << 500;
        // A server that sends the chain back to a page it gave would never let it end.
        QTest::newRow("next page does not move on")
            << 200 << page({assetJson("c")}, R"("2")") << ErrorDomain::Decoding << 0;
    }
    void pageFailureFailsTheWhole()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, secondPage);
        QFETCH(QString, domain);
        QFETCH(int, code);
        m_server.setScript([=](const RecordingServer::Request& r) -> RecordingServer::Answer {
            if (QJsonDocument::fromJson(r.body)[QLatin1String("page")].toInt() == 1)
                return {200, page({assetJson("a"), assetJson("b")}, R"("2")")};
            return {status, secondPage};
        });
        Awaited<QList<ImmichAsset>> search;
        scripted().searchAssets(search.completion());
        const Result<QList<ImmichAsset>> result = search.wait();
        QVERIFY(!result.ok());
        QCOMPARE(result.error().domain, domain);
        QCOMPARE(result.error().code, code);
        // Pages 1 and 2, and 3 asked for ahead.
        QTRY_COMPARE(m_server.requests().size(), 3);
    }
    void albumListings_data()
    {
        QTest::addColumn<bool>("shared");
        QTest::addColumn<QStringList>("names");
        QTest::newRow("own") << false << QStringList{"Mine, shared", "Private"};
        QTest::newRow("shared with me") << true << QStringList{"Theirs, with me"};
    }
    void albumListings()
    {
        QFETCH(bool, shared);
        QFETCH(QStringList, names);
        QMap<QString, QStringList> byDialect;
        CurrentUserIdCache users;
        for (Library* library : {&m_classic, &m_v3}) {
            Awaited<QList<ImmichAlbum>> listing;
            library->client().listAlbums(shared, users, listing.completion());
            const Result<QList<ImmichAlbum>> result = listing.wait();
            QVERIFY2(result.ok(), describe(result));
            QStringList got;
            QStringList summaries;
            for (const ImmichAlbum& album : result.value()) {
                got.append(album.albumName);
                summaries.append(albumSummary(album, library->myId));
            }
            got.sort();
            QCOMPARE(got, names);
            // Ids differ between the two servers; names keep them apart.
            for (auto it = library->albums.cbegin(); it != library->albums.cend(); ++it)
                summaries.replaceInStrings(it.value(), it.key());
            summaries.replaceInStrings(library->myId, u"me"_s);
            summaries.replaceInStrings(library->otherId, u"other"_s);
            summaries.sort();
            byDialect[library == &m_classic ? "classic" : "v3"] = summaries;
        }
        QCOMPARE(byDialect["v3"], byDialect["classic"]);
        for (const QString& s : byDialect["classic"])
            QVERIFY2(!s.contains(u'?'), qPrintable(s)); // the owner is known in both
    }
    void albumDetailInBothDialects_data()
    {
        QTest::addColumn<QString>("album");
        QTest::addColumn<QStringList>("files");
        QTest::newRow("own") << "Private" << QStringList{"m2.jpg", "m1.jpg"};
        QTest::newRow("shared with me") << "Theirs, with me" << QStringList{"o1.jpg"};
    }
    void albumDetailInBothDialects()
    {
        QFETCH(QString, album);
        QFETCH(QStringList, files);
        for (Library* library : {&m_classic, &m_v3}) {
            library->server.reset();
            Awaited<ImmichAlbumDetail> detail;
            library->client().getAlbum(library->albums[album], detail.completion());
            const Result<ImmichAlbumDetail> result = detail.wait();
            QVERIFY2(result.ok(), describe(result));
            QCOMPARE(result.value().id, library->albums[album]);
            QCOMPARE(result.value().albumName, album);
            QVERIFY(result.value().ownerId.has_value());
            QStringList got;
            for (const ImmichAsset& a : result.value().assets)
                got.append(a.originalFileName);
            QCOMPARE(got, files);

            // Current servers leave the assets out: they come from the search for that album.
            int searches = 0;
            const QJsonArray requests = library->server.requests();
            for (const QJsonValue& r : requests) {
                if (r[QLatin1String("path")].toString() != u"/api/search/metadata")
                    continue;
                ++searches;
                const QJsonObject body =
                    QJsonDocument::fromJson(r[QLatin1String("body")].toString().toUtf8()).object();
                QCOMPARE(body[QLatin1String("albumIds")].toArray(),
                         QJsonArray{library->albums[album]});
            }
            QCOMPARE(searches, library == &m_v3 ? 1 : 0);
        }
    }
    void failedUserLookupFailsTheListing()
    {
        // A fresh key: nothing cached for it yet.
        m_server.setScript([](const RecordingServer::Request& r) -> RecordingServer::Answer {
            if (r.path == "/api/users/me")
                return {401, R"({"message":"Invalid API key"})"};
            return {200, "[]"};
        });
        Awaited<QList<ImmichAlbum>> listing;
        CurrentUserIdCache users;
        ImmichClient(m_server.url(), u"unknown-key"_s)
            .listAlbums(true, users, listing.completion());
        const Result<QList<ImmichAlbum>> result = listing.wait();
        QVERIFY(!result.ok());
        QVERIFY(ClientError::isHttp(result.error(), 401));
        QCOMPARE(m_server.requests().size(), 1);
    }
    void userIdIsAskedOncePerServerAndKey()
    {
        m_server.setScript([](const RecordingServer::Request& r) -> RecordingServer::Answer {
            if (r.path == "/api/users/me")
                return {200, R"({"id":"user-)" + r.headers.value("x-api-key") + R"("})"};
            return {200, "[]"};
        });
        const auto countUserLookups = [this] {
            const QList<RecordingServer::Request> requests = m_server.requests();
            return std::count_if(requests.cbegin(), requests.cend(),
                                 [](const auto& r) { return r.path == "/api/users/me"; });
        };
        CurrentUserIdCache users;
        for (const char* key : {"key-a", "key-a", "key-b", "key-a"}) {
            Awaited<QList<ImmichAlbum>> listing;
            ImmichClient(m_server.url(), QLatin1String(key))
                .listAlbums(false, users, listing.completion());
            QVERIFY(listing.wait().ok());
        }
        QCOMPARE(countUserLookups(), 2);
        const ImmichClient b(m_server.url(), u"key-b"_s);
        QCOMPARE(users.get(b), std::optional<QString>("user-key-b"));
    }
};

QTEST_GUILESS_MAIN(TestImmichClientListing)
#include "TestImmichClientListing.moc"
