#include "MountTable.h"
#include "MountedHost.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <unistd.h>

using namespace pixavella;

namespace {

const QString root = FileProviderContainer::root;

// Processes whose parent is this test: a helper left behind (fusermount3) would show here.
QStringList childProcesses()
{
    QStringList found;
    const QString self = QString::number(::getpid());
    for (const QString& pid : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat("/proc/" + pid + "/stat");
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        // pid (comm) state ppid …; comm may hold spaces: split after the last ')'.
        const QList<QByteArray> rest = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (rest.size() > 1 && rest.at(1) == self.toLatin1())
            found.append(pid);
    }
    return found;
}

} // namespace

class TestFuseHostUnmount : public QObject {
    Q_OBJECT
private slots:
    void unmountLeavesNothingBehind_data();
    void unmountLeavesNothingBehind();
    void mountedTwiceIsRefused();
};

void TestFuseHostUnmount::unmountLeavesNothingBehind_data()
{
    QTest::addColumn<bool>("fileOpen");
    QTest::newRow("idle") << false;
    QTest::newRow("a file still open") << true;
}

void TestFuseHostUnmount::unmountLeavesNothingBehind()
{
    QFETCH(bool, fileOpen);
    auto ext = std::make_shared<MemoryExtension>();
    ext->put(MemoryExtension::file("a", root, "a.jpg", 5), "hello");
    MountedHost mounted(ext);
    QVERIFY(mounted.mount());
    QVERIFY(MountTable::find(mounted.mountPoint()));
    QFile open(mounted.path("a.jpg"));
    if (fileOpen) {
        QVERIFY(open.open(QIODevice::ReadOnly));
        QCOMPARE(open.read(5), QByteArray("hello"));
    }

    mounted.host().unmount();
    QVERIFY(!mounted.host().isMounted());
    QVERIFY(!MountTable::find(mounted.mountPoint()));
    QVERIFY(QDir(mounted.mountPoint()).isEmpty());
    QCOMPARE(childProcesses(), QStringList());
    // A file left open reads no more, but its owner is not hung.
    if (fileOpen)
        QVERIFY(open.read(5).isEmpty());
}

void TestFuseHostUnmount::mountedTwiceIsRefused()
{
    auto ext = std::make_shared<MemoryExtension>();
    MountedHost first(ext);
    QVERIFY(first.mount());
    FuseHost second(ext, first.options());
    const Result<void> again = second.mount();
    QVERIFY(!again);
    QCOMPARE(again.error().code, EBUSY);
    QCOMPARE(runTool("ls", {first.mountPoint()}).exitCode, 0);
}

QTEST_GUILESS_MAIN(TestFuseHostUnmount)
#include "TestFuseHostUnmount.moc"
