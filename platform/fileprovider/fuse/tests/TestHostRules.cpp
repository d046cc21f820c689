// The host's rules that need no mount: local names, cached misses, killed writers, callers.
#include "CallingProgram.h"
#include "LocalNames.h"
#include "NegativeEntries.h"
#include "TrashFolder.h"
#include "WriterState.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTest>

#include <sys/prctl.h>
#include <unistd.h>

#include <thread>

using namespace pixavella;
using namespace std::chrono_literals;

class TestHostRules : public QObject {
    Q_OBJECT

private slots:
    // A file that stays local is never uploaded: a photo taken for a temporary file is lost.
    void localPlaces()
    {
        const QString photos = QStringLiteral("photos");
        const QList<std::tuple<QString, QByteArray, bool>> rows{
            {photos, "IMG_1.JPG", false},
            {photos, "a.tmp.jpg", false},
            {photos, ".IMG_1.JPG.Xa3f", true},
            {photos, "IMG_1.JPG~", true},
            {photos, "IMG_1.JPG.PART", true},
            {FileProviderContainer::trash, "a.jpg", true},
            {FuseHostFolder::trashInfo, "a.jpg.trashinfo", true}};
        for (const auto& [parent, name, local] : rows) {
            QVERIFY2(TrashFolder::isLocalPlace(parent, name) == local, name.constData());
            QVERIFY(parent != photos || LocalNames::isLocal(name) == local);
        }
    }

    // A miss the kernel may still hold is invalidated on arrival; a full registry says so.
    void cachedMisses()
    {
        const auto t0 = NegativeEntries::Clock::now();
        QVERIFY(!NegativeEntries(0).note(1, "a", t0));
        NegativeEntries misses(1.0);
        const QList<QPair<InodeNumber, QByteArray>> arrivals{{1, "a"}, {1, "b"}, {2, "a"}};
        QVERIFY(misses.note(1, "a", t0) && misses.note(2, "a", t0));
        misses.forget(2, "a");
        QCOMPARE(misses.takeArrived(arrivals, t0 + 1500ms), (QList{arrivals[0]}));
        QVERIFY(misses.takeArrived(arrivals, t0 + 1500ms).isEmpty());
        QVERIFY(misses.note(1, "a", t0));
        QVERIFY(misses.takeArrived(arrivals, t0 + 2100ms).isEmpty()); // the kernel forgot it

        for (int i = 0; i < NegativeEntries::kCapacity; ++i)
            QVERIFY(misses.note(3, QByteArray::number(i), t0));
        QVERIFY(!misses.note(3, "full", t0 + 1s));
        QVERIFY(misses.note(3, "full", t0 + 3s));
    }

    // /proc/<pid>/stat: flags field 9, exit code field 52, after a name that may hold ") ".
    void writerKilled()
    {
        const QList<std::tuple<QByteArray, int, int, int, bool>> rows{
            {"cp", 0x400004, 9, 52, true},
            {"cp", 0x400004, 256, 52, false},
            {"cp", 0x400000, 9, 52, false},
            {"a) R 1 4 (b", 0x4, 9, 52, true},
            {"cp", 0x4, 9, 51, false}};
        for (const auto& [name, flags, exitCode, fields, killed] : rows) {
            QByteArray stat = "4242 (" + name + ")";
            for (int field = 3; field <= fields; ++field)
                stat += ' ' + QByteArray::number(field == 9 ? flags : field == 52 ? exitCode : 4);
            stat += '\n';
            QVERIFY2(WriterState::isEndingBySignal(stat.constData()) == killed, stat.constData());
        }
        QVERIFY(!WriterState::isEndingBySignal("4242 cp R 1"));
    }

    // FUSE names the calling thread; its process is what is read, and names are compared as
    // the kernel cuts them (15 bytes).
    void callingPrograms()
    {
        QVERIFY(::prctl(PR_SET_NAME, "viewer-of-photos") == 0);
        CallingProgram caller;
        std::thread([&caller] {
            ::prctl(PR_SET_NAME, "worker");
            caller = CallingProgram::of(::gettid());
        }).join();
        QCOMPARE(caller.name, QStringLiteral("viewer-of-photo"));
        QCOMPARE(caller.executable, QFileInfo(QCoreApplication::applicationFilePath()).fileName());
        QVERIFY(caller.isAnyOf({"eog", "viewer-of-photos"}));
        QVERIFY(!caller.isAnyOf({"viewer-of-phot", "worker"}) && !caller.isThumbnailer());
        QVERIFY(!CallingProgram::of(0).isAnyOf({""}));
        const QList<std::tuple<QString, QString, bool>> thumbnailers{
            {"", "gdk-pixbuf-thum", true}, {"", "totem-video-thu", true},
            {"", "anthu", false},          {"ffmpegthumbnailer", "", true},
            {"", "tumblerd", true},        {"tumbler", "eog", false}};
        for (const auto& [executable, name, thumbnailer] : thumbnailers)
            QCOMPARE((CallingProgram{executable, name}.isThumbnailer()), thumbnailer);
    }

};

QTEST_GUILESS_MAIN(TestHostRules)
#include "TestHostRules.moc"
