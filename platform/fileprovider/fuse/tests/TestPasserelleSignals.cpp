// The daemon run in this process, as passerelle runs it with its extension: the signal it hands
// out reaches its own host, from any thread, with no control socket in between.
#include "ControlProtocol.h"
#include "MemoryExtension.h"
#include "MountedHost.h"
#include "PasserelleDaemon.h"

#include <QCoreApplication>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <thread>

using namespace pixavella;

namespace {

QByteArray sorted(const QByteArray& out)
{
    QList<QByteArray> names = out.split('\n');
    names.removeAll(QByteArray());
    std::sort(names.begin(), names.end());
    return names.join(' ');
}

// Ends the daemon's event loop however the checks end.
struct QuitAtEnd {
    ~QuitAtEnd() { QCoreApplication::quit(); }
};

} // namespace

class TestPasserelleSignals : public QObject {
    Q_OBJECT
private slots:
    void hostSignalReachesTheHostOnTheMainThread();
};

void TestPasserelleSignals::hostSignalReachesTheHostOnTheMainThread()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    auto ext = std::make_shared<MemoryExtension>();
    ext->put(MemoryExtension::folder("photos", FileProviderContainer::root, "Photos"));
    ext->put(MemoryExtension::file("a", "photos", "a.jpg", 1), "a");

    PasserelleOptions options;
    options.socketPath = dir.path() + "/control";
    options.lockPath = dir.path() + "/lock";
    options.host.mountPoint = dir.path() + "/mnt";
    options.host.cacheDirectory = dir.path() + "/cache";
    options.host.thumbnailDirectory = dir.path() + "/thumbnails";
    const QString photos = options.host.mountPoint + "/Photos";

    PasserelleOptions::HostSignal signal;
    int handedOut = 0;
    bool cleared = false;
    bool checked = false;
    options.hostSignals = [&](PasserelleOptions::HostSignal handed) {
        if (!handed) {
            cleared = true;
            return;
        }
        ++handedOut;
        signal = std::move(handed);
        QTimer::singleShot(0, [&] {
            QuitAtEnd quit;
            // Mounted through the socket, as the manager does; the signal is not.
            QLocalSocket socket;
            socket.connectToServer(options.socketPath);
            QVERIFY(
                QTest::qWaitFor([&] { return socket.state() == QLocalSocket::ConnectedState; }));
            socket.write(ControlProtocol::encode({{"command", "add"}}));
            QVERIFY(QTest::qWaitFor([&] { return socket.canReadLine(); }, 20'000));
            const std::optional<QJsonObject> added = ControlProtocol::decode(socket.readLine());
            QVERIFY(added && !ControlProtocol::errorOf(*added));
            QCOMPARE(sorted(runTool("ls", {photos}).out), QByteArray("a.jpg"));

            ext->put(MemoryExtension::file("b", "photos", "b.jpg", 1), "b");
            std::thread([&] { signal("photos"); }).join();
            // Queued to the main thread: the caller's thread started no listing.
            QCOMPARE(ext->changesCount("photos"), 0);
            QTRY_COMPARE(ext->changesCount("photos"), 1);
            QTRY_COMPARE(sorted(runTool("ls", {photos}).out), QByteArray("a.jpg b.jpg"));
            checked = true;
        });
    };

    QCOMPARE(runPasserelleDaemon(MemoryExtension::uniqueOwner(ext), options), 0);
    QCOMPARE(handedOut, 1);
    QVERIFY(checked);
    // Taken back before the daemon goes: a late signal goes elsewhere.
    QVERIFY(cleared);
}

QTEST_GUILESS_MAIN(TestPasserelleSignals)
#include "TestPasserelleSignals.moc"
