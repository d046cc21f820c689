// Album listings of the double in the classic dialect, and album access by role.
#include "DoubleHttp.h"
#include "ImmichDoubleProcess.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QTest>

using immichdouble::testing::Answer;
using immichdouble::testing::DoubleHttp;
using pixavella::testing::ImmichDoubleProcess;

namespace {

QStringList albumNames(const QJsonArray& albums)
{
    QStringList names;
    for (const QJsonValue& album : albums)
        names << album[QLatin1String("albumName")].toString();
    return names;
}

QJsonObject asset(const QString& owner, const QString& name, const QString& createdAt)
{
    return {{QStringLiteral("owner"), owner},
            {QStringLiteral("originalFileName"), name},
            {QStringLiteral("base64"), QString::fromLatin1((owner + name).toUtf8().toBase64())},
            {QStringLiteral("fileCreatedAt"), createdAt}};
}

} // namespace

class TestImmichDoubleAlbums : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void classicListingFiltersByShared_data();
    void classicListingFiltersByShared();
    void accessFollowsRole_data();
    void accessFollowsRole();

private:
    ImmichDoubleProcess m_double;
    QHash<QString, QString> m_ids; // albums and assets by name
};

void TestImmichDoubleAlbums::initTestCase()
{
    QVERIFY(m_double.start({QStringLiteral("--dialect"), QStringLiteral("classic"),
                            QStringLiteral("--user"), QStringLiteral("a@x.test:pw:key-a"),
                            QStringLiteral("--user"), QStringLiteral("b@x.test:pw:key-b"),
                            QStringLiteral("--user"), QStringLiteral("c@x.test:pw:key-c")}));

    const QString a = QStringLiteral("a@x.test");
    const QString b = QStringLiteral("b@x.test");
    const QString c = QStringLiteral("c@x.test");
    m_ids["old"] = m_double.addAsset(
        asset(a, QStringLiteral("old.jpg"), QStringLiteral("2020-01-01T00:00:00.000Z")));
    m_ids["new"] = m_double.addAsset(
        asset(a, QStringLiteral("new.jpg"), QStringLiteral("2024-01-01T00:00:00.000Z")));
    m_ids["a-spare"] = m_double.addAsset(
        asset(a, QStringLiteral("spare.jpg"), QStringLiteral("2022-01-01T00:00:00.000Z")));
    m_ids["b-photo"] = m_double.addAsset(
        asset(b, QStringLiteral("b.jpg"), QStringLiteral("2023-01-01T00:00:00.000Z")));
    const auto member = [](const QString& email, const char* role) {
        return QJsonObject{{QStringLiteral("email"), email},
                           {QStringLiteral("role"), QLatin1String(role)}};
    };
    const auto album = [&](const QString& owner, const QString& name, const QStringList& assets,
                           const QJsonArray& members) {
        QJsonArray ids;
        for (const QString& key : assets)
            ids.append(m_ids.value(key));
        m_ids[name] = m_double.addAlbum({{QStringLiteral("owner"), owner},
                                         {QStringLiteral("albumName"), name},
                                         {QStringLiteral("assetIds"), ids},
                                         {QStringLiteral("members"), members}});
    };
    album(a, QStringLiteral("Mine"), {QStringLiteral("old"), QStringLiteral("new")}, {});
    album(a, QStringLiteral("Mine shared"), {}, {member(b, "viewer")});
    album(b, QStringLiteral("From B, editor"), {QStringLiteral("b-photo")}, {member(a, "editor")});
    album(b, QStringLiteral("From B, viewer"), {QStringLiteral("b-photo")}, {member(a, "viewer")});
    album(c, QStringLiteral("Foreign"), {}, {member(b, "viewer")});
    for (const QString& id : std::as_const(m_ids))
        QVERIFY(!id.isEmpty());
}

