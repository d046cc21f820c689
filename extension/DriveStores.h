#pragma once

#include "AssetNameStore.h"
#include "CancelledUploads.h"
#include "DedupIndex.h"
#include "DeletionTombstones.h"
#include "EnumerationSnapshots.h"
#include "ExtensionStores.h"
#include "FetchCache.h"
#include "LibraryMirror.h"
#include "NamesServiceHealth.h"
#include "PedagogicalNoticeQueue.h"
#include "PromotedPendingList.h"
#include "RenameQueue.h"
#include "ServerStorage.h"
#include "SyncActivity.h"
#include "UploadJournal.h"
#include "UserNoticeQueue.h"

namespace pixavella {

class HttpSession;
class SettingsSuite;
class UploadQuarantine;

// The stores of a drive process, built once by whoever serves the drive (the daemon, a bench,
// a test), each after those it is handed, and handed to the extension as `stores`.
//
// The settings suite, the HTTP session and the quarantine are handed in: the Immich client's
// free functions and the pending items reach the process's own instances of those, so the drive
// must use the same ones.
class DriveStores {
public:
    DriveStores(SettingsSuite& suite, HttpSession& http, UploadQuarantine& quarantine);
    DriveStores(const DriveStores&) = delete;
    DriveStores& operator=(const DriveStores&) = delete;

    RenameQueue renames;
    NamesServiceHealth namesHealth;
    UserNoticeQueue userNotices;
    AssetNameStore names;
    UploadJournal journal;
    CancelledUploads cancelled;
    DedupIndex dedup;
    CurrentUserIdCache currentUser;
    FetchCache cache;
    LibraryMirror library;
    DeletionTombstones tombstones;
    EnumerationSnapshots snapshots;
    PromotedPendingList promoted;
    PedagogicalNoticeQueue notices;
    SyncActivity activity;
    ServerStorage storage;

    const ExtensionStores stores;
};

} // namespace pixavella
