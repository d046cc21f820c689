// Replays the requests behind the answers recorded from a real Immich 3 server against the
// double in the v3 dialect, on a library built like the recorded one, and compares each answer
// with its recording: status, content type, and the same keys holding the same JSON types at
// every level (ids, dates and sizes may differ). Then the answers the server was observed to
// give beyond the recordings: the change feed, album changes, edits, storage, thumbnails and
// uploaded file names.
#include "DoubleHttp.h"
#include "ImmichDoubleProcess.h"
#include "SampleMedia.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QUuid>

#include <sys/statvfs.h>

#include <cstdlib>
#include <optional>
#include <tuple>

using namespace immichdouble::testing;
using namespace Qt::StringLiterals;
using pixavella::testing::ImmichDoubleProcess;

namespace {

const char* typeName(const QJsonValue& value)
{
    static const char* const names[] = {"null", "bool", "number", "string", "array", "object"};
    return value.type() <= QJsonValue::Object ? names[value.type()] : "undefined";
}

// Where `actual` departs from `recorded` in keys or value types, recursively. Arrays are
// compared element by element when the recording has elements.
void shapeDifferences(const QJsonValue& recorded, const QJsonValue& actual, const QString& where,
                      QStringList& out)
{
    if (recorded.type() != actual.type()) {
        out << u"%1: %2 recorded, %3 answered"_s.arg(where, QLatin1String(typeName(recorded)),
                                                     QLatin1String(typeName(actual)));
        return;
    }
    if (recorded.isObject()) {
        const QJsonObject r = recorded.toObject();
        const QJsonObject a = actual.toObject();
        for (auto it = r.begin(); it != r.end(); ++it) {
            if (!a.contains(it.key()))
                out << u"%1.%2: missing"_s.arg(where, it.key());
            else
                shapeDifferences(it.value(), a.value(it.key()), where + '.' + it.key(), out);
        }
        for (auto it = a.begin(); it != a.end(); ++it) {
            if (!r.contains(it.key()))
                out << u"%1.%2: not in the recording"_s.arg(where, it.key());
        }
    } else if (recorded.isArray()) {
        const QJsonArray r = recorded.toArray();
        const QJsonArray a = actual.toArray();
        if (r.isEmpty())
            return;
        if (r.size() != a.size()) {
            out << u"%1: %2 elements recorded, %3 answered"_s.arg(where).arg(r.size()).arg(
                a.size());
            return;
        }
        for (qsizetype i = 0; i < r.size(); ++i)
            shapeDifferences(r[i], a[i], u"%1[%2]"_s.arg(where).arg(i), out);
    }
}

struct Upload {
    QByteArray fileName;
    QByteArray bytes;
    QByteArray createdAt;
};

QJsonObject ids(const QStringList& list, std::optional<bool> force = std::nullopt)
{
    QJsonObject body{{"ids"_L1, QJsonArray::fromStringList(list)}};
    if (force)
        body.insert("force"_L1, *force);
    return body;
}

QJsonObject member(const QString& userId, const char* role)
{
    return {{"userId"_L1, userId}, {"role"_L1, QLatin1String(role)}};
}

Answer uploadAs(const DoubleHttp& http, const QByteArray& fileParameter, const QByteArray& bytes,
                const QByteArray& createdAt = "2024-03-15T10:00:00.000Z")
{
    const MultipartBody body = uploadBodyWith(fileParameter, bytes, createdAt);
    return http.send("POST", u"/api/assets"_s, body.body, body.contentType);
}

QString uploadPhoto(const DoubleHttp& http, const QByteArray& name, const QByteArray& bytes,
                    const QByteArray& createdAt = "2024-03-15T10:00:00.000Z")
{
    return uploadAs(http, "filename=\"" + name + '"', bytes, createdAt).id();
}

QJsonArray searchItems(const DoubleHttp& http, QJsonObject body)
{
    body.insert("withExif"_L1, true);
    return http.json("POST", u"/api/search/metadata"_s, body)
        .json()["assets"_L1]["items"_L1]
        .toArray();
}

QStringList idsOf(const QJsonArray& items)
{
    QStringList list;
    for (const QJsonValue& item : items)
        list << item["id"_L1].toString();
    list.sort();
    return list;
}

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

qint64 msOf(const QJsonValue& date)
{
    return QDateTime::fromString(date.toString(), Qt::ISODateWithMs).toMSecsSinceEpoch();
}

QString isoOf(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
}

// Times of the server's clock, which the test shares: lets the next change fall in a later
// millisecond than the last one seen.
void nextMillisecond()
{
    QThread::msleep(3);
}

QJsonObject albumListed(const DoubleHttp& http, const QString& id)
{
    for (const QJsonValue& album : http.get(u"/api/albums"_s).json().array()) {
        if (album["id"_L1].toString() == id)
            return album.toObject();
    }
    return {};
}

} // namespace

class TestImmichDoubleContract : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void answerMatchesRecording_data();
    void answerMatchesRecording();
    void searchAndUploadsMatchTheRecording();

    void changeFeedFollowsEveryChangeOfAnAsset();
    void albumsCarryTheirUpdateAndCount();
    void editedCaptureDateMovesThePhoto();
    void copyHandsOverAlbumsFavouriteAndSidecar();
    void editsAndCopiesAreRefused_data();
    void editsAndCopiesAreRefused();
    void storageDescribesTheDataFolderDisk();
    void thumbnailsHaveTheServersSizesAndType_data();
    void thumbnailsHaveTheServersSizesAndType();
    void missingThumbnailsAnswer404();
    void uploadedFileNamesAreKeptAsTheServerDoes_data();
    void uploadedFileNamesAreKeptAsTheServerDoes();
    void trafficCountsEachAnswersBytesOnTheWire();

