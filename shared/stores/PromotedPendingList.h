#pragma once

#include <QSet>
#include <QString>

namespace pixavella {

class SettingsSuite;

// Pending items whose upload has just succeeded, hidden for a short while so that the pending
// item and the new asset are not listed side by side. Kept in the shared settings under
// "promotedPendingTombstones": identifier → seconds since 1970.
class PromotedPendingList {
public:
    static constexpr const char* kSettingsKey = "promotedPendingTombstones";
    static constexpr double kLifetime = 120.0;

    explicit PromotedPendingList(SettingsSuite& suite);

    // Application side: "pending:" + entry id, after its upload succeeded.
    void promote(const QString& identifier);
    // Extension side: the identifiers promoted less than kLifetime ago. Expired entries are
    // removed from the settings.
    QSet<QString> hiddenPendingIdentifiers();

private:
    SettingsSuite& m_suite;
};

} // namespace pixavella
