#pragma once

// Media files for the drive benchmarks. Photos for the drops: a small real JPEG whose Exif
// segment holds its capture date, grown to the size wanted with random bytes after its
// end-of-image marker (where cameras put their trailers) and a last end-of-image marker, so
// that every photo is distinct (the drive refuses one the library already holds), is filed by
// its date and is whole. Whole photos and movies for the drive's completeness check, which
// reads their structure.

#include <QByteArray>
#include <QDateTime>
#include <QString>

namespace pixavella::bench {

struct PhotoSizes {
    qint64 smallest;
    qint64 largest;
};

// `count` photos `prefix`0000.jpg… in `folder`, of sizes drawn from `sizes`, taken a day
// apart from `firstTaken`, their bytes drawn from `seed`. An error text, or empty.
QString writePhotos(const QString& folder, const QString& prefix, int count, PhotoSizes sizes,
                    const QDateTime& firstTaken, quint32 seed);

// A small whole JPEG taken at `taken`, or empty with `error` set. Random bytes and a final
// end-of-image marker after it make a large photo the drive takes as whole.
QByteArray datedJpeg(const QDateTime& taken, QString& error);

// A whole photo of `size` bytes at `path`: datedJpeg, random bytes, an end-of-image marker.
QString writeWholePhoto(const QString& path, qint64 size, const QDateTime& taken, quint32 seed);
// A whole MPEG-4 movie of `size` bytes at `path`: its ftyp box, an mdat box of random bytes and
// the moov box at the end, where cameras write it once they know what they recorded.
QString writeMovie(const QString& path, qint64 size, quint32 seed);

} // namespace pixavella::bench
