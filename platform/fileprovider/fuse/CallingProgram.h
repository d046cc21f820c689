#pragma once

#include <QString>
#include <QStringList>

#include <sys/types.h>

namespace pixavella {

// The program behind a request, read from /proc: the drive treats the programs that make
// thumbnails and those that show them apart from the others.
struct CallingProgram {
    QString executable; // file name of the process's executable; empty when unreadable
    QString name;       // the process's name (comm: its first 15 characters)

    // `pid` is the thread FUSE names as the caller; its process is what is read.
    static CallingProgram of(pid_t pid);

    // A thumbnailer (gdk-pixbuf-thumbnailer, ffmpegthumbnailer, totem-video-thumbnailer,
    // tumblerd…): it reads a photo only to draw its thumbnail.
    bool isThumbnailer() const;
    // Whether the executable or the name is one of `programs` (names of 15 characters and
    // more are compared as the kernel cuts them).
    bool isAnyOf(const QStringList& programs) const;
};

} // namespace pixavella
