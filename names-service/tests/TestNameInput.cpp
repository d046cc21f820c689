// What the names service takes from a client before anything is stored: each refusal is a 4xx
// with a message, and what passes is exactly the text to store.
#include "NameInput.h"

#include <QTest>

using namespace pixavella::names;

namespace {

// 0 and the accepted text, or the refusal's status (-1 when it has no message).
std::pair<int, QString> outcome(const std::variant<QString, InputError>& parsed)
{
    if (const auto* error = std::get_if<InputError>(&parsed))
        return {error->message.isEmpty() ? -1 : error->status, {}};
    return {0, std::get<QString>(parsed)};
}

const QString e512(512, u'é'); // 1024 bytes in UTF-8

} // namespace

class TestNameInput : public QObject {
    Q_OBJECT

private slots:
    void inputs_data()
    {
        QTest::addColumn<bool>("isBody"); // else an asset id from the path
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("accepted");
        const auto body = [](const char* tag, const QByteArray& in, int status, QString ok = {}) {
            QTest::newRow(tag) << true << in << status << ok;
        };
        const auto id = [](const char* tag, const QByteArray& in, int status) {
            QTest::newRow(tag) << false << in << status << (status ? QString() : QString(in));
        };
        const QByteArray padded = R"({"name":"a"})" + QByteArray(64 * 1024 - 12, ' ');
        body("name", R"({"name":"Plage.jpg","other":1})", 0, "Plage.jpg");
        body("escapes", R"({"name":"\u00e9t\u00e9 \ud83d\ude00"})", 0, "été 😀");
        body("1024 bytes", "{\"name\":\"" + e512.toUtf8() + "\"}", 0, e512);
        body("1025 bytes", "{\"name\":\"" + e512.toUtf8() + "x\"}", 400);
        body("64 KiB", padded, 0, "a");
        body("a byte more", padded + ' ', 413);
        body("empty body", "", 400);
        body("not JSON", "name=a", 400);
        body("array", R"(["a"])", 400);
        body("name missing", R"({"nom":"a"})", 400);
        body("name a number", R"({"name":1})", 400);
        body("name null", R"({"name":null})", 400);
        body("name empty", R"({"name":""})", 400);
        body("stray byte", "{\"name\":\"a\xff\"}", 400);
        body("surrogate in UTF-8", "{\"name\":\"\xed\xa0\x80\"}", 400);
        body("overlong slash", "{\"name\":\"\xc0\xaf\"}", 400);
        body("unpaired surrogate escape", R"({"name":"\ud800.jpg"})", 400);
        body("NUL escape", R"({"name":"a\u0000"})", 400);
        id("asset id", "4c1f-é", 0);
        id("256 bytes", QByteArray(256, 'a'), 0);
        id("257 bytes", QByteArray(257, 'a'), 400);
        id("empty id", "", 400);
        id("id not UTF-8", "asset\xff", 400);
        id("id with NUL", QByteArray("a\0b", 3), 400);
    }
    void inputs()
    {
        QFETCH(bool, isBody);
        QFETCH(QByteArray, input);
        QFETCH(int, status);
        QFETCH(QString, accepted);
        const std::string text = input.toStdString();
        const auto [got, value] = outcome(isBody ? parseNameBody(text) : parseAssetId(text));
        QCOMPARE(got, status);
        QCOMPARE(value, accepted);
    }
};

QTEST_GUILESS_MAIN(TestNameInput)
#include "TestNameInput.moc"
