// The host's rules that need no mount: local names, cached misses, killed writers, names on
// disk, callers, cached contents, deadlines and the answer to each request.
#include "CallingProgram.h"
#include "ContentCache.h"
#include "Deadlines.h"
#include "ErrnoMapping.h"
#include "FileProviderError.h"
#include "HostWrites.h"
#include "LocalNames.h"
#include "NameDisambiguator.h"
#include "NegativeEntries.h"
#include "PendingRequests.h"
#include "TrashFolder.h"
#include "WriterState.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QNetworkReply>
#include <QTemporaryDir>
#include <QProcess>
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

        // Read from the writer's stat file, kept open from one close to the next; a writer
        // gone makes that read fail, and nothing stale is answered.
        QVERIFY(!WriterState::isEndingBySignal(::getpid()));
        QProcess child;
        child.start(QStringLiteral("sleep"), {QStringLiteral("30")});
        QVERIFY(child.waitForStarted());
        const pid_t pid = pid_t(child.processId());
        QVERIFY(!WriterState::isEndingBySignal(pid));
        QVERIFY(!WriterState::isEndingBySignal(pid));
        child.kill();
        QVERIFY(child.waitForFinished());
        QVERIFY(!WriterState::isEndingBySignal(pid));
        QVERIFY(!WriterState::isEndingBySignal(::getpid()));
    }

    // A free name is kept and the others get the lowest free number, whatever the order of the
    // entries. Ranks and names already shown are TestReplica's, what the kernel refuses
    // TestFuseHostListing's.
    void namesOnDisk()
    {
        using E = NameDisambiguator::Entry;
        const auto deal = [](QList<E> entries, const QSet<QByteArray>& reserved = {}) {
            const auto dealt = NameDisambiguator::uniqueNames(entries, reserved);
            std::reverse(entries.begin(), entries.end());
            QByteArrayList names{NameDisambiguator::uniqueNames(entries, reserved) == dealt
                                     ? "same either way"
                                     : "depends on the order"};
            for (auto e = entries.crbegin(); e != entries.crend(); ++e)
                names << dealt.value(e->identifier);
            return names.join('|');
        };
        const auto files = [](const QStringList& names, bool isFolder = false) {
            QList<E> entries;
            for (const QString& name : names)
                entries.append({QString::number(entries.size()), name, isFolder, {}, {}});
            return entries;
        };
        QCOMPARE(deal(files({"x.jpg", "x.jpg", "x 2.jpg", "X.jpg"})),
                 "same either way|x.jpg|x 3.jpg|x 2.jpg|X.jpg");
        QCOMPARE(deal(files({"Été.2024", "Été.2024"}, true)),
                 "same either way|Été.2024|Été.2024 2");
        QCOMPARE(deal(files({"a.jpg"}), {"a.jpg", "a 2.jpg"}), "same either way|a 3.jpg");

        // Cut on a character boundary, keeping the extension while it fits in 255 bytes.
        const QString e300(300, u'é');
        QCOMPARE(NameDisambiguator::diskName(e300 + ".heic", false),
                 QString(e300.left(125) + ".heic").toUtf8());
        QCOMPARE(NameDisambiguator::numbered("x." + QString(300, u'b'), false, 2),
                 "x." + QByteArray(251, 'b') + " 2");
        QCOMPARE(NameDisambiguator::truncatedUtf8("ab😀", 5), QByteArray("ab"));
        for (const char* name : {"a/b", ".", ".."})
            QCOMPARE(NameDisambiguator::filenameOf(NameDisambiguator::diskName(name, false)),
                     QString(name));
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

    // A new version replaces the item's old one only, contents without a version are never
    // found, a failed adoption keeps what was cached, and deliveries left by a previous run are
    // gone.
    void cachedContents()
    {
        QTemporaryDir dir;
        auto cache = std::make_unique<ContentCache>(dir.path());
        int deliveries = 0;
        const auto deliver = [&](const QByteArray& bytes) {
            QFile file(cache->incomingDirectory() + u'/' + QString::number(++deliveries));
            return file.open(QIODevice::WriteOnly) && file.write(bytes) ? file.fileName() : "";
        };
        const auto read = [](const std::optional<QString>& path) {
            QFile file(path.value_or(QString()));
            return path && file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("none");
        };
        for (const auto& [item, version, bytes] :
             {std::tuple{"a", "1", "one"}, {"b", "1", "b"}, {"a", "2", "two"}})
            QVERIFY(cache->adopt(item, version, deliver(bytes)));
        const Result<QString> uncached = cache->adopt("c", "", deliver("three"));
        QCOMPARE(read(uncached.value()), QByteArray("three"));
        QCOMPARE(read(cache->find("a", "1")) + read(cache->find("a", "2")) +
                     read(cache->find("b", "1")) + read(cache->find("c", "")),
                 QByteArray("nonetwobnone"));

        const QString cut = deliver("cut short");
        cache = std::make_unique<ContentCache>(dir.path());
        QVERIFY(!QFile::exists(cut) && !QFile::exists(uncached.value()));
        QVERIFY(!cache->adopt("a", "3", cut));
        QCOMPARE(read(cache->find("a", "2")), QByteArray("two"));
    }

    // In time order unless cancelled; nothing once stopped.
    void deadlines()
    {
        Deadlines deadlines;
        std::atomic<int> ran = 0; // the digits of the actions, in the order they ran
        const auto note = [&ran](int digit) { return [&ran, digit] { ran = ran * 10 + digit; }; };
        deadlines.schedule(60ms, note(3));
        deadlines.cancel(deadlines.schedule(20ms, note(9)));
        deadlines.schedule(10ms, note(1));
        deadlines.schedule(10ms, note(2));
        deadlines.schedule(10h, note(8));
        QTRY_COMPARE(ran.load(), 123);
        deadlines.stop();
        QCOMPARE(deadlines.schedule(0ms, note(7)), Deadlines::Id(0));
    }

    // The errno a program sees for each error of the layers below; never 0, which reads as
    // success to the kernel.
    void errnoOfEachError()
    {
        using Code = int;
        const QList<std::pair<Error, Code>> rows{
            {fileProviderError(FileProviderErrorCode::notAuthenticated), EACCES},
            {fileProviderError(FileProviderErrorCode::noSuchItem), ENOENT},
            {fileProviderError(FileProviderErrorCode::serverUnreachable), EHOSTUNREACH},
            {fileProviderError(FileProviderErrorCode::filenameCollision), EEXIST},
            {fileProviderError(FileProviderErrorCode::insufficientQuota), ENOSPC},
            {fileProviderError(FileProviderErrorCode::excludedFromSync), EPERM},
            {unsupportedOperationError(), ENOTSUP},
            {Error{ErrorDomain::Client, 403, {}}, EACCES},
            {Error{ErrorDomain::Client, 404, {}}, ENOENT},
            {Error{ErrorDomain::Client, 500, {}}, EIO},
            {Error{ErrorDomain::Network, QNetworkReply::TimeoutError, {}}, ETIMEDOUT},
            {Error{ErrorDomain::Network, QNetworkReply::ConnectionRefusedError, {}},
             EHOSTUNREACH},
            {fileError(ENOSPC, {}), ENOSPC},
            {Error{ErrorDomain::File, 0, {}}, EIO},
            {Error{ErrorDomain::File, -2, {}}, EIO},
            {Error{ErrorDomain::Decoding, 0, {}}, EIO}};
        for (const auto& [error, expected] : rows)
            QVERIFY2(errnoForError(error) == expected,
                     qPrintable(error.domain + u' ' + QString::number(error.code)));
    }

    // A rename onto a name already shown: only the move, the other item giving way first, or
    // a refusal. The same photo under its other folder's name is no other photo.
    void renameOntoAShownName()
    {
        const auto entry = [](const QString& id, bool folder, const QByteArray& contents) {
            ReplicaEntry e;
            e.item.itemIdentifier = id;
            e.item.itemVersion = FileProviderItemVersion(contents, "m");
            e.isFolder = folder;
            return e;
        };
        using Onto = HostWrites::Onto;
        const ReplicaEntry photo = entry("album:A/asset:1", false, "c1");
        const QList<std::tuple<std::optional<ReplicaEntry>, Onto::Step, int>> rows{
            {std::nullopt, Onto::moveOnly, 0},
            {photo, Onto::moveOnly, 0},
            {entry("asset:1", false, "c1"), Onto::moveOnly, 0},
            {entry("asset:2", false, "c2"), Onto::replaceFirst, 0},
            {entry("album:B", true, ""), Onto::refuse, EISDIR}};
        for (const auto& [replaced, step, error] : rows) {
            const Onto onto = HostWrites::renameOnto(photo, replaced);
            QCOMPARE(onto.step, step);
            QCOMPARE(onto.error, error);
        }
        const ReplicaEntry folder = entry("album:A", true, "");
        QCOMPARE(HostWrites::renameOnto(folder, entry("album:B", true, "")).error, EPERM);
        QCOMPARE(HostWrites::renameOnto(folder, photo).error, ENOTDIR);
        // Without versions nothing says they are one photo.
        QCOMPARE(HostWrites::renameOnto(entry("asset:3", false, ""), entry("asset:4", false, ""))
                     .step,
                 Onto::replaceFirst);
    }

    // Whoever takes a request first answers it, with the request it was added with; the others
    // are told it is taken.
    void requestAnsweredOnce()
    {
        PendingRequests requests;
        const auto req = [](qsizetype n) { return reinterpret_cast<fuse_req_t>(n + 1); };
        QList<PendingRequests::Id> ids;
        while (ids.size() < 200)
            ids << requests.add(req(ids.size()));
        std::atomic<int> answered = 0;
        std::atomic<int> refused = 0;
        std::vector<std::thread> racers;
        for (int t = 0; t < 4; ++t)
            racers.emplace_back([&] {
                for (qsizetype i = 0; i < ids.size(); ++i)
                    refused +=
                        !requests.answer(ids[i], [&](fuse_req_t r) { answered += r == req(i); });
            });
        for (std::thread& racer : racers)
            racer.join();
        QCOMPARE(QList({answered.load(), refused.load(), int(requests.openCount())}),
                 QList({200, 600, 0}));
    }
};

QTEST_GUILESS_MAIN(TestHostRules)
#include "TestHostRules.moc"