void TestImmichDoubleAlbums::classicListingFiltersByShared_data()
{
    QTest::addColumn<QString>("query");
    QTest::addColumn<QStringList>("albums");
    QTest::newRow("own albums") << QString() << QStringList{"Mine shared", "Mine"};
    QTest::newRow("shared=true: own shared and shared with the user")
        << QStringLiteral("?shared=true")
        << QStringList{"From B, viewer", "From B, editor", "Mine shared"};
    QTest::newRow("shared=false: own unshared")
        << QStringLiteral("?shared=false") << QStringList{"Mine"};
}

void TestImmichDoubleAlbums::classicListingFiltersByShared()
{
    QFETCH(QString, query);
    QFETCH(QStringList, albums);
    const Answer answer =
        DoubleHttp(m_double.port(), "key-a").get(QStringLiteral("/api/albums") + query);
    QCOMPARE(answer.status, 200);
    QCOMPARE(albumNames(answer.json().array()), albums);
}

void TestImmichDoubleAlbums::accessFollowsRole_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QString>("album");
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QString>("asset"); // sent as {"ids":[asset]} when not empty
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("expected"); // message, or the per-id error ("" for success)

    const QString assets = QStringLiteral("/assets");
    QTest::newRow("stranger cannot read")
        << QByteArray("key-a") << QByteArray("GET") << "Foreign" << QString() << QString() << 400
        << "Not found or no album.read access";
    QTest::newRow("viewer cannot remove")
        << QByteArray("key-a") << QByteArray("DELETE") << "From B, viewer" << assets << "b-photo"
        << 400 << "Not found or no albumAsset.delete access";
    QTest::newRow("viewer cannot add")
        << QByteArray("key-a") << QByteArray("PUT") << "From B, viewer" << assets << "a-spare"
        << 400 << "Not found or no albumAsset.create access";
    QTest::newRow("editor adds own asset")
        << QByteArray("key-a") << QByteArray("PUT") << "From B, editor" << assets << "a-spare"
        << 200 << QString();
    QTest::newRow("editor cannot take out the owner's asset")
        << QByteArray("key-a") << QByteArray("DELETE") << "From B, editor" << assets << "b-photo"
        << 200 << "no_permission";
    QTest::newRow("cannot add what one cannot see")
        << QByteArray("key-c") << QByteArray("PUT") << "Foreign" << assets << "old" << 200
        << "no_permission";
    QTest::newRow("editor cannot rename")
        << QByteArray("key-a") << QByteArray("PATCH") << "From B, editor" << QString() << QString()
        << 400 << "Not found or no album.update access";
}

void TestImmichDoubleAlbums::accessFollowsRole()
{
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, method);
    QFETCH(QString, album);
    QFETCH(QString, suffix);
    QFETCH(QString, asset);
    QFETCH(int, status);
    QFETCH(QString, expected);

    const DoubleHttp http(m_double.port(), key);
    const QString path = QStringLiteral("/api/albums/") + m_ids.value(album) + suffix;
    QJsonObject body;
    if (!asset.isEmpty())
        body.insert(QStringLiteral("ids"), QJsonArray{m_ids.value(asset)});
    if (method == "PATCH")
        body.insert(QStringLiteral("albumName"), QStringLiteral("Renamed"));
    const Answer answer =
        body.isEmpty() ? http.send(method, path) : http.json(method, path, QJsonDocument(body));
    QCOMPARE(answer.status, status);
    if (status != 200) {
        QCOMPARE(answer.json().object().value(QLatin1String("message")).toString(), expected);
    } else if (!asset.isEmpty()) {
        const QJsonObject result = answer.json().array().first().toObject();
        QCOMPARE(result.value(QLatin1String("id")).toString(), m_ids.value(asset));
        QCOMPARE(result.value(QLatin1String("success")).toBool(), expected.isEmpty());
        QCOMPARE(result.value(QLatin1String("error")).toString(), expected);
    }
}

QTEST_GUILESS_MAIN(TestImmichDoubleAlbums)
#include "TestImmichDoubleAlbums.moc"
