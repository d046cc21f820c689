// Photos dropped into the drive and sent by the tray's uploader (run here, as the tray runs
// it): once they are on the server, each month lists each of them exactly once, readable, and
// nothing stays behind where they were dropped, whether or not the month had been listed. The
// fault this guards against was a race, so each case runs several rounds.
#include "AssetNameStore.h"
#include "CancelledUploads.h"
#include "DriveHarness.h"
#include "HttpSession.h"
#include "PedagogicalNoticeQueue.h"
#include "ProcessStores.h"
#include "PromotedPendingList.h"
#include "SettingsSuite.h"
#include "UploadJournal.h"
#include "UploadQuarantine.h"
#include "UploadReconciler.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>

using namespace pixavella;
using testing::appStores;
using namespace pixavella::testing;

namespace {

constexpr int kPhotos = 10;
constexpr int kSlow = 60'000;

// A JPEG of its own colour (no EXIF: the file's time dates it).
QByteArray writePhoto(const QString& path, int seed, const QDateTime& taken)
{
    QImage image(48, 32, QImage::Format_RGB32);
    image.fill(QColor::fromHsv((seed * 47) % 360, 160, 210));
    if (!image.save(path, "JPEG"))
        return {};
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite) ||
        !file.setFileTime(taken, QFileDevice::FileModificationTime))
        return {};
    return file.readAll();
}

bool queueHolds(const QString& prefix)
{
    for (const UploadQuarantine::Entry& entry : UploadQuarantine::shared().list())
        if (entry.filename.startsWith(prefix))
            return true;
    return false;
}

} // namespace

class TestDriveUploads : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_local.isValid());
        QVERIFY(m_drive.startServer());
        QVERIFY(!m_drive.addAsset(kMe, "mai.jpg", "2020-05-02T10:00:00.000Z", "mai").isEmpty());
        m_drive.signIn();
        QVERIFY(m_drive.mount());
        m_reconciler = std::make_unique<UploadReconciler>(appStores().forUploads(), nullptr);
        // What the tray does once uploads settle: the drive's folders are asked again.
        connect(m_reconciler.get(), &UploadReconciler::refreshRequested, this, [this] {
            for (const QString& container : {FileProviderContainer::workingSet,
                                             FileProviderContainer::root, QString("photos")})
                (void)m_drive.signal(container);
        });
        m_reconciler->start();
    }
    void cleanupTestCase()
    {
        m_reconciler.reset();
        m_drive.stop();
    }

    void eachPhotoOnceAfterItsUpload_data()
    {
        QTest::addColumn<QString>("month");
        QTest::addColumn<QDate>("day");
        QTest::addColumn<bool>("listedBefore");
        for (int round = 1; round <= 3; ++round) {
            QTest::addRow("month never listed, round %d", round)
                << QStringLiteral("Mes photos/%1/Juillet").arg(2010 + round)
                << QDate(2010 + round, 7, 14) << false;
            QTest::addRow("month listed, round %d", round)
                << QStringLiteral("Mes photos/2020/Mai") << QDate(2020, 5, 10 + round) << true;
        }
    }
    void eachPhotoOnceAfterItsUpload()
    {
        QFETCH(QString, month);
        QFETCH(QDate, day);
        QFETCH(bool, listedBefore);
        static int round = 0;
        const QString prefix = QStringLiteral("FRESH_%1_").arg(++round);
        const QString folder = m_local.filePath(prefix);
        QVERIFY(QDir().mkpath(folder));
        QStringList names;
        QHash<QString, QByteArray> bytes;
        QStringList arguments;
        for (int i = 1; i <= kPhotos; ++i) {
            const QString name = prefix + QStringLiteral("%1.jpg").arg(i, 3, 10, QChar(u'0'));
            bytes[name] = writePhoto(folder + u'/' + name, round * 100 + i,
                                     QDateTime(day, QTime(12, i), Qt::UTC));
            QVERIFY(!bytes[name].isEmpty());
            names << name;
            arguments << folder + u'/' + name;
        }
        if (listedBefore)
            QVERIFY(m_drive.ls(month).contains("mai.jpg"));
        arguments << m_drive.path("Mes photos/");
        const ToolRun copied = m_drive.run("cp", {QStringList{"-p"} + arguments});
        QVERIFY2(copied.exitCode == 0, copied.err.constData());

        QTRY_VERIFY_WITH_TIMEOUT(!queueHolds(prefix), kSlow);
        const auto shown = [&](const QString& where) { return m_drive.ls(where).filter(prefix); };
        QTRY_COMPARE_WITH_TIMEOUT(shown(month), names, kSlow);
        QTRY_COMPARE_WITH_TIMEOUT(shown("Mes photos"), QStringList{}, kSlow);
        for (const QString& name : std::as_const(names)) {
            QFile file(m_drive.path(month + u'/' + name));
            QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(name));
            QCOMPARE(file.readAll(), bytes[name]);
        }
    }

private:
    DriveHarness m_drive;
    QTemporaryDir m_local;
    std::unique_ptr<UploadReconciler> m_reconciler;
};

QTEST_GUILESS_MAIN(TestDriveUploads)
#include "TestDriveUploads.moc"
