#pragma once

#include "Error.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <optional>

namespace pixavella {

// The daemon's control channel: one JSON object per line, one answer line per request, on a
// local socket in $XDG_RUNTIME_DIR/pixavella/.
//   {"command":"add"}                      mount (if needed) and answer once the mount answers
//   {"command":"signal","container":"…"}   mark a container changed
//   {"command":"remove"}                   unmount, answer, then exit
//   {"command":"ping"}
// Answers: {"ok":true,…} or {"ok":false,"domain":…,"code":…,"description":…}.
namespace ControlProtocol {

inline constexpr char kCommand[] = "command";
inline constexpr char kContainer[] = "container";
inline constexpr char kAdd[] = "add";
inline constexpr char kSignal[] = "signal";
inline constexpr char kRemove[] = "remove";
inline constexpr char kPing[] = "ping";

QString socketPath();
// The daemon's single-instance lock beside the socket.
QString lockPath();

QByteArray encode(const QJsonObject& message);
std::optional<QJsonObject> decode(const QByteArray& line);

QJsonObject success(QJsonObject fields = {});
QJsonObject failure(const Error& error);
// The error an answer carries; nothing when it reports success.
std::optional<Error> errorOf(const QJsonObject& answer);

} // namespace ControlProtocol
} // namespace pixavella
