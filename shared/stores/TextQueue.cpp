#include "TextQueue.h"

#include "SettingsShapes.h"
#include "SettingsSuite.h"

namespace pixavella {

TextQueue::TextQueue(SettingsSuite& suite, QString key) : m_suite(suite), m_key(std::move(key)) {}

void TextQueue::append(const QString& text)
{
    m_suite.update(m_key, [&text](const QVariant& current) {
        QStringList texts = SettingsShapes::textList(current).value_or(QStringList());
        texts.append(text);
        return QVariant(texts).toList();
    });
}

QStringList TextQueue::takeAll()
{
    // An empty list rather than no value: update() gives back what it wrote, and a removal
    // could not be told apart from a failed write, after which the texts would be taken again.
    QStringList taken;
    const QVariant written = m_suite.update(m_key, [&taken](const QVariant& current) {
        // Assigned, not appended: the change may run again and only its last run is written.
        taken = SettingsShapes::textList(current).value_or(QStringList());
        return QVariant(QVariantList());
    });
    if (!written.isValid())
        return {};
    m_suite.update(m_key, [](const QVariant& current) {
        const std::optional<QStringList> texts = SettingsShapes::textList(current);
        return texts && texts->isEmpty() ? QVariant() : current;
    });
    return taken;
}

} // namespace pixavella
