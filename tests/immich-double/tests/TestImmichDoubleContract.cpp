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

using namespace immichdouble::testing;
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
        out << QStringLiteral("%1: %2 recorded, %3 answered")
                   .arg(where, QLatin1String(typeName(recorded)), QLatin1String(typeName(actual)));
        return;
    }
    if (recorded.isObject()) {
        const QJsonObject r = recorded.toObject();
        const QJsonObject a = actual.toObject();
        for (auto it = r.begin(); it != r.end(); ++it) {
            if (!a.contains(it.key()))
                out << QStringLiteral("%1.%2: missing").arg(where, it.key());
            else
                shapeDifferences(it.value(), a.value(it.key()), where + '.' + it.key(), out);
        }
        for (auto it = a.begin(); it != a.end(); ++it) {
            if (!r.contains(it.key()))
                out << QStringLiteral("%1.%2: not in the recording").arg(where, it.key());
        }
    } else if (recorded.isArray()) {
        const QJsonArray r = recorded.toArray();
        const QJsonArray a = actual.toArray();
        if (r.isEmpty())
            return;
        if (r.size() != a.size()) {
            out << QStringLiteral("%1: %2 elements recorded, %3 answered")
                       .arg(where)
                       .arg(r.size())
                       .arg(a.size());
            return;
        }
        for (qsizetype i = 0; i < r.size(); ++i)
            shapeDifferences(r[i], a[i], QStringLiteral("%1[%2]").arg(where).arg(i), out);
    }
}

QByteArray base64Sha1(const QByteArray& bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toBase64();
}

struct Upload {
    QByteArray fileName;
    QByteArray bytes;
    QByteArray createdAt;
};

} // namespace

class TestImmichDoubleContract : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void answerMatchesRecording_data();
    void answerMatchesRecording();
    void searchListsTheLibraryNewestFirst();
    void searchItemsCarryChecksumAndCaptureDate();
    void duplicateUploadsNameTheExistingAsset();

private:
    void replay();
    void record(const QString& sample, const Answer& answer) { m_answers.insert(sample, answer); }
    QString upload(DoubleHttp& http, const Upload& file, const QString& sample = {});
    QString createAlbum(DoubleHttp& http, const QString& name, const QJsonArray& members = {},
                        const QString& sample = {});

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
    m_samples = QDir(source + QStringLiteral("/../shared/immich-v3-samples"));
    if (source.isEmpty() || !m_samples.exists())
        QSKIP(qPrintable(QStringLiteral("No recorded Immich answers at %1; the contract test "
                                        "needs the shared/ folder beside the repository")
                             .arg(m_samples.path())));
    const QStringList files = m_samples.entryList({QStringLiteral("*.json")}, QDir::Files);
    QVERIFY(!files.isEmpty());
    for (const QString& name : files) {
        QFile file(m_samples.filePath(name));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QJsonObject sample = QJsonDocument::fromJson(file.readAll()).object();
        QVERIFY2(sample.contains(QLatin1String("status")), qPrintable(name));
        m_recorded.insert(name.chopped(5), sample);
    }

    QVERIFY(
        m_double.start({QStringLiteral("--dialect"), QStringLiteral("v3"), QStringLiteral("--user"),
                        QStringLiteral("admin@example.com:admin-pw"), QStringLiteral("--user"),
                        QStringLiteral("u2@example.com:u2-pw:u2-key")}));
    replay();
}

QString TestImmichDoubleContract::upload(DoubleHttp& http, const Upload& file,
                                         const QString& sample)
{
    const MultipartBody body = uploadBody(file.fileName, file.bytes, file.createdAt);
    const Answer answer =
        http.send("POST", QStringLiteral("/api/assets"), body.body, body.contentType);
    if (!sample.isEmpty())
        record(sample, answer);
    return answer.json().object().value(QLatin1String("id")).toString();
}

QString TestImmichDoubleContract::createAlbum(DoubleHttp& http, const QString& name,
                                              const QJsonArray& members, const QString& sample)
{
    QJsonObject body{{QStringLiteral("albumName"), name}};
    if (!members.isEmpty())
        body.insert(QStringLiteral("albumUsers"), members);
    const Answer answer = http.json("POST", QStringLiteral("/api/albums"), QJsonDocument(body));
    if (!sample.isEmpty())
        record(sample, answer);
    return answer.json().object().value(QLatin1String("id")).toString();
}