private:
    // Where `answer` departs from the keys and types of a recorded body of the same kind, a
    // value the recording left null may be set; nothing without samples.
    QStringList shapeAgainst(const QString& sample, const QJsonValue& answer) const
    {
        QStringList differences;
        if (m_recorded.contains(sample))
            shapeDifferences(m_recorded.value(sample).value("body"_L1), answer, u"body"_s,
                             differences);
        differences.removeIf([](const QString& line) { return line.contains("null recorded"_L1); });
        return differences;
    }
    void replay();
    void record(const QString& sample, const Answer& answer) { m_answers.insert(sample, answer); }
    QJsonObject recordedBody(const QString& sample) const
    {
        return m_recorded.value(sample).value("request"_L1)["body"_L1].toObject();
    }
    QString upload(const DoubleHttp& http, const Upload& file, const QString& sample = {})
    {
        const MultipartBody body = uploadBody(file.fileName, file.bytes, file.createdAt);
        const Answer answer = http.send("POST", u"/api/assets"_s, body.body, body.contentType);
        if (!sample.isEmpty())
            record(sample, answer);
        return answer.id();
    }
    QString createAlbum(const DoubleHttp& http, const QString& name, const QJsonArray& members = {},
                        const QString& sample = {})
    {
        QJsonObject body{{"albumName"_L1, name}};
        if (!members.isEmpty())
            body.insert("albumUsers"_L1, members);
        const Answer answer = http.json("POST", u"/api/albums"_s, body);
        if (!sample.isEmpty())
            record(sample, answer);
        return answer.id();
    }

    QDir m_samples;
    QHash<QString, QJsonObject> m_recorded;
    QHash<QString, Answer> m_answers;
    QHash<QByteArray, QString> m_assetIds; // by file name
    QList<Upload> m_uploads;
    ImmichDoubleProcess m_double;
};

void TestImmichDoubleContract::initTestCase()
{
    const QString source = qEnvironmentVariable("PIXAVELLA_SOURCE_DIR");
    m_samples = QDir(source + u"/../shared/immich-v3-samples"_s);
    if (source.isEmpty() || !m_samples.exists()) {
        qWarning("No recorded Immich answers at %s (the shared/ folder beside the repository): "
                 "only the answers observed beyond them are checked",
                 qPrintable(m_samples.path()));
        return;
    }
    const QStringList files = m_samples.entryList({u"*.json"_s}, QDir::Files);
    QVERIFY(!files.isEmpty());
    for (const QString& name : files) {
        QFile file(m_samples.filePath(name));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QJsonObject sample = QJsonDocument::fromJson(file.readAll()).object();
        QVERIFY2(sample.contains("status"_L1), qPrintable(name));
        m_recorded.insert(name.chopped(5), sample);
    }
    QVERIFY(m_double.start({u"--dialect"_s, u"v3"_s, u"--user"_s, u"admin@example.com:admin-pw"_s,
                            u"--user"_s, u"u2@example.com:u2-pw:u2-key"_s}));
    replay();
}

