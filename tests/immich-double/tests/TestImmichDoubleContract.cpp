// Replays the requests behind the answers recorded from a real Immich 3 server against the
// double in the v3 dialect, on a library built like the recorded one, and compares each answer
// with its recording: status, content type, and the same keys holding the same JSON types at
// every level (ids, dates and sizes may differ).
#include "DoubleHttp.h"
#include "ImmichDoubleProcess.h"
#include "SampleMedia.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QTest>
#include <QUuid>

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

QJsonObject ids(const QStringList& list)
{
    return {{"ids"_L1, QJsonArray::fromStringList(list)}};
}

QJsonObject member(const QString& userId, const char* role)
{
    return {{"userId"_L1, userId}, {"role"_L1, QLatin1String(role)}};
}

} // namespace

class TestImmichDoubleContract : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void answerMatchesRecording_data();
    void answerMatchesRecording();
    void searchAndUploadsMatchTheRecording();

private:
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
    if (source.isEmpty() || !m_samples.exists())
        QSKIP(qPrintable(u"No recorded Immich answers at %1; the contract test needs the shared/ "
                         "folder beside the repository"_s.arg(m_samples.path())));
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

    QJsonObject trash = ids({d});
    trash.insert("force"_L1, false);
    record(u"assets-trash"_s, admin.json("DELETE", u"/api/assets"_s, trash));
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

QTEST_GUILESS_MAIN(TestImmichDoubleContract)
#include "TestImmichDoubleContract.moc"
