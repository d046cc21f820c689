// Tightening what an earlier version left readable: the tree below the product's folders, and
// nothing a symbolic link points at elsewhere.
#include "PrivateFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace pixavella;

namespace {

mode_t modeOf(const QString& path)
{
    struct stat st {};
    ::lstat(QFile::encodeName(path).constData(), &st);
    return st.st_mode & 07777;
}

void make(const QString& path, mode_t mode)
{
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.close();
    ::chmod(QFile::encodeName(path).constData(), mode);
}

} // namespace

class TestPrivateFiles : public QObject {
    Q_OBJECT

private slots:
    void tightensTheTreeOnly()
    {
        QTemporaryDir dir;
        const QString root = dir.filePath("pixavella");
        QVERIFY(QDir().mkpath(root + "/contents/ab"));
        ::chmod(QFile::encodeName(root).constData(), 0755);
        ::chmod(QFile::encodeName(root + "/contents").constData(), 0775);
        make(root + "/contents/ab/photo", 0644);
        make(root + "/Preferences.sqlite", 0664);
        make(root + "/private", 0600);
        make(root + "/script", 0755);
        const QString outside = dir.filePath("outside.txt");
        make(outside, 0644);
        QVERIFY(QFile::link(outside, root + "/link"));

        QCOMPARE(PrivateFiles::tightenTree(root), 6);
        QCOMPARE(modeOf(root), mode_t(0700));
        QCOMPARE(modeOf(root + "/contents"), mode_t(0700));
        QCOMPARE(modeOf(root + "/contents/ab"), mode_t(0700));
        QCOMPARE(modeOf(root + "/contents/ab/photo"), mode_t(0600));
        QCOMPARE(modeOf(root + "/Preferences.sqlite"), mode_t(0600));
        QCOMPARE(modeOf(root + "/private"), mode_t(0600));
        QCOMPARE(modeOf(root + "/script"), mode_t(0700));
        // The link is not followed out of the tree.
        QCOMPARE(modeOf(outside), mode_t(0644));
        QCOMPARE(PrivateFiles::tightenTree(root), 0);
        QCOMPARE(PrivateFiles::tightenTree(dir.filePath("missing")), 0);
    }
};

QTEST_GUILESS_MAIN(TestPrivateFiles)
#include "TestPrivateFiles.moc"