// The session the recordings come from, in its order.
void TestImmichDoubleContract::replay()
{
    DoubleHttp anonymous(m_double.port(), {});
    const auto login = [&](const char* password) {
        return anonymous.json("POST", QStringLiteral("/api/auth/login"),
                              QJsonDocument(QJsonObject{
                                  {QStringLiteral("email"), QStringLiteral("admin@example.com")},
                                  {QStringLiteral("password"), QLatin1String(password)}}));
    };
    record(QStringLiteral("auth-login-wrong-password"), login("not-the-password"));
    const Answer session = login("admin-pw");
    record(QStringLiteral("auth-login"), session);
    const QByteArray token =
        session.json().object().value(QLatin1String("accessToken")).toString().toLatin1();
    const QString adminId = session.json().object().value(QLatin1String("userId")).toString();

    const Answer created =
        anonymous.send("POST", QStringLiteral("/api/api-keys"),
                       QJsonDocument(m_recorded.value(QStringLiteral("api-keys-create"))
                                         .value(QLatin1String("request"))
                                         .toObject()
                                         .value(QLatin1String("body"))
                                         .toObject())
                           .toJson(),
                       "application/json", {{"Authorization", "Bearer " + token}});
    record(QStringLiteral("api-keys-create"), created);
    const QByteArray key =
        created.json().object().value(QLatin1String("secret")).toString().toLatin1();
    const QString keyId = created.json()
                              .object()
                              .value(QLatin1String("apiKey"))
                              .toObject()
                              .value(QLatin1String("id"))
                              .toString();
    QVERIFY(!key.isEmpty());
    DoubleHttp admin(m_double.port(), key);
    DoubleHttp u2(m_double.port(), "u2-key");
    const QString u2Id = u2.get(QStringLiteral("/api/users/me"))
                             .json()
                             .object()
                             .value(QLatin1String("id"))
                             .toString();

    record(QStringLiteral("users-me"), admin.get(QStringLiteral("/api/users/me")));
    record(QStringLiteral("error-no-credentials"), anonymous.get(QStringLiteral("/api/users/me")));
    record(QStringLiteral("error-wrong-api-key"),
           DoubleHttp(m_double.port(), "not-a-key").get(QStringLiteral("/api/users/me")));
    record(QStringLiteral("server-version"), anonymous.get(QStringLiteral("/api/server/version")));

    m_uploads = {
        {"a_2023_12.jpg", sampleJpeg("2023:12:31 23:30:00", 640, 480, "a"), "2023-12-31T23:30:00Z"},
        {"b_2024_03.jpg", sampleJpeg("2024:03:15 10:11:12", 640, 480, "b"), "2024-03-15T10:11:12Z"},
        {"c_2024_03.jpg", sampleJpeg("2024:03:20 08:00:00", 640, 480, "c"), "2024-03-20T08:00:00Z"},
        {"IMG_0001.HEIC", sampleIsoMedia("heic", "heic"), "2022-07-14T12:00:00Z"},
        {"clip.mp4", sampleIsoMedia("mp42", "clip"), "2024-01-02T03:04:05Z"},
        // Without EXIF the sent creation date is the capture date.
        {"d_noexif.jpg", sampleJpeg({}, 640, 480, "d"), "2021-06-01T09:00:00Z"},
    };
    const QStringList uploadSamples = {QStringLiteral("upload-created"),
                                       QStringLiteral("upload-other-b_2024_03_jpg"),
                                       QStringLiteral("upload-other-c_2024_03_jpg"),
                                       QStringLiteral("upload-other-IMG_0001_HEIC"),
                                       QStringLiteral("upload-other-clip_mp4"),
                                       QStringLiteral("upload-other-d_noexif_jpg")};
    for (qsizetype i = 0; i < m_uploads.size(); ++i)
        m_assetIds.insert(m_uploads[i].fileName, upload(admin, m_uploads[i], uploadSamples[i]));
    upload(admin, m_uploads[0], QStringLiteral("upload-duplicate"));

    const auto search = [&](const QString& sample, const QJsonObject& body) {
        record(sample,
               admin.json("POST", QStringLiteral("/api/search/metadata"), QJsonDocument(body)));
    };
    const auto recordedBody = [&](const QString& sample) {
        return m_recorded.value(sample)
            .value(QLatin1String("request"))
            .toObject()
            .value(QLatin1String("body"))
            .toObject();
    };
    search(QStringLiteral("search-metadata"), recordedBody(QStringLiteral("search-metadata")));
    search(QStringLiteral("search-metadata-page1-of-several"),
           recordedBody(QStringLiteral("search-metadata-page1-of-several")));
    search(QStringLiteral("error-search-size-too-big"),
           recordedBody(QStringLiteral("error-search-size-too-big")));

    const QString heic = m_assetIds.value("IMG_0001.HEIC");
    const QString b = m_assetIds.value("b_2024_03.jpg");
    const QString c = m_assetIds.value("c_2024_03.jpg");
    const QString d = m_assetIds.value("d_noexif.jpg");
    record(QStringLiteral("asset-get"), admin.get(QStringLiteral("/api/assets/") + heic));
    record(QStringLiteral("asset-original"),
           admin.get(QStringLiteral("/api/assets/%1/original").arg(b)));
    record(QStringLiteral("asset-thumbnail"),
           admin.get(QStringLiteral("/api/assets/%1/thumbnail?size=thumbnail").arg(b)));
    record(QStringLiteral("assets-statistics"),
           admin.get(QStringLiteral("/api/assets/statistics")));
    record(QStringLiteral("error-asset-not-found"),
           admin.get(QStringLiteral("/api/assets/") +
                     QUuid::createUuid().toString(QUuid::WithoutBraces)));

    // Albums of the second user made before the session.
    const auto member = [](const QString& userId, const char* role) {
        return QJsonObject{{QStringLiteral("userId"), userId},
                           {QStringLiteral("role"), QLatin1String(role)}};
    };
    createAlbum(u2, QStringLiteral("U2SharedViewer"), {member(adminId, "viewer")});
    createAlbum(u2, QStringLiteral("U2SharedEditor"), {member(adminId, "editor")});

    const QString vacances =
        createAlbum(admin, QStringLiteral("Vacances"), {}, QStringLiteral("albums-create"));
    const auto ids = [](const QStringList& list) {
        return QJsonDocument(
            QJsonObject{{QStringLiteral("ids"), QJsonArray::fromStringList(list)}});
    };
    const QString vacancesAssets = QStringLiteral("/api/albums/%1/assets").arg(vacances);
    record(QStringLiteral("albums-add-assets"), admin.json("PUT", vacancesAssets, ids({b, c})));
    record(QStringLiteral("albums-add-assets-already-there"),
           admin.json("PUT", vacancesAssets, ids({b})));
    record(QStringLiteral("albums-rename"),
           admin.json("PATCH", QStringLiteral("/api/albums/") + vacances,
                      QJsonDocument(QJsonObject{
                          {QStringLiteral("albumName"), QStringLiteral("Vacances 2024")}})));
    record(QStringLiteral("albums-get"), admin.get(QStringLiteral("/api/albums/") + vacances));

    createAlbum(admin, QStringLiteral("Partagé par moi"), {member(u2Id, "viewer")});
    const Upload u2Photo = m_uploads[1]; // the same bytes, another owner: not a duplicate
    const QString u2Asset = upload(u2, u2Photo);
    const QString reader =
        createAlbum(u2, QStringLiteral("De U2 (lecteur)"), {member(adminId, "viewer")});
    u2.json("PUT", QStringLiteral("/api/albums/%1/assets").arg(reader), ids({u2Asset}));
    createAlbum(u2, QStringLiteral("De U2 (éditeur)"), {member(adminId, "editor")});

    record(QStringLiteral("albums-list"), admin.get(QStringLiteral("/api/albums")));
    record(QStringLiteral("albums-list-shared-true"),
           admin.get(QStringLiteral("/api/albums?shared=true")));
    QJsonObject sharedSearch = recordedBody(QStringLiteral("search-metadata-shared-album"));
    sharedSearch.insert(QStringLiteral("albumIds"), QJsonArray{reader});
    search(QStringLiteral("search-metadata-shared-album"), sharedSearch);
    record(
        QStringLiteral("albums-remove-assets-not-allowed"),
        admin.json("DELETE", QStringLiteral("/api/albums/%1/assets").arg(reader), ids({u2Asset})));
    record(QStringLiteral("albums-remove-assets"),
           admin.json("DELETE", vacancesAssets,
                      ids({c, QStringLiteral("00000000-0000-4000-8000-000000000000")})));

    record(QStringLiteral("assets-trash"),
           admin.json("DELETE", QStringLiteral("/api/assets"),
                      QJsonDocument(QJsonObject{{QStringLiteral("ids"), QJsonArray{d}},
                                                {QStringLiteral("force"), false}})));
    record(QStringLiteral("asset-get-trashed"), admin.get(QStringLiteral("/api/assets/") + d));
    upload(admin, m_uploads[5], QStringLiteral("upload-duplicate-of-trashed"));
    QVERIFY2(admin.get(QStringLiteral("/api/assets/") + d)
                 .json()
                 .object()
                 .value(QLatin1String("isTrashed"))
                 .toBool(),
             "a duplicate upload of a trashed asset leaves it in the trash");
    record(QStringLiteral("trash-restore"),
           admin.json("POST", QStringLiteral("/api/trash/restore/assets"), ids({d})));

    record(QStringLiteral("albums-delete"),
           admin.send("DELETE", QStringLiteral("/api/albums/") + vacances));
    record(QStringLiteral("error-album-after-delete"),
           admin.get(QStringLiteral("/api/albums/") + vacances));

    record(QStringLiteral("api-keys-delete"),
           admin.send("DELETE", QStringLiteral("/api/api-keys/") + keyId));
    record(QStringLiteral("error-revoked-key"), admin.get(QStringLiteral("/api/users/me")));
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

    QCOMPARE(answer.status, recorded.value(QLatin1String("status")).toInt());
    const QJsonValue contentType = recorded.value(QLatin1String("content-type"));
    const QJsonValue body = recorded.value(QLatin1String("body"));
    if (contentType.isNull()) {
        QVERIFY2(answer.body.isEmpty(), answer.body.constData());
        return;
    }
    QCOMPARE(QString::fromLatin1(answer.contentType), contentType.toString());
    if (body.isObject() && body.toObject().contains(QLatin1String("<bytes>"))) {
        QVERIFY(!answer.body.isEmpty());
        return;
    }
    const QJsonDocument document = answer.json();
    QVERIFY2(!document.isNull(), answer.body.constData());
    QStringList differences;
    shapeDifferences(
        body, document.isArray() ? QJsonValue(document.array()) : QJsonValue(document.object()),
        QStringLiteral("body"), differences);
    QVERIFY2(differences.isEmpty(), qPrintable(differences.join(QLatin1String("\n"))));
}

