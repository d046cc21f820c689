#include "SearchPageReader.h"

#include <QVarLengthArray>

#include <charconv>
#include <cmath>
#include <cstring>

namespace pixavella::client {

namespace {

// Strings kept in shared UTF-16 blocks. Every string made here holds one reference on its
// block; the pool holds one on the block it fills.
class StringPool {
public:
    QString make(const char16_t* data, qsizetype size)
    {
        if (size == 0)
            return QStringLiteral("");
        const qsizetype need = size + 1; // keeps utf16() null-terminated
        if (!m_block.d_ptr() || m_used + need > m_capacity)
            newBlock(qMax(need, kBlockChars));
        char16_t* at = m_base + m_used;
        std::memcpy(at, data, size_t(size) * sizeof(char16_t));
        at[size] = u'\0';
        m_used += need;
        m_block.d_ptr()->ref();
        return QString(QString::DataPointer(m_block.d_ptr(), at, size));
    }

private:
    static constexpr qsizetype kBlockChars = 4096;

    void newBlock(qsizetype chars)
    {
        QString holder(chars, Qt::Uninitialized);
        m_block = holder.data_ptr();
        m_base = m_block.data();
        m_capacity = chars;
        m_used = 0;
    }

    QString::DataPointer m_block;
    char16_t* m_base = nullptr;
    qsizetype m_capacity = 0;
    qsizetype m_used = 0;
};

using Units = QVarLengthArray<char16_t, 128>;

// A JSON text as Qt reads it (a leading byte-order mark skipped; unknown escapes give the
// escaped character; strings must be valid UTF-8; at most 1024 levels of nesting).
class Reader {
public:
    explicit Reader(QByteArrayView json)
        : m_p(json.data()), m_begin(json.data()), m_end(json.data() + json.size())
    {
        if (m_end - m_p >= 3 && std::memcmp(m_p, "\xEF\xBB\xBF", 3) == 0)
            m_p += 3;
    }

    Result<SearchResponse> read()
    {
        SearchResponse response;
        bool seenAssets = false;
        skipSpace();
        if (m_p == m_end || (*m_p != '{' && *m_p != '['))
            return syntax("no JSON object");
        if (*m_p == '[') {
            if (!skipValue(0))
                return *m_error;
            return record(QStringLiteral("(root): not an object"));
        }
        const bool ok = readObject([&](std::string_view key) {
            if (key != "assets")
                return skipValue(1);
            seenAssets = true;
            return readPage(response.assets);
        });
        if (!ok)
            return *m_error;
        skipSpace();
        if (m_p != m_end)
            return syntax("garbage at the end of the document");
        if (!seenAssets)
            return record(QStringLiteral("assets: missing"));
        return response;
    }

private:
    // Keys of the records are plain ASCII; a key written with escapes is compared decoded.
    template <typename OnKey> bool readObject(OnKey onKey)
    {
        ++m_p; // '{'
        skipSpace();
        if (m_p < m_end && *m_p == '}') {
            ++m_p;
            return true;
        }
        for (;;) {
            skipSpace();
            if (m_p == m_end || *m_p != '"')
                return fail("key expected");
            std::string_view key;
            QByteArray decodedKey;
            const char* start = m_p + 1;
            if (const char* close = plainEnd(start)) {
                key = std::string_view(start, size_t(close - start));
                if (!checkUtf8(start, close))
                    return false;
                m_p = close + 1;
            } else {
                Units units;
                if (!readString(units))
                    return false;
                decodedKey = QString::fromUtf16(units.constData(), units.size()).toUtf8();
                key = std::string_view(decodedKey.constData(), size_t(decodedKey.size()));
            }
            skipSpace();
            if (m_p == m_end || *m_p != ':')
                return fail("colon expected");
            ++m_p;
            skipSpace();
            if (m_p == m_end)
                return fail("value expected");
            if (!onKey(key))
                return false;
            skipSpace();
            if (m_p < m_end && *m_p == ',') {
                ++m_p;
                continue;
            }
            if (m_p < m_end && *m_p == '}') {
                ++m_p;
                return true;
            }
            return fail("unterminated object");
        }
    }

