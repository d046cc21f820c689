#pragma once

#include <QString>

#include <string>
#include <variant>

namespace pixavella::names {

// Limits on what a client may store; checked before anything is written.
constexpr std::size_t maxBodyBytes = 64 * 1024;
constexpr qsizetype maxNameBytes = 1024; // UTF-8
constexpr qsizetype maxAssetIdBytes = 256;

// Why a request was refused: an HTTP status (4xx) and a message for the client.
struct InputError {
    int status = 400;
    QString message;
};

// The asset id as it arrives in the (already percent-decoded) request path.
std::variant<QString, InputError> parseAssetId(const std::string& pathSegment);

// The body of a rename: a JSON object with the text member "name".
std::variant<QString, InputError> parseNameBody(const std::string& body);

} // namespace pixavella::names