// The session the recordings come from, in its order.
void TestImmichDoubleContract::replay()
{
    DoubleHttp anonymous(m_double.port(), {});
    const auto login = [&](const QString& password) {
        return anonymous.json("POST", u"/api/auth/login"_s,
                              {{"email"_L1, "admin@example.com"_L1}, {"password"_L1, password}});
    };
    record(u"auth-login-wrong-password"_s, login(u"not-the-password"_s));
    const Answer session = login(u"admin-pw"_s);
    record(u"auth-login"_s, session);
    const QByteArray token = session.json()["accessToken"_L1].toString().toLatin1();
    const QString adminId = session.json()["userId"_L1].toString();

    const Answer created = anonymous.send(
        "POST", u"/api/api-keys"_s, QJsonDocument(recordedBody(u"api-keys-create"_s)).toJson(),
        "application/json", {{"Authorization", "Bearer " + token}});
    record(u"api-keys-create"_s, created);
    const QByteArray key = created.json()["secret"_L1].toString().toLatin1();
    const QString keyId = created.json()["apiKey"_L1]["id"_L1].toString();
    QVERIFY(!key.isEmpty());
    const DoubleHttp admin(m_double.port(), key);
    const DoubleHttp u2(m_double.port(), "u2-key");
    const QString u2Id = u2.get(u"/api/users/me"_s).id();

    record(u"users-me"_s, admin.get(u"/api/users/me"_s));
    record(u"error-no-credentials"_s, anonymous.get(u"/api/users/me"_s));
    record(u"error-wrong-api-key"_s, DoubleHttp(m_double.port(), "no-key").get(u"/api/users/me"_s));
    record(u"server-version"_s, anonymous.get(u"/api/server/version"_s));

    m_uploads = {
        {"a_2023_12.jpg", sampleJpeg("2023:12:31 23:30:00", 640, 480, "a"), "2023-12-31T23:30:00Z"},
        {"b_2024_03.jpg", sampleJpeg("2024:03:15 10:11:12", 640, 480, "b"), "2024-03-15T10:11:12Z"},
        {"c_2024_03.jpg", sampleJpeg("2024:03:20 08:00:00", 640, 480, "c"), "2024-03-20T08:00:00Z"},
        {"IMG_0001.HEIC", sampleIsoMedia("heic", "heic"), "2022-07-14T12:00:00Z"},
        {"clip.mp4", sampleIsoMedia("mp42", "clip"), "2024-01-02T03:04:05Z"},
        // Without EXIF the sent creation date is the capture date.
        {"d_noexif.jpg", sampleJpeg({}, 640, 480, "d"), "2021-06-01T09:00:00Z"},
    };
    for (qsizetype i = 0; i < m_uploads.size(); ++i) {
        const QByteArray name = m_uploads[i].fileName;
        const QString sample =
            i == 0 ? u"upload-created"_s
                   : u"upload-other-"_s + QString::fromLatin1(name).replace('.', '_');
        m_assetIds.insert(name, upload(admin, m_uploads[i], sample));
    }
    upload(admin, m_uploads[0], u"upload-duplicate"_s);

    const auto search = [&](const QString& sample, const QJsonObject& body) {
        record(sample, admin.json("POST", u"/api/search/metadata"_s, body));
    };
    for (const QString& sample : {u"search-metadata"_s, u"search-metadata-page1-of-several"_s,
                                  u"error-search-size-too-big"_s})
        search(sample, recordedBody(sample));

    const QString b = m_assetIds.value("b_2024_03.jpg");
    const QString c = m_assetIds.value("c_2024_03.jpg");
    const QString d = m_assetIds.value("d_noexif.jpg");
    record(u"asset-get"_s, admin.get(u"/api/assets/"_s + m_assetIds.value("IMG_0001.HEIC")));
    record(u"asset-original"_s, admin.get(u"/api/assets/%1/original"_s.arg(b)));
    record(u"asset-thumbnail"_s, admin.get(u"/api/assets/%1/thumbnail?size=thumbnail"_s.arg(b)));
    record(u"assets-statistics"_s, admin.get(u"/api/assets/statistics"_s));
    record(u"error-asset-not-found"_s,
           admin.get(u"/api/assets/"_s + QUuid::createUuid().toString(QUuid::WithoutBraces)));

    // Albums of the second user made before the session.
    createAlbum(u2, u"U2SharedViewer"_s, {member(adminId, "viewer")});
    createAlbum(u2, u"U2SharedEditor"_s, {member(adminId, "editor")});

    const QString vacances = createAlbum(admin, u"Vacances"_s, {}, u"albums-create"_s);
    const QString vacancesAssets = u"/api/albums/%1/assets"_s.arg(vacances);
    record(u"albums-add-assets"_s, admin.json("PUT", vacancesAssets, ids({b, c})));
    record(u"albums-add-assets-already-there"_s, admin.json("PUT", vacancesAssets, ids({b})));
    record(u"albums-rename"_s, admin.json("PATCH", u"/api/albums/"_s + vacances,
                                          {{"albumName"_L1, "Vacances 2024"_L1}}));
    record(u"albums-get"_s, admin.get(u"/api/albums/"_s + vacances));

    createAlbum(admin, u"Partagé par moi"_s, {member(u2Id, "viewer")});
    // The same bytes, another owner: not a duplicate.
    const QString u2Asset = upload(u2, m_uploads[1]);
    const QString reader = createAlbum(u2, u"De U2 (lecteur)"_s, {member(adminId, "viewer")});
    u2.json("PUT", u"/api/albums/%1/assets"_s.arg(reader), ids({u2Asset}));
    createAlbum(u2, u"De U2 (éditeur)"_s, {member(adminId, "editor")});

    record(u"albums-list"_s, admin.get(u"/api/albums"_s));
    record(u"albums-list-shared-true"_s, admin.get(u"/api/albums?shared=true"_s));
    QJsonObject sharedSearch = recordedBody(u"search-metadata-shared-album"_s);
    sharedSearch.insert("albumIds"_L1, QJsonArray{reader});
    search(u"search-metadata-shared-album"_s, sharedSearch);
    record(u"albums-remove-assets-not-allowed"_s,
           admin.json("DELETE", u"/api/albums/%1/assets"_s.arg(reader), ids({u2Asset})));
    record(
        u"albums-remove-assets"_s,
        admin.json("DELETE", vacancesAssets, ids({c, u"00000000-0000-4000-8000-000000000000"_s})));

    record(u"assets-trash"_s, admin.json("DELETE", u"/api/assets"_s, ids({d}, false)));
    record(u"asset-get-trashed"_s, admin.get(u"/api/assets/"_s + d));
    upload(admin, m_uploads[5], u"upload-duplicate-of-trashed"_s);
    QVERIFY2(admin.get(u"/api/assets/"_s + d).json()["isTrashed"_L1].toBool(),
             "a duplicate upload of a trashed asset leaves it in the trash");
    record(u"trash-restore"_s, admin.json("POST", u"/api/trash/restore/assets"_s, ids({d})));

    record(u"albums-delete"_s, admin.send("DELETE", u"/api/albums/"_s + vacances));
    record(u"error-album-after-delete"_s, admin.get(u"/api/albums/"_s + vacances));
    record(u"api-keys-delete"_s, admin.send("DELETE", u"/api/api-keys/"_s + keyId));
    record(u"error-revoked-key"_s, admin.get(u"/api/users/me"_s));
}

void TestImmichDoubleContract::answerMatchesRecording_data()
{
    if (m_recorded.isEmpty())
        QSKIP("no recorded answers");
    QTest::addColumn<QString>("sample");
    QStringList names = m_recorded.keys();
    names.sort();
    for (const QString& name : names)
        QTest::newRow(qPrintable(name)) << name;
}

