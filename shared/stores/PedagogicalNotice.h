#pragma once

#include <QString>

#include <array>
#include <optional>

namespace pixavella {

// The short explanations shown the first time the user meets a behaviour of the drive. The
// order is the index used by the presenter's tables; the key is what the queue stores.
enum class PedagogicalNotice {
    library,
    newfolder,
    shared,
    trash,
    remove,
    delalbum,
    move,
    nonmedia,
    renamephoto,
    materialize,
    duplicate,
    samename,
    albumready,
    addtoalbum,
    shareRemoveOwnOnly,
};

inline constexpr std::array<PedagogicalNotice, 15> kAllPedagogicalNotices = {
    PedagogicalNotice::library,
    PedagogicalNotice::newfolder,
    PedagogicalNotice::shared,
    PedagogicalNotice::trash,
    PedagogicalNotice::remove,
    PedagogicalNotice::delalbum,
    PedagogicalNotice::move,
    PedagogicalNotice::nonmedia,
    PedagogicalNotice::renamephoto,
    PedagogicalNotice::materialize,
    PedagogicalNotice::duplicate,
    PedagogicalNotice::samename,
    PedagogicalNotice::albumready,
    PedagogicalNotice::addtoalbum,
    PedagogicalNotice::shareRemoveOwnOnly,
};

QString noticeKey(PedagogicalNotice notice);
std::optional<PedagogicalNotice> noticeFromKey(const QString& key);

// Localised title and body ("\n\n" between paragraphs).
QString noticeTitle(PedagogicalNotice notice);
// The trash notice names the web address where trashed photos can be restored: the host of
// the stored server address.
QString noticeText(PedagogicalNotice notice);
QString noticeText(PedagogicalNotice notice, const QString& webDomain);

// The host (and port when one is given) of the stored server address, or of the default one.
QString serviceWebDomain();

} // namespace pixavella
