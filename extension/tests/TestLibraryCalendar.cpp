#include "LibraryCalendar.h"

#include <QTest>

#include <ctime>

using namespace pixavella;

class TestLibraryCalendar : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void filesByUtcMonth_data();
    void filesByUtcMonth();
    void monthFolderNames_data();
    void monthFolderNames();
    void folderDates_data();
    void folderDates();
};

void TestLibraryCalendar::initTestCase()
{
    // Far from UTC, so that filing by local time instead of UTC shows.
    qputenv("TZ", "Pacific/Kiritimati");
    tzset();
}

void TestLibraryCalendar::filesByUtcMonth_data()
{
    QTest::addColumn<QString>("dateTimeOriginal"); // "-" for an asset without one
    QTest::addColumn<QString>("fileCreatedAt");
    QTest::addColumn<QString>("year"); // empty: no month key
    QTest::addColumn<QString>("month");

    QTest::newRow("west of UTC, last evening of March") << "2024-03-31T23:30:00-02:00"
                                                        << "-"
                                                        << "2024"
                                                        << "04";
    QTest::newRow("east of UTC, first night of April") << "2024-04-01T00:30:00+02:00"
                                                       << "-"
                                                       << "2024"
                                                       << "03";
    QTest::newRow("UTC with fraction") << "2023-12-31T23:30:00.000Z"
                                       << "-"
                                       << "2023"
                                       << "12";
    QTest::newRow("file creation across the year") << "-"
                                                   << "2024-01-01T00:10:00+01:00"
                                                   << "2023"
                                                   << "12";
    QTest::newRow("exif date wins") << "2022-06-01T10:00:00Z"
                                    << "2024-01-01T00:00:00Z"
                                    << "2022"
                                    << "06";
    QTest::newRow("year before 1000") << "0999-05-01T10:00:00Z"
                                      << "-"
                                      << "999"
                                      << "05";
    QTest::newRow("EXIF style text") << "2024:03:01 10:00:00"
                                     << "2024-01-01T00:00:00Z"
                                     << ""
                                     << "";
    QTest::newRow("UTC, long fraction") << "2024-03-01T10:00:00.123456Z"
                                        << "-"
                                        << "2024"
                                        << "03";
    QTest::newRow("UTC, no such day") << "2023-02-29T10:00:00Z"
                                      << "-"
                                      << ""
                                      << "";
    QTest::newRow("UTC, no such hour") << "2024-03-01T24:00:00Z"
                                       << "-"
                                       << ""
                                       << "";
    QTest::newRow("UTC, empty fraction") << "2024-03-01T10:00:00.Z"
                                         << "-"
                                         << ""
                                         << "";
    QTest::newRow("UTC, lower-case letters") << "2024-03-01t10:00:00z"
                                             << "-"
                                             << ""
                                             << "";
    QTest::newRow("zero offset, as servers write EXIF dates") << "2024-03-31T23:59:59+00:00"
                                                              << "-"
                                                              << "2024"
                                                              << "03";
    QTest::newRow("offset past the year's end") << "2023-12-31T22:00:00.5-02:00"
                                                << "-"
                                                << "2024"
                                                << "01";
    QTest::newRow("offset into the last day of February") << "2024-03-01T00:59:00+01:00"
                                                          << "-"
                                                          << "2024"
                                                          << "02";
    QTest::newRow("offset of 24 hours") << "2024-03-01T10:00:00+24:00"
                                        << "-"
                                        << ""
                                        << "";
    QTest::newRow("offset without colon") << "2024-03-01T10:00:00+0100"
                                          << "-"
                                          << ""
                                          << "";
    QTest::newRow("first month of the calendar") << "0001-01-01T00:30:00+01:00"
                                                 << "-"
                                                 << "-1"
                                                 << "12";
    QTest::newRow("year 0000") << "0000-03-01T10:00:00Z"
                               << "-"
                               << ""
                               << "";
    QTest::newRow("unreadable creation") << "-"
                                         << ""
                                         << ""
                                         << "";
}

void TestLibraryCalendar::filesByUtcMonth()
{
    QFETCH(QString, dateTimeOriginal);
    QFETCH(QString, fileCreatedAt);
    QFETCH(QString, year);
    QFETCH(QString, month);

    ImmichAsset asset;
    asset.id = QStringLiteral("A1");
    asset.fileCreatedAt = fileCreatedAt;
    if (dateTimeOriginal != u"-")
        asset.exifInfo = ExifInfo{std::nullopt, dateTimeOriginal};

    const auto key = monthKey(asset);
    if (year.isEmpty()) {
        QCOMPARE(key, std::nullopt);
        QCOMPARE(captureDate(asset), std::nullopt);
        return;
    }
    QVERIFY(key);
    QCOMPARE(key->year, year);
    QCOMPARE(key->month, month);
    // The numbers agree with the full reading of the date.
    const QDate utc = captureDate(asset)->toUTC().date();
    QCOMPARE(captureMonth(asset), (YearMonth{utc.year(), utc.month()}));
}

void TestLibraryCalendar::monthFolderNames_data()
{
    QTest::addColumn<QString>("month");
    QTest::addColumn<QString>("name");
    QTest::newRow("03") << "03"
                        << "Mars";
    QTest::newRow("12") << "12"
                        << "Décembre";
    QTest::newRow("8 without zero") << "8"
                                    << "Août";
    QTest::newRow("13") << "13"
                        << "13";
    QTest::newRow("00") << "00"
                        << "00";
    QTest::newRow("x") << "x"
                       << "x";
    QTest::newRow("empty") << ""
                           << "";
}

void TestLibraryCalendar::monthFolderNames()
{
    QFETCH(QString, month);
    QTEST(monthFolderName(month), "name");
}

void TestLibraryCalendar::folderDates_data()
{
    QTest::addColumn<QString>("year");
    QTest::addColumn<QString>("month");
    QTest::addColumn<QDateTime>("date"); // invalid: none
    const auto utc = [](int y, int m) { return QDateTime(QDate(y, m, 1), QTime(0, 0), Qt::UTC); };
    QTest::newRow("year folder") << "2024"
                                 << "01" << utc(2024, 1);
    QTest::newRow("month folder") << "2024"
                                  << "03" << utc(2024, 3);
    QTest::newRow("signed texts") << "+2024"
                                  << "+3" << utc(2024, 3);
    QTest::newRow("month x") << "2024"
                             << "x" << QDateTime();
    QTest::newRow("month 13") << "2024"
                              << "13" << QDateTime();
    QTest::newRow("empty year") << ""
                                << "01" << QDateTime();
    QTest::newRow("spaces") << " 2024"
                            << "01" << QDateTime();
    QTest::newRow("huge year") << "99999999999"
                               << "01" << QDateTime();
}

void TestLibraryCalendar::folderDates()
{
    QFETCH(QString, year);
    QFETCH(QString, month);
    QFETCH(QDateTime, date);
    const auto result = folderDate(year, month);
    QCOMPARE(result.has_value(), date.isValid());
    if (result)
        QCOMPARE(*result, date);
}

QTEST_GUILESS_MAIN(TestLibraryCalendar)
#include "TestLibraryCalendar.moc"
