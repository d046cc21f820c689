#include "PromotedPendingList.h"

#include "Clock.h"
#include "SettingsShapes.h"
#include "SettingsSuite.h"

#include <QVariantMap>

namespace pixavella {

namespace {

// A dictionary of numbers, or nothing.
std::optional<QHash<QString, double>> promotions(const QVariant& value)
{
    if (value.typeId() != QMetaType::QVariantMap)
        return std::nullopt;
    QHash<QString, double> result;
    const QVariantMap map = value.toMap();
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        const std::optional<double> at = SettingsShapes::seconds(it.value());
        if (!at)
            return std::nullopt;
        result.insert(it.key(), *at);
    }
    return result;
}

bool alive(double promotedAt, double now)
{
    return now - promotedAt < PromotedPendingList::kLifetime;
}

} // namespace

PromotedPendingList::PromotedPendingList(SettingsSuite& suite) : m_suite(suite) {}

// Read-modify-write in one step: the extension writes the list back when it prunes it, and a
// promotion made between its read and its write would otherwise vanish.
void PromotedPendingList::promote(const QString& identifier)
{
    const double now = Clock::nowSeconds();
    m_suite.update(QString::fromLatin1(kSettingsKey), [&](const QVariant& current) {
        QVariantMap map;
        if (promotions(current))
            map = current.toMap();
        map.insert(identifier, now);
        return QVariant(map);
    });
}

QSet<QString> PromotedPendingList::hiddenPendingIdentifiers()
{
    const double now = Clock::nowSeconds();
    const std::optional<QHash<QString, double>> stored =
        promotions(m_suite.value(QString::fromLatin1(kSettingsKey)));
    if (!stored)
        return {};

    QSet<QString> hidden;
    bool expired = false;
    for (auto it = stored->cbegin(); it != stored->cend(); ++it) {
        if (alive(it.value(), now))
            hidden.insert(it.key());
        else
            expired = true;
    }
    if (expired) {
        m_suite.update(QString::fromLatin1(kSettingsKey), [now](const QVariant& current) {
            const std::optional<QHash<QString, double>> latest = promotions(current);
            if (!latest)
                return current;
            QVariantMap kept;
            for (auto it = latest->cbegin(); it != latest->cend(); ++it) {
                if (alive(it.value(), now))
                    kept.insert(it.key(), it.value());
            }
            return QVariant(kept);
        });
    }
    return hidden;
}

} // namespace pixavella
