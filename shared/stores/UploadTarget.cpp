#include "UploadTarget.h"

namespace pixavella::UploadTargetCoding {

namespace {
const QString kLibrary = QStringLiteral("library");
const QString kAlbum = QStringLiteral("album");
const QString kSharedAlbum = QStringLiteral("sharedAlbum");
const QString kPayload = QStringLiteral("_0");

Error decodingError(const QString& text)
{
    return Error{ErrorDomain::Decoding, 0, text};
}
} // namespace

QJsonObject encode(UploadTargetKind kind, const QString& payload)
{
    switch (kind) {
    case UploadTargetKind::library:
        return QJsonObject{{kLibrary, QJsonObject{}}};
    case UploadTargetKind::album:
        return QJsonObject{{kAlbum, QJsonObject{{kPayload, payload}}}};
    case UploadTargetKind::sharedAlbum:
        return QJsonObject{{kSharedAlbum, QJsonObject{{kPayload, payload}}}};
    }
    return {};
}

Result<Decoded> decode(const QJsonValue& json)
{
    if (!json.isObject())
        return decodingError(QStringLiteral("target: expected an object"));
    const QJsonObject object = json.toObject();
    if (object.size() != 1)
        return decodingError(QStringLiteral("Invalid number of keys found, expected one."));
    const QString key = object.begin().key();
    const QJsonValue value = object.begin().value();
    if (!value.isObject())
        return decodingError(QStringLiteral("target.%1: expected an object").arg(key));
    if (key == kLibrary)
        return Decoded{UploadTargetKind::library, QString()};
    if (key != kAlbum && key != kSharedAlbum)
        return decodingError(QStringLiteral("target: unknown case %1").arg(key));
    const QJsonValue payload = value.toObject().value(kPayload);
    if (!payload.isString())
        return decodingError(QStringLiteral("target.%1._0: expected a string").arg(key));
    return Decoded{key == kAlbum ? UploadTargetKind::album : UploadTargetKind::sharedAlbum,
                   payload.toString()};
}

} // namespace pixavella::UploadTargetCoding