    bool readPage(AssetsPage& page)
    {
        if (*m_p != '{')
            return notA("assets", "an object");
        bool seenItems = false;
        page = AssetsPage();
        const bool ok = readObject([&](std::string_view key) {
            if (key == "items") {
                seenItems = true;
                return readItems(page.items);
            }
            if (key == "nextPage")
                return optionalString(page.nextPage, "assets.nextPage");
            return skipValue(2);
        });
        if (ok && !seenItems)
            return recordFailure(QStringLiteral("assets.items: missing"));
        return ok;
    }

    // Elements up to the closing bracket; m_p is on the opening one.
    template <typename OnElement> bool readArray(OnElement onElement)
    {
        ++m_p; // '['
        skipSpace();
        if (m_p < m_end && *m_p == ']') {
            ++m_p;
            return true;
        }
        for (;;) {
            skipSpace();
            if (m_p == m_end)
                return fail("unterminated array");
            if (!onElement())
                return false;
            skipSpace();
            if (m_p < m_end && *m_p == ',') {
                ++m_p;
                continue;
            }
            if (m_p < m_end && *m_p == ']') {
                ++m_p;
                return true;
            }
            return fail("unterminated array");
        }
    }

    bool readItems(QList<ImmichAsset>& items)
    {
        if (*m_p != '[')
            return notA("assets.items", "an array");
        items.clear();
        return readArray([&] {
            m_item = items.size();
            ImmichAsset asset;
            if (!readAsset(asset))
                return false;
            items.append(std::move(asset));
            return true;
        });
    }

    bool readAsset(ImmichAsset& asset)
    {
        if (*m_p != '{')
            return itemFailure({}, "not an object");
        enum : unsigned { Id = 1, Type = 2, Name = 4, Created = 8 };
        unsigned seen = 0;
        const auto required = [&](unsigned bit, QString& out, const char* key) {
            seen |= bit;
            if (*m_p != '"')
                return itemFailure(key, "not a string");
            return readPooled(out);
        };
        const bool ok = readObject([&](std::string_view key) {
            if (key == "id")
                return required(Id, asset.id, "id");
            if (key == "type") {
                seen |= Type;
                if (*m_p != '"')
                    return itemFailure("type", "not a string");
                return readInterned(asset.type);
            }
            if (key == "originalFileName")
                return required(Name, asset.originalFileName, "originalFileName");
            if (key == "fileCreatedAt")
                return required(Created, asset.fileCreatedAt, "fileCreatedAt");
            if (key == "fileModifiedAt")
                return optionalItemString(asset.fileModifiedAt, "fileModifiedAt",
                                          &asset.fileCreatedAt);
            if (key == "checksum")
                return optionalItemString(asset.checksum, "checksum");
            if (key == "isTrashed")
                return optionalBool(asset.isTrashed);
            if (key == "createdAt")
                return optionalItemString(asset.createdAt, "createdAt");
            if (key == "exifInfo")
                return readExif(asset.exifInfo);
            return skipValue(4);
        });
        if (!ok)
            return false;
        for (const auto& [bit, key] :
             {std::pair{Id, "id"}, std::pair{Type, "type"}, std::pair{Name, "originalFileName"},
              std::pair{Created, "fileCreatedAt"}}) {
            if (!(seen & bit))
                return itemFailure(key, "missing");
        }
        // When fileModifiedAt came first, it was not yet known to match.
        if (asset.fileModifiedAt && *asset.fileModifiedAt == asset.fileCreatedAt)
            asset.fileModifiedAt = asset.fileCreatedAt;
        return true;
    }

    bool readExif(std::optional<ExifInfo>& exif)
    {
        if (isNull())
            return skipNull(exif);
        if (*m_p != '{')
            return itemFailure("exifInfo", "not an object");
        ExifInfo info;
        const bool ok = readObject([&](std::string_view key) {
            if (key == "fileSizeInByte")
                return optionalInteger(info.fileSizeInByte);
            if (key == "dateTimeOriginal")
                return optionalItemString(info.dateTimeOriginal, "exifInfo.dateTimeOriginal");
            return skipValue(5);
        });
        if (ok)
            exif = std::move(info);
        return ok;
    }

