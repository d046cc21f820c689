#pragma once

#include <QStringList>

namespace pixavella {

class SettingsSuite;

// A list of texts under one key of the shared settings that one process appends to while
// another takes everything. Each step is an atomic read-modify-write of the suite, so no text
// is lost between a read and a write of the other process, and none is taken twice.
class TextQueue {
public:
    TextQueue(SettingsSuite& suite, QString key);

    // A value of another shape under the key is replaced. A failed write drops the text.
    void append(const QString& text);
    // Everything queued, in order, leaving no key behind. When the suite cannot be written,
    // nothing is taken: the texts stay for the next call.
    QStringList takeAll();

private:
    SettingsSuite& m_suite;
    const QString m_key;
};

} // namespace pixavella
