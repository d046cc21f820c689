#pragma once

#include "Result.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

namespace pixavella {

// Where a dropped file goes. The quarantine keeps the album id as payload, the journal the
// album's display name; both write the same JSON: one key named after the case, holding {}
// for the library and {"_0": payload} for the two album cases.
enum class UploadTargetKind { library, album, sharedAlbum };

namespace UploadTargetCoding {

QJsonObject encode(UploadTargetKind kind, const QString& payload);

struct Decoded {
    UploadTargetKind kind = UploadTargetKind::library;
    QString payload;
};
// Fails with an ErrorDomain::Decoding error when the value is not an object with exactly one
// known key whose value has the right shape.
Result<Decoded> decode(const QJsonValue& json);

} // namespace UploadTargetCoding
} // namespace pixavella
