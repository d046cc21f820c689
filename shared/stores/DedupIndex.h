#pragma once

#include "ImmichRecords.h"

#include <QDateTime>
#include <QHash>
#include <QMutex>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QWaitCondition>

#include <functional>
#include <memory>
#include <optional>

namespace pixavella {

class AssetNameStore;
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

    // Gathers an index from the asset list page by page, so that little is left to do once
    // the list is complete. Assets without a checksum or without a readable capture date are
    // left out. Names come from `userName` when it knows one, else from originalFileName. Not
    // thread-safe: one page at a time.
    class Builder {
    public:
        explicit Builder(NameLookup userName = {});
        void add(const QList<ImmichAsset>& assets);

    private:
        friend class DedupIndex;
        struct Group {
            qsizetype first = -1;
            qsizetype last = -1;
            qsizetype count = 0;
        };
        struct Checksum {
            QString text;
            qsizetype next = -1; // the next checksum under the same key
        };
        quint64 m_serial; // builders begun later hold newer lists
        NameLookup m_userName;
        QHash<QString, Group> m_groups;
        QList<Checksum> m_checksums;
    };

    // Kept in `suite`. The user-given names come from `names`; without it, only the original
    // file names are indexed.
    explicit DedupIndex(SettingsSuite& suite, const AssetNameStore* names = nullptr);

    // A builder that names the assets as this index does.
    std::shared_ptr<Builder> newBuilder() const;

    // Replaces the index with the one gathered by `builder` from the complete asset list,
    // unless an index gathered by a builder begun later is stored already.
    void store(const Builder& builder);
    // The same on the global thread pool: writing a whole library's index takes the settings
    // store a while, which a listing need not wait for.
    void storeInBackground(std::shared_ptr<const Builder> builder);
    // Returns once every store started in the background has ended.
    void waitForBackgroundStores();
    // Replaces the index with one computed from the complete asset list, at once; named by
    // `userName`, else as newBuilder() names them.
    void rebuild(const QList<ImmichAsset>& assets, const NameLookup& userName = {});

    // The checksums recorded for that name in that month; empty when none.
    QSet<QString> checksums(const QString& name, int year, int month) const;

    static QString key(int year, int month, const QString& name);

    // Base64 of the file's SHA-1, read in chunks of kChunkSize; absent when the file cannot be
    // read or is larger than kMaxChecksumFileSize.
    static std::optional<QString> fileChecksum(const QString& path);

private:
    NameLookup userNames() const;

    SettingsSuite& m_suite;
    const AssetNameStore* m_names;
    QMutex m_storeLock; // one store at a time, so that the newest list wins
    quint64 m_storedSerial = 0;
    int m_backgroundStores = 0; // guarded by m_storeLock
    QWaitCondition m_backgroundDone;
    // The index last read, decoded: a drop of many files would otherwise read and decode a
    // whole library's index once per file. Read again when this process stored an index since,
    // or after kReadReuseMs (another process's store); decoded again when the bytes changed.
    static constexpr qint64 kReadReuseMs = 1000;
    mutable QMutex m_readLock;
    mutable QByteArray m_readBytes;
    mutable QHash<QString, QStringList> m_readIndex;
    mutable QDateTime m_readAt;
    mutable quint64 m_readGeneration = 0;
};

} // namespace pixavella
