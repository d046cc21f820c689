#pragma once

#include <QSet>
#include <QString>

namespace pixavella {

class SettingsSuite;

// The item identifiers last reported for each container, kept in the shared settings under
// "snap." + container identifier so that the next change enumeration, in this process or a
// later one, can tell which items disappeared.
class EnumerationSnapshots {
public:
    explicit EnumerationSnapshots(SettingsSuite& suite);

    static QString settingsKey(const QString& container);

    // Empty when the container was never listed.
    QSet<QString> load(const QString& container) const;
    // Replaces the container's snapshot.
    void save(const QString& container, const QSet<QString>& identifiers);

private:
    SettingsSuite& m_suite;
};

} // namespace pixavella