void TestImmichDoubleContract::answerMatchesRecording()
{
    QFETCH(QString, sample);
    QVERIFY2(m_answers.contains(sample), "no request of the replay stands for this recording");
    const QJsonObject recorded = m_recorded.value(sample);
    const Answer answer = m_answers.value(sample);

    QCOMPARE(answer.status, recorded.value("status"_L1).toInt());
    const QJsonValue contentType = recorded.value("content-type"_L1);
    const QJsonValue body = recorded.value("body"_L1);
    if (contentType.isNull()) {
        QVERIFY2(answer.body.isEmpty(), answer.body.constData());
        return;
    }
    QCOMPARE(QString::fromLatin1(answer.contentType), contentType.toString());
    if (body.isObject() && body.toObject().contains("<bytes>"_L1)) {
        QVERIFY(!answer.body.isEmpty());
        return;
    }
    const QJsonDocument document = answer.json();
    QVERIFY2(!document.isNull(), answer.body.constData());
    QStringList differences;
    shapeDifferences(
        body, document.isArray() ? QJsonValue(document.array()) : QJsonValue(document.object()),
        u"body"_s, differences);
    QVERIFY2(differences.isEmpty(), qPrintable(differences.join('\n')));
}

// Beyond shapes: the library newest first with the recorded paging, each item's checksum, size
// and capture date, and duplicate uploads naming the asset they repeat.
void TestImmichDoubleContract::searchAndUploadsMatchTheRecording()
{
    if (m_recorded.isEmpty())
        QSKIP("no recorded answers");
    const auto names = [](const QJsonValue& body) {
        QStringList list;
        for (const QJsonValue& item : body["assets"_L1]["items"_L1].toArray())
            list << item["originalFileName"_L1].toString();
        return list;
    };
    for (const QString& sample : {u"search-metadata"_s, u"search-metadata-page1-of-several"_s}) {
        const QJsonObject answer = m_answers.value(sample).json().object();
        const QJsonValue recorded = m_recorded.value(sample).value("body"_L1);
        QCOMPARE(names(answer), names(recorded));
        for (const auto key : {"nextPage"_L1, "total"_L1})
            QCOMPARE(answer["assets"_L1][key], recorded["assets"_L1][key]);
    }

    const QJsonArray recorded =
        m_recorded.value(u"search-metadata"_s).value("body"_L1)["assets"_L1]["items"_L1].toArray();
    const QJsonArray items =
        m_answers.value(u"search-metadata"_s).json()["assets"_L1]["items"_L1].toArray();
    QCOMPARE(items.size(), m_uploads.size());
    for (qsizetype i = 0; i < items.size(); ++i) {
        const QJsonValue item = items[i];
        const auto upload = std::find_if(m_uploads.begin(), m_uploads.end(), [&](const Upload& u) {
            return u.fileName == item["originalFileName"_L1].toString().toLatin1();
        });
        QVERIFY(upload != m_uploads.end());
        QCOMPARE(item["checksum"_L1].toString().toLatin1(),
                 QCryptographicHash::hash(upload->bytes, QCryptographicHash::Sha1).toBase64());
        QCOMPARE(item["exifInfo"_L1]["fileSizeInByte"_L1].toInteger(), upload->bytes.size());
        for (const auto key : {"type"_L1, "originalMimeType"_L1, "fileCreatedAt"_L1})
            QCOMPARE(item[key], recorded[i][key]);
        QCOMPARE(item["exifInfo"_L1]["dateTimeOriginal"_L1],
                 recorded[i]["exifInfo"_L1]["dateTimeOriginal"_L1]);
    }

    QCOMPARE(m_answers.value(u"upload-duplicate"_s).id(), m_assetIds.value("a_2023_12.jpg"));
    QCOMPARE(m_answers.value(u"upload-duplicate-of-trashed"_s).id(),
             m_assetIds.value("d_noexif.jpg"));
}

