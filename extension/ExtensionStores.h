#pragma once

namespace pixavella {

class AssetNameStore;
class CancelledUploads;
class CurrentUserIdCache;
class DedupIndex;
class DeletionTombstones;
class EnumerationSnapshots;
class FetchCache;
class LibraryMirror;
class PedagogicalNoticeQueue;
class PromotedPendingList;
class ServerStorage;
class SyncActivity;
class UploadJournal;
class UploadQuarantine;
class UserNoticeQueue;

// The stores and caches the drive's requests read and write, built once by whoever starts the
// drive (see DriveStores) and handed to every part of the extension.
//
// Copied into the requests' callbacks rather than pointed at: a request may outlive the
// extension that started it. The objects referred to must outlive every request; each is
// safe to use from any thread, as the requests run on the framework's workers and the HTTP
// callback pool.
struct ExtensionStores {
    UploadQuarantine& quarantine;
    UploadJournal& journal;
    CancelledUploads& cancelled;
    AssetNameStore& names;
    FetchCache& cache;
    LibraryMirror& library;
    CurrentUserIdCache& currentUser;
    DeletionTombstones& tombstones;
    EnumerationSnapshots& snapshots;
    PromotedPendingList& promoted;
    DedupIndex& dedup;
    PedagogicalNoticeQueue& notices;
    UserNoticeQueue& userNotices;
    SyncActivity& activity;
    ServerStorage& storage;
};

} // namespace pixavella
