// Without a Secret Service the secrets go to files in the container. Run both without any
// session bus and on a bus where no Secret Service can be started.
#include "ContainerPaths.h"
#include "SecretStore.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QTest>

#include <sys/stat.h>

using namespace pixavella;

namespace {

QMutex messagesMutex;
QStringList messages; // protected by messagesMutex
QtMessageHandler previousHandler = nullptr;

void capture(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    {
        QMutexLocker lock(&messagesMutex);
        messages << QString::fromUtf8(context.category) + QLatin1Char(' ') + message;
    }
    previousHandler(type, context, message);
}

QString secretsDirectory()
{
    return ContainerPaths::container() + QStringLiteral("/secrets");
}

int modeOf(const QString& path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return -1;
    return int(st.st_mode & 07777);
}

const QString kSecret = QStringLiteral("Fallback-S3cret-0123456789");

} // namespace

class TestSecretStoreFallback : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { previousHandler = qInstallMessageHandler(capture); }

    void cleanupTestCase()
    {
        qInstallMessageHandler(previousHandler);
        QMutexLocker lock(&messagesMutex);
        for (const QString& message : std::as_const(messages))
            QVERIFY2(!message.contains(kSecret) && !message.contains(QStringLiteral("0123456789")),
                     qPrintable(message));
        // One warning for the whole process, however many calls.
        QCOMPARE(messages.filter(QStringLiteral("no Secret Service")).size(), 1);
    }

    void secretLivesInAPrivateFile()
    {
        const QString account = QStringLiteral("immich.apiKey");
        const QString file = secretsDirectory() + QStringLiteral("/immich.apiKey");
        QVERIFY(!SecretStore::readSecret(account).has_value());

        SecretStore::writeSecret(account, kSecret);
        QCOMPARE(modeOf(secretsDirectory()), 0700);
        QCOMPARE(modeOf(file), 0600);
        QCOMPARE(SecretStore::readSecret(account), std::optional<QString>(kSecret));

        SecretStore::writeSecret(account, kSecret + QStringLiteral("-é"));
        QCOMPARE(modeOf(file), 0600);
        QCOMPARE(SecretStore::readSecret(account), std::optional<QString>(kSecret + "-é"));
        QCOMPARE(QDir(secretsDirectory()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{"immich.apiKey"}); // no temporary file left behind

        // Bytes that are not UTF-8 read as no secret.
        QFile raw(file);
        QVERIFY(raw.open(QIODevice::WriteOnly | QIODevice::Truncate));
        raw.write("\xff\xfe\x80");
        raw.close();
        QVERIFY(!SecretStore::readSecret(account).has_value());

        SecretStore::deleteSecret(account);
        QVERIFY(!QFile::exists(file));
    }

    void accountsThatAreNotFileNamesAreRefused_data()
    {
        QTest::addColumn<QString>("account");
        QTest::newRow("empty") << QString();
        QTest::newRow("hidden") << QStringLiteral(".hidden");
        QTest::newRow("path") << QStringLiteral("../escaped");
    }

    void accountsThatAreNotFileNamesAreRefused()
    {
        QFETCH(QString, account);
        SecretStore::writeSecret(account, kSecret);
        QVERIFY(!SecretStore::readSecret(account).has_value());
        QVERIFY(!QFile::exists(ContainerPaths::container() + QStringLiteral("/escaped")));
        QVERIFY(QDir(secretsDirectory())
                    .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
                    .isEmpty());
    }
};

int main(int argc, char** argv)
{
    // Never a bus autolaunched for an X display.
    qunsetenv("DISPLAY");
    QCoreApplication app(argc, argv);
    TestSecretStoreFallback test;
    return QTest::qExec(&test, argc, argv);
}

#include "TestSecretStoreFallback.moc"
