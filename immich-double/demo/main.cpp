// demo-library: writes a small photo library for the double's --demo switch: photos over three
// years with their camera capture dates, one clip, a second user's photos and three albums,
// one of them shared by that user (see library.json in the folder written).
#include "DemoPictures.h"
#include "MediaWriters.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImageWriter>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>

#include <cstdio>

using namespace demolibrary;

namespace {

const QSize kPhotoSize(1280, 960);
const QSize kClipSize(512, 288);
constexpr int kClipFrames = 36;
constexpr int kClipFramesPerSecond = 12;

struct Photo {
    QString path; // relative to the library folder
    QDateTime captured;
    quint32 seed = 0;
};

QByteArray jpegOf(const QImage& image, int quality)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(quality);
    writer.write(image);
    return bytes;
}

QString caption(const QString& path, const QDateTime& captured)
{
    const QString name = QFileInfo(path).completeBaseName();
    return name + QStringLiteral(" · ") +
           QLocale(QLocale::French).toString(captured.date(), QStringLiteral("d MMMM yyyy"));
}

bool writeFile(const QString& path, const QByteArray& bytes, const QDateTime& modified)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return false;
    // The date a file without EXIF is filed under.
    return file.setFileTime(modified, QFileDevice::FileModificationTime);
}

// Twelve photos a year over 2022-2024, several in the summer months, then a second user's week-end.
QList<Photo> plannedPhotos()
{
    static const int months[] = {1, 3, 4, 5, 6, 7, 7, 7, 8, 8, 10, 12};
    QList<Photo> photos;
    int number = 1;
    for (int year = 2022; year <= 2024; ++year) {
        for (int slot = 0; slot < 12; ++slot, ++number) {
            const QDate day(year, months[slot], 1 + (number * 7) % 27);
            const QTime time(8 + (number * 5) % 11, (number * 13) % 60, (number * 29) % 60);
            photos.append({QStringLiteral("photos/%1/IMG_%2.jpg")
                               .arg(year)
                               .arg(number, 4, 10, QLatin1Char('0')),
                           QDateTime(day, time, Qt::UTC), quint32(number)});
        }
    }
    for (int i = 0; i < 6; ++i) {
        const QDateTime when(QDate(2024, 5, 18 + i / 3), QTime(10 + 2 * (i % 3), 15 * i), Qt::UTC);
        photos.append({QStringLiteral("camille/IMG_%1.jpg").arg(5001 + i), when, quint32(900 + i)});
    }
    return photos;
}

QJsonArray pathsWhere(const QList<Photo>& photos, const std::function<bool(const Photo&)>& keep)
{
    QJsonArray paths;
    for (const Photo& photo : photos) {
        if (keep(photo))
            paths.append(photo.path);
    }
    return paths;
}

QJsonObject manifest(const QList<Photo>& photos, const QString& clip, const QString& mainUser)
{
    const QString other = QStringLiteral("camille@pixavella.local");
    QJsonArray holidays = pathsWhere(photos, [](const Photo& p) {
        return p.path.startsWith(QLatin1String("photos/2023/")) && p.captured.date().month() >= 7 &&
               p.captured.date().month() <= 8;
    });
    holidays.append(clip);
    const QJsonArray birthdays = pathsWhere(photos, [](const Photo& p) {
        return p.path.startsWith(QLatin1String("photos/")) && p.captured.date().month() == 3;
    });
    const QJsonArray weekEnd = pathsWhere(
        photos, [](const Photo& p) { return p.path.startsWith(QLatin1String("camille/")); });
    return {{QStringLiteral("users"),
             QJsonArray{QJsonObject{{QStringLiteral("email"), other},
                                    {QStringLiteral("password"), QStringLiteral("camille")},
                                    {QStringLiteral("name"), QStringLiteral("Camille Martin")},
                                    {QStringLiteral("folder"), QStringLiteral("camille")}}}},
            {QStringLiteral("albums"),
             QJsonArray{
                 QJsonObject{{QStringLiteral("albumName"), QStringLiteral("Vacances d'été 2023")},
                             {QStringLiteral("assets"), holidays}},
                 QJsonObject{{QStringLiteral("albumName"), QStringLiteral("Anniversaires")},
                             {QStringLiteral("assets"), birthdays}},
                 QJsonObject{{QStringLiteral("albumName"), QStringLiteral("Week-end à Lyon")},
                             {QStringLiteral("owner"), other},
                             {QStringLiteral("assets"), weekEnd},
                             {QStringLiteral("members"),
                              QJsonArray{QJsonObject{
                                  {QStringLiteral("email"), mainUser},
                                  {QStringLiteral("role"), QStringLiteral("editor")}}}}}}}};
}

} // namespace

int main(int argc, char** argv)
{
    // Pictures are drawn off screen, whatever display there is.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2 || args.size() > 3 || args.at(1).startsWith(QLatin1Char('-'))) {
        std::fprintf(stderr, "usage: demo-library FOLDER [MAIN-USER-EMAIL]\n");
        return 2;
    }
    const QDir root(args.at(1));
    const QString mainUser = args.value(2, QStringLiteral("demo@pixavella.local"));

    const QList<Photo> photos = plannedPhotos();
    for (const Photo& photo : photos) {
        const QImage image = drawLandscape(kPhotoSize, photo.seed, photo.captured.date().month(),
                                           caption(photo.path, photo.captured));
        const bool second = photo.path.startsWith(QLatin1String("camille/"));
        const CameraFacts facts{second ? QStringLiteral("Lumen") : QStringLiteral("Orsa"),
                                second ? QStringLiteral("Lumen 8") : QStringLiteral("Orsa X2"),
                                photo.captured, kPhotoSize};
        if (!writeFile(root.filePath(photo.path), withExif(jpegOf(image, 85), facts),
                       photo.captured)) {
            std::fprintf(stderr, "demo-library: cannot write %s\n",
                         qPrintable(root.filePath(photo.path)));
            return 1;
        }
    }

    const QString clip = QStringLiteral("videos/VID_0001.avi");
    const QDateTime clipDate(QDate(2023, 7, 20), QTime(18, 30), Qt::UTC);
    QList<QByteArray> frames;
    for (int i = 0; i < kClipFrames; ++i)
        frames.append(
            jpegOf(drawClipFrame(kClipSize, i, kClipFrames, caption(clip, clipDate)), 80));
    const QByteArray manifestText =
        QJsonDocument(manifest(photos, clip, mainUser)).toJson(QJsonDocument::Indented);
    if (!writeFile(root.filePath(clip), motionJpegAvi(frames, kClipSize, kClipFramesPerSecond),
                   clipDate) ||
        !writeFile(root.filePath(QStringLiteral("library.json")), manifestText,
                   QDateTime::currentDateTimeUtc())) {
        std::fprintf(stderr, "demo-library: cannot write into %s\n", qPrintable(root.path()));
        return 1;
    }
    std::printf("%lld photos and 1 clip in %s\n", qint64(photos.size()),
                qPrintable(root.absolutePath()));
    return 0;
}