void TestImmichDoubleContract::searchListsTheLibraryNewestFirst()
{
    const auto names = [](const QJsonValue& body) {
        QStringList list;
        for (const QJsonValue& item :
             body[QLatin1String("assets")][QLatin1String("items")].toArray())
            list << item[QLatin1String("originalFileName")].toString();
        return list;
    };
    for (const QString& sample :
         {QStringLiteral("search-metadata"), QStringLiteral("search-metadata-page1-of-several")}) {
        const QJsonObject answer = m_answers.value(sample).json().object();
        const QJsonValue recorded = m_recorded.value(sample).value(QLatin1String("body"));
        QCOMPARE(names(answer), names(recorded));
        QCOMPARE(answer[QLatin1String("assets")][QLatin1String("nextPage")],
                 recorded[QLatin1String("assets")][QLatin1String("nextPage")]);
        QCOMPARE(answer[QLatin1String("assets")][QLatin1String("total")],
                 recorded[QLatin1String("assets")][QLatin1String("total")]);
    }
}

void TestImmichDoubleContract::searchItemsCarryChecksumAndCaptureDate()
{
    const QJsonArray recorded =
        m_recorded.value(QStringLiteral("search-metadata"))
            .value(QLatin1String("body"))[QLatin1String("assets")][QLatin1String("items")]
            .toArray();
    const QJsonArray items = m_answers.value(QStringLiteral("search-metadata"))
                                 .json()
                                 .object()[QLatin1String("assets")][QLatin1String("items")]
                                 .toArray();
    QCOMPARE(items.size(), m_uploads.size());
    for (qsizetype i = 0; i < items.size(); ++i) {
        const QJsonValue item = items[i];
        const QString name = item[QLatin1String("originalFileName")].toString();
        const auto upload = std::find_if(m_uploads.begin(), m_uploads.end(), [&](const Upload& u) {
            return u.fileName == name.toLatin1();
        });
        QVERIFY(upload != m_uploads.end());
        QCOMPARE(item[QLatin1String("checksum")].toString().toLatin1(), base64Sha1(upload->bytes));
        QCOMPARE(item[QLatin1String("exifInfo")][QLatin1String("fileSizeInByte")].toInteger(),
                 upload->bytes.size());
        for (const char* key : {"type", "originalMimeType", "fileCreatedAt"})
            QCOMPARE(item[QLatin1String(key)], recorded[i][QLatin1String(key)]);
        QCOMPARE(item[QLatin1String("exifInfo")][QLatin1String("dateTimeOriginal")],
                 recorded[i][QLatin1String("exifInfo")][QLatin1String("dateTimeOriginal")]);
    }
}

void TestImmichDoubleContract::duplicateUploadsNameTheExistingAsset()
{
    const auto id = [this](const char* sample) {
        return m_answers.value(QLatin1String(sample))
            .json()
            .object()
            .value(QLatin1String("id"))
            .toString();
    };
    QCOMPARE(id("upload-duplicate"), m_assetIds.value("a_2023_12.jpg"));
    QCOMPARE(id("upload-duplicate-of-trashed"), m_assetIds.value("d_noexif.jpg"));
}

QTEST_GUILESS_MAIN(TestImmichDoubleContract)
#include "TestImmichDoubleContract.moc"