// Every change of an asset row moves its updatedAt, which updatedAfter compares; trashed assets
// come with withDeleted, and deleted ones never.
void TestImmichDoubleContract::changeFeedFollowsEveryChangeOfAnAsset()
{
    ImmichDoubleProcess server;
    QVERIFY(server.start());
    const DoubleHttp http(server.port());
    const QString a = uploadPhoto(http, "a.jpg", sampleJpeg({}, 64, 48, "feed a"));
    const QString b = uploadPhoto(http, "b.jpg", sampleJpeg({}, 64, 48, "feed b"));
    const QString c = uploadPhoto(http, "c.jpg", sampleJpeg({}, 64, 48, "feed c"));
    const QJsonArray uploaded = searchItems(http, {});
    QCOMPARE(idsOf(uploaded), sorted({a, b, c}));
    const QRegularExpression millisUtc(u"^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z$"_s);
    qint64 t0 = 0;
    for (const QJsonValue& item : uploaded) {
        QVERIFY2(millisUtc.match(item["updatedAt"_L1].toString()).hasMatch(),
                 qPrintable(item["updatedAt"_L1].toString()));
        t0 = std::max(t0, msOf(item["updatedAt"_L1]) + 1);
    }
    nextMillisecond();

    QCOMPARE(http.json("DELETE", u"/api/assets"_s, ids({a}, false)).status, 204);
    QCOMPARE(http.json("PUT", u"/api/assets/"_s + b, {{"isFavorite"_L1, true}}).status, 200);
    const QString after = isoOf(t0);
    QCOMPARE(idsOf(searchItems(http, {{"updatedAfter"_L1, after}})), QStringList{b});
    const QJsonArray withDeleted =
        searchItems(http, {{"updatedAfter"_L1, after}, {"withDeleted"_L1, true}});
    QCOMPARE(idsOf(withDeleted), sorted({a, b}));
    for (const QJsonValue& item : withDeleted)
        QCOMPARE(item["isTrashed"_L1].toBool(), item["id"_L1].toString() == a);
    const auto statistics = [&http] {
        return http.get(u"/api/assets/statistics"_s).json()["images"_L1].toInt();
    };
    QCOMPARE(statistics(), 2);

    // Album membership changes the album, not the asset.
    const QString updatedBefore = http.get(u"/api/assets/"_s + c).json()["updatedAt"_L1].toString();
    const QString album = http.json("POST", u"/api/albums"_s, {{"albumName"_L1, "Feed"_L1}}).id();
    nextMillisecond();
    QCOMPARE(http.json("PUT", u"/api/albums/%1/assets"_s.arg(album), ids({c})).status, 200);
    QCOMPARE(http.get(u"/api/assets/"_s + c).json()["updatedAt"_L1].toString(), updatedBefore);

    const qint64 t1 = msOf(http.get(u"/api/assets/"_s + b).json()["updatedAt"_L1]) + 1;
    nextMillisecond();
    QCOMPARE(http.json("POST", u"/api/trash/restore/assets"_s, ids({a})).status, 200);
    const QJsonArray restored = searchItems(http, {{"updatedAfter"_L1, isoOf(t1)}});
    QCOMPARE(idsOf(restored), QStringList{a});
    QCOMPARE(restored[0]["isTrashed"_L1].toBool(), false);

    // Deleted for good, directly or by emptying the trash: gone from every answer.
    QCOMPARE(http.json("DELETE", u"/api/assets"_s, ids({c}, true)).status, 204);
    QCOMPARE(http.json("DELETE", u"/api/assets"_s, ids({b}, false)).status, 204);
    QCOMPARE(http.json("POST", u"/api/trash/empty"_s, {}).status, 200);
    QCOMPARE(idsOf(searchItems(http, {{"withDeleted"_L1, true}})), QStringList{a});
    QCOMPARE(idsOf(searchItems(http, {{"withDeleted"_L1, true}, {"updatedAfter"_L1, after}})),
             QStringList{a});
    QCOMPARE(http.get(u"/api/assets/"_s + c).status, 400);
    QCOMPARE(albumListed(http, album)["assetCount"_L1].toInt(), 0);
    QCOMPARE(statistics(), 1);
}

// updatedAt moves when the album is renamed or its assets change; assetCount leaves out the
// trash.
void TestImmichDoubleContract::albumsCarryTheirUpdateAndCount()
{
    ImmichDoubleProcess server;
    QVERIFY(server.start());
    const DoubleHttp http(server.port());
    const QString one = uploadPhoto(http, "one.jpg", sampleJpeg({}, 64, 48, "album one"));
    const QString two = uploadPhoto(http, "two.jpg", sampleJpeg({}, 64, 48, "album two"));
    const QString album = http.json("POST", u"/api/albums"_s, {{"albumName"_L1, "A"_L1}}).id();
    const QString assets = u"/api/albums/%1/assets"_s.arg(album);
    QJsonObject last = albumListed(http, album);
    QVERIFY(last["updatedAt"_L1].isString());
    QCOMPARE(last["assetCount"_L1].toInt(), 0);
    for (const auto& [method, path, body, count] :
         {std::tuple{"PUT", assets, ids({one, two}), 2},
          std::tuple{"PATCH", u"/api/albums/"_s.append(album),
                     QJsonObject{{"albumName"_L1, "B"_L1}}, 2},
          std::tuple{"DELETE", assets, ids({one}), 1}}) {
        nextMillisecond();
        QCOMPARE(http.json(method, path, body).status, 200);
        const QJsonObject now = albumListed(http, album);
        QVERIFY2(msOf(now["updatedAt"_L1]) > msOf(last["updatedAt"_L1]), method);
        QCOMPARE(now["assetCount"_L1].toInt(), count);
        last = now;
    }
    QCOMPARE(http.json("DELETE", u"/api/assets"_s, ids({two}, false)).status, 204);
    QCOMPARE(albumListed(http, album)["assetCount"_L1].toInt(), 0);
}

// The answer carries the new capture date at once; fileCreatedAt and localDateTime, and so
// the month the photo is found in, follow once the metadata job has run.
void TestImmichDoubleContract::editedCaptureDateMovesThePhoto()
{
    ImmichDoubleProcess server;
    QVERIFY(server.start({u"--metadata-delay"_s, u"400"_s}));
    const DoubleHttp http(server.port());
    const QString id =
        uploadPhoto(http, "edit.jpg", sampleJpeg("2024:03:15 10:00:00", 64, 48, "edit"));
    const Answer edited = http.json("PUT", u"/api/assets/"_s + id,
                                    {{"dateTimeOriginal"_L1, "2023-07-01T12:30:00.000+02:00"_L1}});
    QCOMPARE(edited.status, 200);
    const QJsonObject asset = edited.json().object();
    const QStringList differences = shapeAgainst(u"asset-get"_s, asset);
    QVERIFY2(differences.isEmpty(), qPrintable(differences.join('\n')));
    QCOMPARE(asset["exifInfo"_L1]["dateTimeOriginal"_L1].toString(),
             u"2023-07-01T10:30:00+00:00"_s);
    QCOMPARE(asset["fileCreatedAt"_L1].toString(), u"2024-03-15T10:00:00.000Z"_s);

    QTRY_COMPARE_WITH_TIMEOUT(
        http.get(u"/api/assets/"_s + id).json()["fileCreatedAt"_L1].toString(),
        u"2023-07-01T10:30:00.000Z"_s, 10000);
    const QJsonObject moved = http.get(u"/api/assets/"_s + id).json().object();
    QCOMPARE(moved["localDateTime"_L1].toString(), u"2023-07-01T12:30:00.000Z"_s);
    QCOMPARE(moved["exifInfo"_L1]["timeZone"_L1].toString(), u"UTC+2"_s);
    const auto month = [&](const char* from, const char* to) {
        return idsOf(searchItems(
            http, {{"takenAfter"_L1, QLatin1String(from)}, {"takenBefore"_L1, QLatin1String(to)}}));
    };
    QCOMPARE(month("2023-07-01T00:00:00.000Z", "2023-07-31T23:59:59.999Z"), QStringList{id});
    QCOMPARE(month("2024-03-01T00:00:00.000Z", "2024-03-31T23:59:59.999Z"), QStringList{});
}

