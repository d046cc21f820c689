#include "JsonWriter.h"

#include <QLocale>

namespace immichdouble {

void JsonWriter::separate()
{
    if (m_afterKey) {
        m_afterKey = false;
        return;
    }
    if (!m_firstInLevel.empty()) {
        if (!m_firstInLevel.back())
            m_out += ',';
        m_firstInLevel.back() = false;
    }
}

JsonWriter& JsonWriter::beginObject()
{
    separate();
    m_out += '{';
    m_firstInLevel.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::endObject()
{
    m_out += '}';
    m_firstInLevel.pop_back();
    return *this;
}

JsonWriter& JsonWriter::beginArray()
{
    separate();
    m_out += '[';
    m_firstInLevel.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::endArray()
{
    m_out += ']';
    m_firstInLevel.pop_back();
    return *this;
}

JsonWriter& JsonWriter::key(const char* name)
{
    separate();
    m_out += '"';
    m_out += name;
    m_out += "\":";
    m_afterKey = true;
    return *this;
}

JsonWriter& JsonWriter::value(const QString& text)
{
    separate();
    static const char hex[] = "0123456789abcdef";
    const QByteArray utf8 = text.toUtf8();
    m_out += '"';
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            m_out += '\\';
            m_out += c;
        } else if (byte < 0x20) {
            m_out += "\\u00";
            m_out += hex[byte >> 4];
            m_out += hex[byte & 0xf];
        } else {
            m_out += c;
        }
    }
    m_out += '"';
    return *this;
}

JsonWriter& JsonWriter::latin1(const char* text)
{
    separate();
    m_out += '"';
    m_out += text;
    m_out += '"';
    return *this;
}

JsonWriter& JsonWriter::latin1(const QByteArray& text)
{
    separate();
    m_out += '"';
    m_out += text;
    m_out += '"';
    return *this;
}

JsonWriter& JsonWriter::value(qint64 number)
{
    separate();
    m_out += QByteArray::number(number);
    return *this;
}

JsonWriter& JsonWriter::number(double number)
{
    separate();
    m_out += QByteArray::number(number, 'g', QLocale::FloatingPointShortest);
    return *this;
}

JsonWriter& JsonWriter::boolean(bool value)
{
    separate();
    m_out += value ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::null()
{
    separate();
    m_out += "null";
    return *this;
}

JsonWriter& JsonWriter::raw(const QByteArray& json)
{
    separate();
    m_out += json;
    return *this;
}

} // namespace immichdouble
