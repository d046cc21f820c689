#pragma once

#include "ImmichRecords.h"

#include <QSet>
#include <QString>

#include <functional>
#include <optional>

namespace pixavella {

class SettingsSuite;

// Checksums of the photos already in the library, grouped by name and capture month, so that a
// photo dropped a second time is recognised without asking the server. Kept whole in the
// shared settings under "dedupIndex.v1": "YYYY-MM" U+0001 name → [checksum, …].
class DedupIndex {
public:
    static constexpr const char* kSettingsKey = "dedupIndex.v1";
    static constexpr qint64 kChunkSize = 1'048'576;
    static constexpr qint64 kMaxChecksumFileSize = 268'435'456;

    // The user-given name of an asset, when the names service knows one.
    using NameLookup = std::function<std::optional<QString>(const ImmichAsset&)>;

    static DedupIndex& shared();
    explicit DedupIndex(SettingsSuite& suite);

    // Replaces the index with one computed from the complete asset list. Assets without a
    // checksum or without a readable capture date are left out. Names come from `userName`,
    // by default the process's AssetNameStore, else from originalFileName.
    void rebuild(const QList<ImmichAsset>& assets, const NameLookup& userName = {});

    // The checksums recorded for that name in that month; empty when none.
    QSet<QString> checksums(const QString& name, int year, int month) const;

    static QString key(int year, int month, const QString& name);

    // Base64 of the file's SHA-1, read in chunks of kChunkSize; absent when the file cannot be
    // read or is larger than kMaxChecksumFileSize.
    static std::optional<QString> fileChecksum(const QString& path);

private:
    SettingsSuite& m_suite;
};

} // namespace pixavella