// The server's replace: the new upload joins the old one's albums and takes its favourite and
// its edited metadata.
void TestImmichDoubleContract::copyHandsOverAlbumsFavouriteAndSidecar()
{
    ImmichDoubleProcess server;
    QVERIFY(server.start());
    const DoubleHttp http(server.port());
    const QString old = uploadPhoto(http, "old.jpg", sampleJpeg({}, 64, 48, "copy old"));
    const QString fresh = uploadPhoto(http, "new.jpg", sampleJpeg({}, 64, 48, "copy new"));
    const QString album = http.json("POST", u"/api/albums"_s, {{"albumName"_L1, "C"_L1}}).id();
    QCOMPARE(http.json("PUT", u"/api/albums/%1/assets"_s.arg(album), ids({old})).status, 200);
    QCOMPARE(http.json("PUT", u"/api/assets/"_s + old,
                       {{"isFavorite"_L1, true},
                        {"dateTimeOriginal"_L1, "2020-02-02T10:00:00.000Z"_L1},
                        {"description"_L1, "Ancienne"_L1}})
                 .status,
             200);
    const qint64 before = msOf(http.get(u"/api/assets/"_s + fresh).json()["updatedAt"_L1]);
    nextMillisecond();

    const Answer copied =
        http.json("PUT", u"/api/assets/copy"_s, {{"sourceId"_L1, old}, {"targetId"_L1, fresh}});
    QCOMPARE(copied.status, 204);
    QVERIFY(copied.body.isEmpty());
    QCOMPARE(idsOf(searchItems(http, {{"albumIds"_L1, QJsonArray{album}}})), sorted({old, fresh}));
    const QJsonObject target = http.get(u"/api/assets/"_s + fresh).json().object();
    QVERIFY(target["isFavorite"_L1].toBool());
    QCOMPARE(target["exifInfo"_L1]["description"_L1].toString(), u"Ancienne"_s);
    QCOMPARE(target["fileCreatedAt"_L1].toString(), u"2020-02-02T10:00:00.000Z"_s);
    QVERIFY(msOf(target["updatedAt"_L1]) > before);
}

void TestImmichDoubleContract::editsAndCopiesAreRefused_data()
{
    QTest::addColumn<QString>("path"); // MINE, THEIRS, UNKNOWN: ids of assets, in the body too
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("field"); // of the first validation error; empty: not checked
    const auto edit = [](const char* tag, const char* body, const char* field) {
        QTest::newRow(tag) << u"/api/assets/MINE"_s << QByteArray(body) << u"Validation failed"_s
                           << QString::fromLatin1(field);
    };
    edit("rating 0", R"({"rating":0})", "rating");
    edit("rating 6", R"({"rating":6})", "rating");
    edit("rating as text", R"({"rating":"4"})", "rating");
    edit("unknown visibility", R"({"visibility":"gone"})", "visibility");
    edit("favourite as text", R"({"isFavorite":"yes"})", "isFavorite");
    edit("date not ISO", R"({"dateTimeOriginal":"yesterday"})", "dateTimeOriginal");
    edit("latitude out of range", R"({"latitude":91})", "latitude");
    edit("description a number", R"({"description":3})", "description");
    const auto copy = [](const char* tag, const char* source, const char* target,
                         const QString& message) {
        QTest::newRow(tag) << u"/api/assets/copy"_s
                           << QByteArray(R"({"sourceId":")") + source + R"(","targetId":")" +
                                  target + R"("})"
                           << message << QString();
    };
    const QString noAccess = u"Not found or no asset.copy access"_s;
    copy("copy of an unknown asset", "UNKNOWN", "MINE", noAccess);
    copy("copy onto someone else's", "MINE", "THEIRS", noAccess);
    copy("copy onto itself", "MINE", "MINE", u"Source and target id must be distinct"_s);
    copy("copy of no UUID", "not-a-uuid", "MINE", u"Validation failed"_s);
}

