#pragma once

#include "ContainerPaths.h"
#include "ImmichClient.h"
#include "SecretStore.h"

#include <QDateTime>
#include <QString>

#include <optional>

namespace pixavella {

// What the application and the drive share besides files: the identifiers, the typed values of
// the shared settings suite, the API key secret and the names of the cross-process signals.
// Every accessor reads or writes the suite (or the secret store) anew, so a change made by the
// other process is seen at the next call; only the server and key behind makeClient() and
// isConfigured() are kept, until a change of either is signalled. Safe from any thread.
namespace SharedSettings {

inline constexpr const char* kAppGroupId = ContainerPaths::kAppGroupId;
inline constexpr const char* kKeychainService = SecretStore::kService;
inline constexpr const char* kDomainId = ContainerPaths::kDomainId;
inline constexpr const char* kNamesServicePath = "/pixavella-names";

// Keys of the shared settings suite owned here.
namespace Key {
inline constexpr const char* serverURL = "immich.serverURL";
inline constexpr const char* userEmail = "immich.userEmail";
inline constexpr const char* apiKeyId = "immich.apiKeyId";
inline constexpr const char* namesServiceURL = "pixavella.namesServiceURL";
inline constexpr const char* lastRefresh = "pixavella.lastRefresh";
inline constexpr const char* skipQuitConfirmation = "pixavella.skipQuitConfirmation";
} // namespace Key

// Secret store account of the API key.
inline constexpr const char* kApiKeyAccount = "immich.apiKey";

// The stored server address, or the deployment's own server when none is stored.
QString serverURL();
void setServerURL(const QString& url);

// Empty when none is stored.
QString userEmail();
void setUserEmail(const QString& email);

// Id of the API key created at sign-in, revoked at sign-out. Empty text reads as absent: there
// is no key to revoke. Writing absent removes the value.
std::optional<QString> apiKeyId();
void setApiKeyId(const std::optional<QString>& id);

// The stored value unchanged; when none (or empty text) is stored, defaultNamesServiceURL().
QString namesServiceURL();
void setNamesServiceURL(const QString& url);
// serverURL() without one trailing "/", followed by "/pixavella-names".
QString defaultNamesServiceURL();

// Stored as seconds since 1970. A value of 0 or less, or anything not a finite number, reads as
// no date; writing no date stores the integer 0.
std::optional<QDateTime> lastRefresh();
void setLastRefresh(const std::optional<QDateTime>& when);

bool skipQuitConfirmation();
void setSkipQuitConfirmation(bool skip);

// The API key secret; absent when signed out. Setting empty text deletes the secret.
std::optional<QString> apiKey();
void setApiKey(const QString& key);

// True when a non-empty API key is stored and the server address is an absolute URL with a host.
bool isConfigured();
// A fresh client for the stored server and key, or absent when not configured. Build one per
// batch of work: a new sign-in then takes effect at the next batch.
std::optional<ImmichClient> makeClient();

} // namespace SharedSettings

// Payload-less signals between the two programs (see platform/Signals.h).
namespace SignalName {
// The drive queued deletion notices in "pending.deletionNotices"; the application shows them.
inline constexpr const char* deletionRecorded = "app.pixavella.deletionRecorded";
// A pedagogical notice waits in "pending.pedagogicalNotices".
inline constexpr const char* noticePosted = "app.pixavella.noticePosted";
// The drive rewrote "sync.activity" (the application polls it; no observer by name).
inline constexpr const char* syncActivity = "app.pixavella.syncActivity";
// The drive added or removed quarantine entries; the upload reconciler looks again.
inline constexpr const char* quarantineChanged = "app.pixavella.quarantineChanged";
// The reconciler recorded an upload outcome; the history window re-reads the journal.
inline constexpr const char* journalChanged = "app.pixavella.journalChanged";
// The server address or the API key changed (a sign-in or a sign-out).
inline constexpr const char* accountChanged = "app.pixavella.accountChanged";
} // namespace SignalName

} // namespace pixavella
