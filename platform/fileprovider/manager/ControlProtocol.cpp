#include "ControlProtocol.h"

#include "ContainerPaths.h"

#include <QJsonDocument>

namespace pixavella::ControlProtocol {

QString socketPath()
{
    return ContainerPaths::runtimeDirectory() + QStringLiteral("/passerelle.sock");
}

QString lockPath()
{
    return ContainerPaths::runtimeDirectory() + QStringLiteral("/passerelle.lock");
}

QByteArray encode(const QJsonObject& message)
{
    return QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n';
}

std::optional<QJsonObject> decode(const QByteArray& line)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(line.trimmed(), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    return doc.object();
}

QJsonObject success(QJsonObject fields)
{
    fields.insert(QStringLiteral("ok"), true);
    return fields;
}

QJsonObject failure(const Error& error)
{
    return QJsonObject{{QStringLiteral("ok"), false},
                       {QStringLiteral("domain"), error.domain},
                       {QStringLiteral("code"), error.code},
                       {QStringLiteral("description"), error.description}};
}

std::optional<Error> errorOf(const QJsonObject& answer)
{
    if (answer.value(QStringLiteral("ok")).toBool())
        return std::nullopt;
    return Error{answer.value(QStringLiteral("domain")).toString(ErrorDomain::File),
                 answer.value(QStringLiteral("code")).toInt(),
                 answer.value(QStringLiteral("description")).toString()};
}

} // namespace pixavella::ControlProtocol