void TestImmichDoubleContract::editsAndCopiesAreRefused()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, body);
    QFETCH(QString, message);
    QFETCH(QString, field);
    static ImmichDoubleProcess server;
    static QHash<QString, QString> named;
    if (named.isEmpty()) {
        QVERIFY(server.start({u"--user"_s, u"demo@pixavella.local:demo:demo-api-key"_s, u"--user"_s,
                              u"other@pixavella.local:pw:other-key"_s}));
        named[u"MINE"_s] =
            uploadPhoto(DoubleHttp(server.port()), "m.jpg", sampleJpeg({}, 8, 8, "mine"));
        named[u"THEIRS"_s] = uploadPhoto(DoubleHttp(server.port(), "other-key"), "t.jpg",
                                         sampleJpeg({}, 8, 8, "theirs"));
        named[u"UNKNOWN"_s] = QUuid::createUuid().toString(QUuid::WithoutBraces);
    }
    for (auto it = named.cbegin(); it != named.cend(); ++it) {
        path.replace(it.key(), it.value());
        body.replace(it.key().toLatin1(), it.value().toLatin1());
    }
    const DoubleHttp http(server.port());
    const Answer answer = http.send("PUT", path, body);
    QCOMPARE(answer.status, 400);
    QCOMPARE(answer.json()["message"_L1].toString(), message);
    if (!field.isEmpty())
        QCOMPARE(answer.json()["errors"_L1][0]["path"_L1][0].toString(), field);
    // Nothing of a refused edit is applied.
    QCOMPARE(http.get(u"/api/assets/"_s + named[u"MINE"_s]).json()["isFavorite"_L1],
             QJsonValue(false));
}

void TestImmichDoubleContract::storageDescribesTheDataFolderDisk()
{
    QTemporaryDir data;
    ImmichDoubleProcess server;
    QVERIFY(server.start({u"--data-dir"_s, data.path()}));
    const Answer answer = DoubleHttp(server.port()).get(u"/api/server/storage"_s);
    QCOMPARE(answer.status, 200);
    const QJsonObject storage = answer.json().object();
    QCOMPARE(sorted(storage.keys()),
             sorted({u"diskAvailable"_s, u"diskSize"_s, u"diskUse"_s, u"diskAvailableRaw"_s,
                     u"diskSizeRaw"_s, u"diskUseRaw"_s, u"diskUsagePercentage"_s}));
    struct statvfs disk {};
    QCOMPARE(statvfs(QFile::encodeName(data.path()).constData(), &disk), 0);
    const qint64 size = storage["diskSizeRaw"_L1].toInteger();
    const qint64 use = storage["diskUseRaw"_L1].toInteger();
    QCOMPARE(size, qint64(disk.f_blocks) * qint64(disk.f_frsize));
    QVERIFY(use > 0 && use <= size);
    QVERIFY(storage["diskAvailableRaw"_L1].toInteger() <= size - use);
}

void TestImmichDoubleContract::thumbnailsHaveTheServersSizesAndType_data()
{
    QTest::addColumn<QString>("how"); // "upload" or "control" (POST /_double/assets)
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes"); // empty: a HEIC made from a JPEG by heif-enc
    QTest::addColumn<QSize>("thumbnail");  // 250 px on the long side, never enlarged

    QImage png(300, 600, QImage::Format_ARGB32);
    png.fill(Qt::darkCyan);
    QByteArray pngBytes;
    QBuffer buffer(&pngBytes);
    buffer.open(QIODevice::WriteOnly);
    png.save(&buffer, "PNG");

    QTest::newRow("large JPEG") << u"upload"_s << u"large.jpg"_s
                                << sampleJpeg({}, 2000, 1000, "large") << QSize(250, 125);
    QTest::newRow("small JPEG, not enlarged")
        << u"upload"_s << u"small.jpg"_s << sampleJpeg({}, 200, 100, "small") << QSize(200, 100);
    QTest::newRow("portrait PNG") << u"upload"_s << u"tall.png"_s << pngBytes << QSize(125, 250);
    QTest::newRow("HEIC") << u"upload"_s << u"photo.heic"_s << QByteArray() << QSize(250, 125);
    // Bytes a test gives as a photo, and a video: a drawn picture of the recorded size.
    QTest::newRow("stand-in bytes")
        << u"control"_s << u"standin.jpg"_s << QByteArray("not a picture") << QSize(250, 188);
    QTest::newRow("video") << u"upload"_s << u"clip.mp4"_s << sampleIsoMedia("mp42", "thumb clip")
                           << QSize(250, 188);
}

void TestImmichDoubleContract::thumbnailsHaveTheServersSizesAndType()
{
    QFETCH(QString, how);
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(QSize, thumbnail);
    if (bytes.isEmpty()) {
        if (QStandardPaths::findExecutable(u"heif-enc"_s).isEmpty())
            QSKIP("heif-enc (Debian: libheif-examples) is not installed");
        QTemporaryDir folder;
        QFile jpeg(folder.filePath(u"in.jpg"_s));
        QVERIFY(jpeg.open(QIODevice::WriteOnly));
        jpeg.write(sampleJpeg({}, 800, 400, "heic source"));
        jpeg.close();
        QCOMPARE(QProcess::execute(u"heif-enc"_s, {u"-q"_s, u"60"_s, jpeg.fileName(), u"-o"_s,
                                                   folder.filePath(u"out.heic"_s)}),
                 0);
        QFile heic(folder.filePath(u"out.heic"_s));
        QVERIFY(heic.open(QIODevice::ReadOnly));
        bytes = heic.readAll();
    }
    static ImmichDoubleProcess server;
    if (server.port() == 0)
        QVERIFY(server.start());
    const DoubleHttp http(server.port());
    const QString id =
        how == u"upload"_s
            ? uploadPhoto(http, name.toUtf8(), bytes)
            : server.addAsset({{"originalFileName"_L1, name},
                               {"base64"_L1, QString::fromLatin1(bytes.toBase64())}});
    QVERIFY(!id.isEmpty());
    const Answer answer = http.get(u"/api/assets/%1/thumbnail?size=thumbnail"_s.arg(id));
    QCOMPARE(answer.status, 200);
    QCOMPARE(answer.contentType, QByteArray("image/webp"));
    const QSize size = QImage::fromData(answer.body).size();
    // Rounding of the short side may differ by a pixel from the server's.
    QVERIFY2(std::abs(size.width() - thumbnail.width()) +
                     std::abs(size.height() - thumbnail.height()) <=
                 1,
             qPrintable(u"%1x%2"_s.arg(size.width()).arg(size.height())));
}

