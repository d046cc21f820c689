#include "ErrnoMapping.h"
#include "FileProviderError.h"

#include <QNetworkReply>
#include <QTest>

#include <cerrno>

using namespace pixavella;

class TestErrnoMapping : public QObject {
    Q_OBJECT
private slots:
    void mapsEveryDomain_data();
    void mapsEveryDomain();
};

void TestErrnoMapping::mapsEveryDomain_data()
{
    QTest::addColumn<Error>("error");
    QTest::addColumn<int>("expected");

    QTest::newRow("not authenticated") << fileProviderError(-1000) << EACCES;
    QTest::newRow("no such item") << fileProviderError(-1005) << ENOENT;
    QTest::newRow("server unreachable") << fileProviderError(-1004) << EHOSTUNREACH;
    QTest::newRow("other framework code") << fileProviderError(-1) << EIO;
    QTest::newRow("unsupported") << unsupportedOperationError() << ENOTSUP;
    QTest::newRow("http 401") << Error{ErrorDomain::Client, 401, {}} << EACCES;
    QTest::newRow("http 403") << Error{ErrorDomain::Client, 403, {}} << EACCES;
    QTest::newRow("http 404") << Error{ErrorDomain::Client, 404, {}} << ENOENT;
    QTest::newRow("http 400") << Error{ErrorDomain::Client, 400, {}} << ENOENT;
    QTest::newRow("http 500") << Error{ErrorDomain::Client, 500, {}} << EIO;
    QTest::newRow("no http status") << Error{ErrorDomain::Client, -1, {}} << EIO;
    QTest::newRow("transport time-out")
        << Error{ErrorDomain::Network, QNetworkReply::TimeoutError, {}} << ETIMEDOUT;
    QTest::newRow("connection refused")
        << Error{ErrorDomain::Network, QNetworkReply::ConnectionRefusedError, {}} << EHOSTUNREACH;
    QTest::newRow("file error") << fileError(ENOSPC, {}) << ENOSPC;
    QTest::newRow("file error without errno") << Error{ErrorDomain::File, 0, {}} << EIO;
    QTest::newRow("decoding") << Error{ErrorDomain::Decoding, 0, {}} << EIO;
}

void TestErrnoMapping::mapsEveryDomain()
{
    QFETCH(Error, error);
    QFETCH(int, expected);
    QCOMPARE(errnoForError(error), expected);
}

QTEST_GUILESS_MAIN(TestErrnoMapping)
#include "TestErrnoMapping.moc"
