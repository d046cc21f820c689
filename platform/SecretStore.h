#pragma once

#include <QString>

#include <optional>

namespace pixavella {

// Secrets of service "app.pixavella.immich" in the Secret Service (through QtKeychain). When no
// Secret Service answers, a 0600 file in the container stands in, with a warning in the log.
// Calls are synchronous (bounded wait) and may be made from any thread. No log line ever holds
// a secret. An account is a plain file name: one with '/' or a leading '.' is refused.
namespace SecretStore {

inline constexpr const char* kService = "app.pixavella.immich";

std::optional<QString> readSecret(const QString& account);
void writeSecret(const QString& account, const QString& secret);
void deleteSecret(const QString& account);

} // namespace SecretStore
} // namespace pixavella