    // Values.

    bool isNull() const { return m_end - m_p >= 4 && std::memcmp(m_p, "null", 4) == 0; }
    template <typename T> bool skipNull(std::optional<T>& out)
    {
        m_p += 4;
        out.reset();
        return true;
    }

    bool optionalString(std::optional<QString>& out, const char* where)
    {
        if (isNull())
            return skipNull(out);
        if (*m_p != '"')
            return recordFailure(QLatin1String(where) + QStringLiteral(": not a string"));
        QString value;
        if (!readPooled(value))
            return false;
        out = std::move(value);
        return true;
    }

    // `same`: a string of the record this value often repeats, shared when it does.
    bool optionalItemString(std::optional<QString>& out, const char* key,
                            const QString* same = nullptr)
    {
        if (isNull())
            return skipNull(out);
        if (*m_p != '"')
            return itemFailure(key, "not a string");
        QString value;
        if (!readPooled(value, same))
            return false;
        out = std::move(value);
        return true;
    }

    bool optionalBool(std::optional<bool>& out)
    {
        if (isNull())
            return skipNull(out);
        if (m_end - m_p >= 4 && std::memcmp(m_p, "true", 4) == 0) {
            m_p += 4;
            out = true;
            return true;
        }
        if (m_end - m_p >= 5 && std::memcmp(m_p, "false", 5) == 0) {
            m_p += 5;
            out = false;
            return true;
        }
        return itemFailure("isTrashed", "not a boolean");
    }

    // A whole number that fits in 64 bits, written as an integer or not ("1e3", "2.0").
    bool optionalInteger(std::optional<qint64>& out)
    {
        if (isNull())
            return skipNull(out);
        const char* start = m_p;
        double value = 0;
        if (!(*m_p == '-' || (*m_p >= '0' && *m_p <= '9')) && *m_p != '.')
            return itemFailure("exifInfo.fileSizeInByte", "not a whole number");
        if (!readNumber(&value))
            return false;
        qint64 whole = 0;
        const auto [end, error] = std::from_chars(start, m_p, whole);
        if (error == std::errc() && end == m_p) {
            out = whole;
            return true;
        }
        if (std::isfinite(value) && std::trunc(value) == value && value >= -9.2233720368547758e18 &&
            value < 9.2233720368547758e18) {
            out = qint64(value);
            return true;
        }
        return itemFailure("exifInfo.fileSizeInByte", "not a whole number");
    }

    bool readPooled(QString& out, const QString* same = nullptr)
    {
        Units units;
        const char* start = m_p + 1;
        const char* close = plainEnd(start);
        if (close && isAscii(start, close)) {
            widen(start, close, units);
            m_p = close + 1;
        } else if (!readString(units)) {
            return false;
        }
        out = pooled(units, same);
        return true;
    }

    QString pooled(const Units& units, const QString* same)
    {
        const QStringView value(units.constData(), units.size());
        if (same && !same->isEmpty() && *same == value)
            return *same;
        return m_pool.make(units.constData(), units.size());
    }

    // Kinds of assets are few: one string per kind.
    bool readInterned(QString& out)
    {
        Units units;
        if (!readString(units))
            return false;
        const QStringView value(units.constData(), units.size());
        for (const QString& known : m_kinds) {
            if (known == value) {
                out = known;
                return true;
            }
        }
        out = value.toString();
        if (m_kinds.size() < 16)
            m_kinds.append(out);
        return true;
    }

