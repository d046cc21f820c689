#pragma once

#include <QByteArray>
#include <QString>

#include <vector>

namespace immichdouble {

// Writes compact JSON straight into bytes. The search answers of a large library are written
// this way: building them as QJsonObject costs several times more.
class JsonWriter {
public:
    JsonWriter& beginObject();
    JsonWriter& endObject();
    JsonWriter& beginArray();
    JsonWriter& endArray();
    JsonWriter& key(const char* name); // a plain ASCII key

    JsonWriter& value(const QString& text);
    JsonWriter& latin1(const char* text); // plain ASCII text needing no escapes
    JsonWriter& latin1(const QByteArray& text);
    JsonWriter& value(qint64 number);
    JsonWriter& number(double number); // finite numbers only
    JsonWriter& boolean(bool value);
    JsonWriter& null();
    // Already written JSON (an object, an array, a value).
    JsonWriter& raw(const QByteArray& json);

    const QByteArray& bytes() const { return m_out; }
    void reserve(qsizetype size) { m_out.reserve(size); }

private:
    void separate();

    QByteArray m_out;
    std::vector<bool> m_firstInLevel;
    bool m_afterKey = false;
};

} // namespace immichdouble
