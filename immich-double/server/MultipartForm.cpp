#include "MultipartForm.h"

namespace immichdouble {

namespace {

// Parameters of a header value such as: form-data; name="a"; filename="b.jpg".
// Quoted values may escape a quote or a backslash with a backslash.
struct HeaderParams {
    QList<QPair<QByteArray, QByteArray>> items;

    std::optional<QByteArray> value(const QByteArray& lowerName) const
    {
        for (const auto& item : items) {
            if (item.first == lowerName)
                return item.second;
        }
        return std::nullopt;
    }
};

HeaderParams parseParams(const QByteArray& value)
{
    HeaderParams params;
    qsizetype pos = value.indexOf(';');
    while (pos >= 0 && pos < value.size()) {
        ++pos; // past ';'
        while (pos < value.size() && (value[pos] == ' ' || value[pos] == '\t'))
            ++pos;
        const qsizetype equals = value.indexOf('=', pos);
        if (equals < 0)
            break;
        const QByteArray name = value.mid(pos, equals - pos).trimmed().toLower();
        pos = equals + 1;
        QByteArray parsed;
        if (pos < value.size() && value[pos] == '"') {
            ++pos;
            while (pos < value.size() && value[pos] != '"') {
                // Only a quote and a backslash are escaped; any other backslash stays, as the
                // server reads names: "back\slash.jpg" keeps its backslash.
                if (value[pos] == '\\' && pos + 1 < value.size() &&
                    (value[pos + 1] == '"' || value[pos + 1] == '\\'))
                    ++pos;
                parsed.append(value[pos]);
                ++pos;
            }
            ++pos; // past the closing quote
            pos = value.indexOf(';', pos);
        } else {
            const qsizetype end = value.indexOf(';', pos);
            parsed = value.mid(pos, end < 0 ? -1 : end - pos).trimmed();
            pos = end;
        }
        params.items.append({name, parsed});
    }
    return params;
}

// RFC 5987 ext-value: charset'language'percent-encoded-text.
std::optional<QString> decodeExtValue(const QByteArray& value)
{
    const qsizetype first = value.indexOf('\'');
    const qsizetype second = first < 0 ? -1 : value.indexOf('\'', first + 1);
    if (second < 0)
        return std::nullopt;
    if (value.left(first).toLower() != "utf-8")
        return std::nullopt;
    return QString::fromUtf8(QByteArray::fromPercentEncoding(value.mid(second + 1)));
}

bool readPart(const QByteArray& headerBlock, MultipartPart& part)
{
    bool disposition = false;
    for (const QByteArray& line : headerBlock.split('\n')) {
        const QByteArray header = line.endsWith('\r') ? line.chopped(1) : line;
        const qsizetype colon = header.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = header.left(colon).trimmed().toLower();
        const QByteArray value = header.mid(colon + 1).trimmed();
        if (name == "content-disposition") {
            if (!value.toLower().startsWith("form-data"))
                return false;
            const HeaderParams params = parseParams(value);
            const auto fieldName = params.value("name");
            if (!fieldName)
                return false;
            part.name = QString::fromUtf8(*fieldName);
            if (const auto extended = params.value("filename*"))
                part.fileName = decodeExtValue(*extended);
            if (!part.fileName) {
                if (const auto plain = params.value("filename"))
                    part.fileName = QString::fromUtf8(*plain);
            }
            disposition = true;
        } else if (name == "content-type") {
            part.contentType = value;
        }
    }
    return disposition;
}

} // namespace

QByteArray MultipartForm::boundary(const QByteArray& contentType)
{
    if (!contentType.trimmed().toLower().startsWith("multipart/form-data"))
        return {};
    const auto value = parseParams(contentType).value("boundary");
    return value ? *value : QByteArray();
}

std::optional<MultipartForm> MultipartForm::parse(const QByteArray& contentType,
                                                  const QByteArray& body)
{
    const QByteArray boundaryText = boundary(contentType);
    if (boundaryText.isEmpty())
        return std::nullopt;
    const QByteArray delimiter = "--" + boundaryText;
    const QByteArray innerDelimiter = "\r\n" + delimiter;

    // The first delimiter opens the body or ends a line of the preamble.
    qsizetype pos = body.startsWith(delimiter) ? 0 : body.indexOf(innerDelimiter);
    if (pos < 0)
        return std::nullopt;
    if (pos > 0)
        pos += 2;

    MultipartForm form;
    for (;;) {
        pos += delimiter.size();
        if (body.mid(pos, 2) == "--")
            return form; // close delimiter; the epilogue is ignored
        while (pos < body.size() && (body[pos] == ' ' || body[pos] == '\t'))
            ++pos;
        if (body.mid(pos, 2) != "\r\n")
            return std::nullopt;
        pos += 2;
        const qsizetype headerEnd =
            body.mid(pos, 2) == "\r\n" ? pos : body.indexOf("\r\n\r\n", pos);
        if (headerEnd < 0)
            return std::nullopt;
        const qsizetype dataStart = headerEnd == pos ? pos + 2 : headerEnd + 4;
        const qsizetype dataEnd = body.indexOf(innerDelimiter, dataStart);
        if (dataEnd < 0)
            return std::nullopt;
        MultipartPart part;
        if (!readPart(body.mid(pos, headerEnd - pos), part))
            return std::nullopt;
        part.data = body.mid(dataStart, dataEnd - dataStart);
        form.m_parts.append(part);
        pos = dataEnd + 2;
    }
}

const MultipartPart* MultipartForm::part(const QString& name) const
{
    for (const MultipartPart& part : m_parts) {
        if (part.name == name)
            return &part;
    }
    return nullptr;
}

std::optional<QString> MultipartForm::field(const QString& name) const
{
    const MultipartPart* found = part(name);
    if (!found || found->fileName)
        return std::nullopt;
    return QString::fromUtf8(found->data);
}

} // namespace immichdouble
