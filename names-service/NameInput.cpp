#include "NameInput.h"

#include <QByteArrayView>
#include <QJsonDocument>
#include <QJsonObject>

namespace pixavella::names {

namespace {

QByteArrayView bytes(const std::string& text)
{
    return QByteArrayView(text.data(), qsizetype(text.size()));
}

} // namespace

std::variant<QString, InputError> parseAssetId(const std::string& pathSegment)
{
    if (pathSegment.empty())
        return InputError{400, QStringLiteral("The asset id is missing.")};
    if (qsizetype(pathSegment.size()) > maxAssetIdBytes)
        return InputError{
            400, QStringLiteral("The asset id is longer than %1 bytes.").arg(maxAssetIdBytes)};
    // Databases refuse malformed UTF-8 and NUL in text, and no Immich id holds either.
    if (!bytes(pathSegment).isValidUtf8() || pathSegment.find('\0') != std::string::npos)
        return InputError{400, QStringLiteral("The asset id is not valid UTF-8 text.")};
    return QString::fromStdString(pathSegment);
}

std::variant<QString, InputError> parseNameBody(const std::string& body)
{
    if (body.size() > maxBodyBytes)
        return InputError{413,
                          QStringLiteral("The body is larger than %1 bytes.").arg(maxBodyBytes)};
    // Checked on the raw bytes, whatever leniency the JSON reader may have for malformed text.
    if (!bytes(body).isValidUtf8())
        return InputError{400, QStringLiteral("The body is not valid UTF-8.")};

    QJsonParseError parseError;
    const QJsonDocument document =
        QJsonDocument::fromJson(QByteArray::fromStdString(body), &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return InputError{
            400, QStringLiteral("The body is not valid JSON: %1.").arg(parseError.errorString())};
    if (!document.isObject())
        return InputError{400, QStringLiteral("The body must be a JSON object.")};

    const QJsonValue value = document.object().value(QLatin1String("name"));
    if (value.isUndefined())
        return InputError{400, QStringLiteral("The member \"name\" is missing.")};
    if (!value.isString())
        return InputError{400, QStringLiteral("The member \"name\" must be text.")};

    const QString name = value.toString();
    // "\ud800" is well-formed JSON but no text: it has no UTF-8 form to store.
    if (!QStringView(name).isValidUtf16())
        return InputError{400, QStringLiteral("The name holds an unpaired surrogate.")};
    if (name.contains(QChar(u'\0')))
        return InputError{400, QStringLiteral("The name must not contain NUL characters.")};
    if (name.isEmpty())
        return InputError{400, QStringLiteral("The name must not be empty.")};
    if (name.toUtf8().size() > maxNameBytes)
        return InputError{
            400, QStringLiteral("The name is longer than %1 bytes in UTF-8.").arg(maxNameBytes)};
    return name;
}

} // namespace pixavella::names
