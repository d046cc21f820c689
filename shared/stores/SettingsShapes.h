#pragma once

#include <QStringList>
#include <QVariant>

#include <optional>

namespace pixavella {

// Readers for the shapes the shared stores keep in the settings suite. A value of another
// shape is absent, so a store that finds something foreign under its key starts afresh
// rather than misreading it.
namespace SettingsShapes {

// An array whose every element is text.
std::optional<QStringList> textList(const QVariant& value);

// Number of seconds since 1970 (the suite keeps whole numbers as qint64, others as double).
std::optional<double> seconds(const QVariant& value);

} // namespace SettingsShapes
} // namespace pixavella
