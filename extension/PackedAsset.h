#pragma once

#include "ImmichClient.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace pixavella {

// An asset as the library mirror keeps it, less its id (the mirror's key): every field in one
// block of bytes, names in UTF-8 and dates in the server's usual form
// (2023-07-14T10:00:00.000Z) as their nine numbers. A hundred thousand assets then cost one
// allocation each instead of eight strings of UTF-16. Unpacking gives back exactly the record
// that was packed, whatever its text.
class PackedAsset {
public:
    PackedAsset() = default;
    // `month` is the asset's capture month as the mirror numbers months, kept beside it.
    PackedAsset(const ImmichAsset& asset, std::optional<int> month);

    ImmichAsset unpack(const QString& id) const;
    std::optional<int> month() const;
    bool isNull() const { return m_bytes.isEmpty(); }
    qsizetype byteSize() const { return m_bytes.size(); }

private:
    QByteArray m_bytes;
};

} // namespace pixavella

Q_DECLARE_TYPEINFO(pixavella::PackedAsset, Q_RELOCATABLE_TYPE);