    // The string at m_p (on its opening quote) as UTF-16.
    bool readString(Units& out)
    {
        ++m_p;
        for (;;) {
            const char* run = m_p;
            while (m_p < m_end && *m_p != '"' && *m_p != '\\')
                ++m_p;
            if (run != m_p && !appendUtf8(run, m_p, out))
                return false;
            if (m_p == m_end)
                return fail("unterminated string");
            if (*m_p == '"') {
                ++m_p;
                return true;
            }
            ++m_p; // backslash
            if (m_p == m_end)
                return fail("unterminated string");
            const char c = *m_p++;
            switch (c) {
            case 'b':
                out.append(u'\b');
                break;
            case 'f':
                out.append(u'\f');
                break;
            case 'n':
                out.append(u'\n');
                break;
            case 'r':
                out.append(u'\r');
                break;
            case 't':
                out.append(u'\t');
                break;
            case 'u': {
                if (m_end - m_p < 4)
                    return fail("illegal escape");
                unsigned unit = 0;
                const auto [end, error] = std::from_chars(m_p, m_p + 4, unit, 16);
                if (error != std::errc() || end != m_p + 4)
                    return fail("illegal escape");
                out.append(char16_t(unit));
                m_p += 4;
                break;
            }
            default:
                if (uchar(c) >= 0x80)
                    return fail("illegal escape");
                out.append(char16_t(uchar(c)));
            }
        }
    }

    bool appendUtf8(const char* begin, const char* end, Units& out)
    {
        if (isAscii(begin, end)) {
            widen(begin, end, out);
            return true;
        }
        if (!checkUtf8(begin, end))
            return false;
        const QString text = QString::fromUtf8(begin, end - begin);
        out.append(reinterpret_cast<const char16_t*>(text.utf16()), text.size());
        return true;
    }

    // The closing quote of a string starting at `from` when no escape comes before it.
    const char* plainEnd(const char* from) const
    {
        const char* p = from;
        while (p < m_end && *p != '"' && *p != '\\')
            ++p;
        return p < m_end && *p == '"' ? p : nullptr;
    }

    static bool isAscii(const char* begin, const char* end)
    {
        for (const char* p = begin; p < end; ++p) {
            if (uchar(*p) >= 0x80)
                return false;
        }
        return true;
    }

    static void widen(const char* begin, const char* end, Units& out)
    {
        const qsizetype at = out.size();
        out.resize(at + (end - begin));
        for (qsizetype i = 0; i < end - begin; ++i)
            out[at + i] = char16_t(uchar(begin[i]));
    }

    // Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
    bool checkUtf8(const char* begin, const char* end)
    {
        const auto* p = reinterpret_cast<const uchar*>(begin);
        const auto* e = reinterpret_cast<const uchar*>(end);
        while (p < e) {
            // Keys and most values are ASCII: eight bytes at a time while no high bit is set.
            quint64 word;
            if (e - p >= 8 && (std::memcpy(&word, p, 8), (word & 0x8080808080808080ULL) == 0)) {
                p += 8;
                continue;
            }
            const uchar b = *p;
            if (b < 0x80) {
                ++p;
                continue;
            }
            int length = 0;
            uchar low = 0x80;
            uchar high = 0xBF;
            if (b >= 0xC2 && b <= 0xDF) {
                length = 2;
            } else if (b >= 0xE0 && b <= 0xEF) {
                length = 3;
                if (b == 0xE0)
                    low = 0xA0;
                if (b == 0xED)
                    high = 0x9F;
            } else if (b >= 0xF0 && b <= 0xF4) {
                length = 4;
                if (b == 0xF0)
                    low = 0x90;
                if (b == 0xF4)
                    high = 0x8F;
            } else {
                return fail("invalid UTF8 string");
            }
            if (e - p < length || p[1] < low || p[1] > high)
                return fail("invalid UTF8 string");
            for (int i = 2; i < length; ++i) {
                if (p[i] < 0x80 || p[i] > 0xBF)
                    return fail("invalid UTF8 string");
            }
            p += length;
        }
        return true;
    }

