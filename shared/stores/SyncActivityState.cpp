#include "SyncActivityState.h"

#include "Clock.h"
#include "SettingsSuite.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace pixavella {

namespace {

// The platform reference date of the record's "updatedAt".
constexpr qint64 kReferenceDateMSecs = 978'307'200'000;

double referenceSeconds(const QDateTime& date)
{
    return double(date.toMSecsSinceEpoch() - kReferenceDateMSecs) / 1000.0;
}

QDateTime fromReferenceSeconds(double seconds)
{
    return QDateTime::fromMSecsSinceEpoch(kReferenceDateMSecs + qRound64(seconds * 1000.0),
                                          Qt::UTC);
}

std::optional<qint64> wholeNumber(const QJsonValue& value)
{
    if (!value.isDouble())
        return std::nullopt;
    const double d = value.toDouble();
    if (d != double(qint64(d)))
        return std::nullopt;
    return qint64(d);
}

} // namespace

QString SyncActivityState::kindText(Kind kind)
{
    switch (kind) {
    case Kind::idle:
        return QStringLiteral("idle");
    case Kind::uploading:
        return QStringLiteral("uploading");
    case Kind::downloading:
        return QStringLiteral("downloading");
    case Kind::offline:
        return QStringLiteral("offline");
    }
    return QStringLiteral("idle");
}

std::optional<SyncActivityState::Kind> SyncActivityState::kindFromText(const QString& text)
{
    for (Kind kind : {Kind::idle, Kind::uploading, Kind::downloading, Kind::offline}) {
        if (text == kindText(kind))
            return kind;
    }
    return std::nullopt;
}

QByteArray SyncActivityState::encode() const
{
    QJsonObject json{
        {QStringLiteral("kind"), kindText(kind)},
        {QStringLiteral("done"), double(done)},
        {QStringLiteral("total"), double(total)},
        {QStringLiteral("updatedAt"), referenceSeconds(updatedAt)},
    };
    if (currentFile)
        json.insert(QStringLiteral("currentFile"), *currentFile);
    return QJsonDocument(json).toJson(QJsonDocument::Compact);
}

std::optional<SyncActivityState> SyncActivityState::decode(const QByteArray& data)
{
    const QJsonDocument document = QJsonDocument::fromJson(data);
    if (!document.isObject())
        return std::nullopt;
    const QJsonObject json = document.object();

    const QJsonValue kindValue = json.value(QStringLiteral("kind"));
    const std::optional<Kind> kind =
        kindValue.isString() ? kindFromText(kindValue.toString()) : std::nullopt;
    const std::optional<qint64> done = wholeNumber(json.value(QStringLiteral("done")));
    const std::optional<qint64> total = wholeNumber(json.value(QStringLiteral("total")));
    const QJsonValue updatedAt = json.value(QStringLiteral("updatedAt"));
    const QJsonValue currentFile = json.value(QStringLiteral("currentFile"));
    if (!kind || !done || !total || !updatedAt.isDouble())
        return std::nullopt;
    if (!currentFile.isUndefined() && !currentFile.isNull() && !currentFile.isString())
        return std::nullopt;

    SyncActivityState state;
    state.kind = *kind;
    state.done = *done;
    state.total = *total;
    if (currentFile.isString())
        state.currentFile = currentFile.toString();
    state.updatedAt = fromReferenceSeconds(updatedAt.toDouble());
    return state;
}

SyncActivityState SyncActivityState::idle(const QDateTime& now)
{
    SyncActivityState state;
    state.updatedAt = now;
    return state;
}

SyncActivityState SyncActivityState::read(const SettingsSuite& suite)
{
    const QVariant stored = suite.value(QString::fromLatin1(kSettingsKey));
    if (stored.typeId() == QMetaType::QByteArray) {
        if (std::optional<SyncActivityState> state = decode(stored.toByteArray()))
            return *state;
    }
    return idle(Clock::now());
}

bool SyncActivityState::isLiveDownload(const QDateTime& now) const
{
    return kind == Kind::downloading && double(updatedAt.msecsTo(now)) / 1000.0 < kFreshness;
}

} // namespace pixavella