// No thumbnail until the server's job has run, and none ever for a photo that does not decode.
void TestImmichDoubleContract::missingThumbnailsAnswer404()
{
    ImmichDoubleProcess server;
    QVERIFY(server.start({u"--thumbnail-delay"_s, u"2500"_s}));
    const DoubleHttp http(server.port());
    // The broken one first: once the other has its thumbnail, its job has run too.
    const QString broken = uploadPhoto(http, "broken.jpg", "\xff\xd8 not really a JPEG");
    const QString late = uploadPhoto(http, "late.jpg", sampleJpeg({}, 64, 48, "late"));
    const auto thumbnail = [&http](const QString& id) {
        return http.get(u"/api/assets/%1/thumbnail?size=thumbnail"_s.arg(id));
    };
    for (const QString& id : {broken, late}) {
        const Answer missing = thumbnail(id);
        QCOMPARE(missing.status, 404);
        QCOMPARE(missing.json()["message"_L1].toString(), u"Asset media not found"_s);
    }
    QTRY_COMPARE_WITH_TIMEOUT(thumbnail(late).status, 200, 20000);
    QCOMPARE(thumbnail(broken).status, 404);
    QCOMPARE(http.get(u"/api/assets/%1/original"_s.arg(broken)).status, 200);
}

void TestImmichDoubleContract::uploadedFileNamesAreKeptAsTheServerDoes_data()
{
    QTest::addColumn<QByteArray>("parameter"); // as sent in the file part's disposition
    QTest::addColumn<QByteArray>("stored");    // originalFileName, in UTF-8
    // How the parts are read is TestMultipartForm's; here, what the server keeps of the name.
    QTest::newRow("backslash") << QByteArray("filename=\"back\\slash.jpg\"")
                               << QByteArray("slash.jpg");
    QTest::newRow("RFC 5987 backslash")
        << QByteArray("filename*=UTF-8''back%5Cslash.jpg") << QByteArray("slash.jpg");
    QTest::newRow("slash") << QByteArray("filename=\"a/b.jpg\"") << QByteArray("b.jpg");
    QTest::newRow("escaped quote")
        << QByteArray("filename=\"q\\\"uote.jpg\"") << QByteArray("q\"uote.jpg");
    const QByteArray long250 = QString(123, QChar(0xe9)).toUtf8() + ".jpg";
    QTest::newRow("250 bytes") << "filename=\"" + long250 + '"' << long250;
}

void TestImmichDoubleContract::uploadedFileNamesAreKeptAsTheServerDoes()
{
    QFETCH(QByteArray, parameter);
    QFETCH(QByteArray, stored);
    static ImmichDoubleProcess server;
    if (server.port() == 0)
        QVERIFY(server.start());
    const DoubleHttp http(server.port());
    const Answer uploaded = uploadAs(http, parameter, sampleJpeg({}, 8, 8, parameter));
    QCOMPARE(uploaded.status, 201);
    const QJsonObject asset = http.get(u"/api/assets/"_s + uploaded.id()).json().object();
    QCOMPARE(asset["originalFileName"_L1].toString().toUtf8(), stored);
}

// Two answers on one kept-alive connection, read raw: each is counted apart, to the byte, under
// its own path; control calls are not counted, and a reset starts the count again.
void TestImmichDoubleContract::trafficCountsEachAnswersBytesOnTheWire()
{
    ImmichDoubleProcess server;
    QVERIFY(server.start());
    QTcpSocket socket;
    socket.connectToHost(u"127.0.0.1"_s, server.port());
    QVERIFY(socket.waitForConnected(5000));
    socket.write("GET /api/server/version HTTP/1.1\r\nHost: x\r\n\r\n"
                 "GET /api/server/ping HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    QByteArray wire;
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(5000))
        wire += socket.readAll();
    wire += socket.readAll();
    const qsizetype second = wire.indexOf("HTTP/1.1 ", 1);
    QVERIFY(wire.startsWith("HTTP/1.1 200") && second > 0);
    server.control("GET", u"/_double/events"_s);

    const auto traffic = [&](const QString& query) {
        const QJsonObject counted = server.control("GET", u"/_double/traffic"_s + query).object();
        return std::pair(counted["requests"_L1].toInteger(-1),
                         counted["answerBytes"_L1].toInteger(-1));
    };
    QCOMPARE(traffic(u"?path=/api/server/version"_s), std::pair(qint64(1), qint64(second)));
    QCOMPARE(traffic(u"?path=/api/server/ping&method=GET"_s),
             std::pair(qint64(1), qint64(wire.size() - second)));
    QCOMPARE(traffic({}), std::pair(qint64(2), qint64(wire.size())));
    QCOMPARE(traffic(u"?method=POST"_s), std::pair(qint64(0), qint64(0)));
    server.reset();
    QCOMPARE(traffic({}), std::pair(qint64(0), qint64(0)));
}

QTEST_GUILESS_MAIN(TestImmichDoubleContract)
#include "TestImmichDoubleContract.moc"
