#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QSize>
#include <QString>

// Writers of the demo library's media: JPEG with camera EXIF, and a Motion-JPEG AVI.
namespace demolibrary {

struct CameraFacts {
    QString make;
    QString model;
    QDateTime captured; // UTC; written as DateTimeOriginal, DateTimeDigitized and DateTime
    QSize size;
};

// `jpeg` with an EXIF (APP1) segment holding `facts` put right after its start marker.
// Returns `jpeg` unchanged when it does not start with one.
QByteArray withExif(const QByteArray& jpeg, const CameraFacts& facts);

// An AVI file of `frames` (JPEG bytes, all of `size`) played at `framesPerSecond`.
QByteArray motionJpegAvi(const QList<QByteArray>& frames, QSize size, int framesPerSecond);

} // namespace demolibrary