    bool readNumber(double* value)
    {
        const char* start = m_p;
        if (m_p < m_end && *m_p == '-')
            ++m_p;
        bool digits = false;
        while (m_p < m_end && ((*m_p >= '0' && *m_p <= '9') || *m_p == '.')) {
            digits = digits || *m_p != '.';
            ++m_p;
        }
        if (m_p < m_end && (*m_p == 'e' || *m_p == 'E')) {
            ++m_p;
            if (m_p < m_end && (*m_p == '+' || *m_p == '-'))
                ++m_p;
            while (m_p < m_end && *m_p >= '0' && *m_p <= '9')
                ++m_p;
        }
        double parsed = 0;
        const auto [end, error] = std::from_chars(start, m_p, parsed);
        if (!digits || error != std::errc() || end != m_p || !std::isfinite(parsed))
            return fail("illegal number");
        if (value)
            *value = parsed;
        return true;
    }

    bool skipValue(int depth)
    {
        if (depth > 1024)
            return fail("too deeply nested");
        switch (*m_p) {
        case '{':
            return readObject([&](std::string_view) { return skipValue(depth + 1); });
        case '[':
            return readArray([&] { return skipValue(depth + 1); });
        case '"': {
            const char* start = m_p + 1;
            if (const char* close = plainEnd(start)) {
                m_p = close + 1;
                return checkUtf8(start, close);
            }
            Units ignored;
            return readString(ignored);
        }
        case 't':
            return literal("true");
        case 'f':
            return literal("false");
        case 'n':
            return literal("null");
        default:
            return readNumber(nullptr);
        }
    }

    bool literal(const char* word)
    {
        const size_t n = std::strlen(word);
        if (size_t(m_end - m_p) < n || std::memcmp(m_p, word, n) != 0)
            return fail("illegal value");
        m_p += n;
        return true;
    }

    void skipSpace()
    {
        while (m_p < m_end && (*m_p == ' ' || *m_p == '\n' || *m_p == '\r' || *m_p == '\t'))
            ++m_p;
    }

    // Failures: the first one stays.

    bool fail(const char* what)
    {
        if (!m_error)
            m_error = decodingError(
                QStringLiteral("%1 at offset %2").arg(QLatin1String(what)).arg(m_p - m_begin));
        return false;
    }
    Error syntax(const char* what)
    {
        fail(what);
        return *m_error;
    }
    bool recordFailure(const QString& reason)
    {
        if (!m_error)
            m_error = decodingError(reason);
        return false;
    }
    Error record(const QString& reason)
    {
        recordFailure(reason);
        return *m_error;
    }
    bool notA(const char* where, const char* kind)
    {
        return recordFailure(
            QStringLiteral("%1: not %2").arg(QLatin1String(where), QLatin1String(kind)));
    }
    bool itemFailure(const char* key, const char* problem)
    {
        QString where = QStringLiteral("assets.items[%1]").arg(m_item);
        if (key)
            where += u'.' + QLatin1String(key);
        return recordFailure(where + QStringLiteral(": ") + QLatin1String(problem));
    }

    const char* m_p;
    const char* m_begin;
    const char* m_end;
    std::optional<Error> m_error;
    qsizetype m_item = 0;
    StringPool m_pool;
    QList<QString> m_kinds;
};

} // namespace

Result<SearchResponse> readSearchPage(QByteArrayView json)
{
    return Reader(json).read();
}

std::optional<int> peekNextPage(QByteArrayView json)
{
    constexpr QByteArrayView key = "\"nextPage\"";
    const qsizetype at = json.lastIndexOf(key);
    if (at < 0)
        return std::nullopt;
    const char* p = json.data() + at + key.size();
    const char* end = json.data() + json.size();
    const auto space = [&] {
        while (p < end && (*p == ' ' || *p == '\n' || *p == '\r' || *p == '\t'))
            ++p;
    };
    space();
    if (p == end || *p++ != ':')
        return std::nullopt;
    space();
    if (p == end || *p++ != '"')
        return std::nullopt;
    int page = 0;
    const auto [close, error] = std::from_chars(p, end, page);
    if (error != std::errc() || close == end || *close != '"')
        return std::nullopt;
    return page;
}

} // namespace pixavella::client
