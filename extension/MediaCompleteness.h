#pragma once

#include <QByteArray>
#include <QString>

namespace pixavella {

class FileBytes;

// Whether a dropped file holds a whole media file, told from its own structure with a few small
// reads whatever its size: a JPEG ends with its end-of-image marker, or with a trailer its
// metadata announces (a motion photo's video); a PNG ends with its IEND chunk, a GIF with its
// trailer; a RIFF file (WebP, AVI) is as long as its header says; an ISO-BMFF file (HEIC, AVIF,
// MP4, MOV) is its top-level boxes end to end, with the box that describes the media. Kinds
// whose end cannot be told this way pass; an empty file never does.
namespace MediaCompleteness {

bool isComplete(const QString& path);
bool isComplete(const FileBytes& file);

} // namespace MediaCompleteness

} // namespace pixavella
