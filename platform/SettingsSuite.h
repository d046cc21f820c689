#pragma once

#include <QString>
#include <QVariant>

#include <functional>
#include <memory>

namespace pixavella {

// The shared settings suite: a key-value store in Preferences.sqlite in the container, shared
// by every process of the user. Values keep their type: QString, double, qint64, bool,
// QByteArray (data), QVariantList and QVariantMap (nesting the same types); other integer types
// read back as qint64. Nothing is cached:
// every read sees the last write of any process. A value that cannot be read reads as absent
// (an invalid QVariant); a failed write is dropped with a log line.
class SettingsSuite {
public:
    // The suite in the container (ContainerPaths::container()/Preferences.sqlite). Kept
    // process-wide: the SharedSettings functions read the account and options from it wherever
    // they are called; the mains hand this one to the stores.
    static SettingsSuite& shared();
    explicit SettingsSuite(const QString& databasePath);
    ~SettingsSuite();

    QVariant value(const QString& key) const;
    // The value as stored (its CBOR encoding): for a reader that keeps a decoded copy of a large
    // value and only needs to know whether it changed. Empty when absent or unreadable.
    QByteArray encodedValue(const QString& key) const;
    void setValue(const QString& key, const QVariant& value); // an invalid value removes the key
    // Stores a value already encoded as one CBOR item, for a writer of a large value that would
    // otherwise build it as a QVariant only to have it encoded again. Bytes that are not one
    // well-formed item are refused (false) and the stored value is left as it was.
    bool setEncodedValue(const QString& key, const QByteArray& cbor);
    void remove(const QString& key);
    bool contains(const QString& key) const;

    // Atomic read-modify-write across processes: `change` gets the current value (invalid when
    // absent) and returns the new one (invalid removes the key). Returns the value written
    // (invalid when the key was removed or nothing could be written).
    // `change` may run more than once if the store is busy; keep it free of side effects.
    QVariant update(const QString& key, const std::function<QVariant(const QVariant&)>& change);

    SettingsSuite(const SettingsSuite&) = delete;
    SettingsSuite& operator=(const SettingsSuite&) = delete;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace pixavella
