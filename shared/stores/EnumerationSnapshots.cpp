#include "EnumerationSnapshots.h"

#include "SettingsShapes.h"
#include "SettingsSuite.h"

namespace pixavella {

EnumerationSnapshots::EnumerationSnapshots(SettingsSuite& suite) : m_suite(suite) {}

QString EnumerationSnapshots::settingsKey(const QString& container)
{
    return QStringLiteral("snap.") + container;
}

QSet<QString> EnumerationSnapshots::load(const QString& container) const
{
    const std::optional<QStringList> stored =
        SettingsShapes::textList(m_suite.value(settingsKey(container)));
    if (!stored)
        return {};
    return QSet<QString>(stored->cbegin(), stored->cend());
}

void EnumerationSnapshots::save(const QString& container, const QSet<QString>& identifiers)
{
    QStringList list(identifiers.cbegin(), identifiers.cend());
    // Sorted only so that equal sets store equal values.
    list.sort();
    m_suite.setValue(settingsKey(container), QVariant(list).toList());
}

} // namespace pixavella
