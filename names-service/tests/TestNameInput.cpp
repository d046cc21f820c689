// What the names service takes from a client before anything is stored: each refusal is a 4xx
// with a message, and what passes is exactly the text to store.
#include "NameInput.h"

#include <QTest>

using namespace pixavella::names;

class TestNameInput : public QObject {
    Q_OBJECT

private slots:
    void inputs()
    {
        const QByteArray e512 = QString(512, u'é').toUtf8(); // 1024 bytes
        const QByteArray padded = R"({"name":"a"})" + QByteArray(64 * 1024 - 12, ' ');
        // A body (else an asset id from the path), and 0 with the text kept or the refusal.
        const QList<std::tuple<bool, QByteArray, int, QString>> rows{
            {true, R"({"name":"Plage.jpg","other":1})", 0, "Plage.jpg"},
            {true, R"({"name":"\u00e9t\u00e9 \ud83d\ude00"})", 0, "été 😀"},
            {true, "{\"name\":\"" + e512 + "\"}", 0, QString::fromUtf8(e512)},
            {true, "{\"name\":\"" + e512 + "x\"}", 400, {}},
            {true, padded, 0, "a"},
            {true, padded + ' ', 413, {}},
            {true, "", 400, {}},
            {true, "name=a", 400, {}},
            {true, R"(["a"])", 400, {}},
            {true, R"({"nom":"a"})", 400, {}},
            {true, R"({"name":1})", 400, {}},
            {true, R"({"name":""})", 400, {}},
            {true, "{\"name\":\"a\xff\"}", 400, {}},
            {true, "{\"name\":\"\xed\xa0\x80\"}", 400, {}}, // a surrogate, encoded
            {true, "{\"name\":\"\xc0\xaf\"}", 400, {}},     // an overlong slash
            {true, R"({"name":"\ud800.jpg"})", 400, {}},
            {true, R"({"name":"a\u0000"})", 400, {}},
            {false, "4c1f-é", 0, "4c1f-é"},
            {false, QByteArray(256, 'a'), 0, QString(256, u'a')},
            {false, QByteArray(257, 'a'), 400, {}},
            {false, "", 400, {}},
            {false, "asset\xff", 400, {}},
            {false, QByteArray("a\0b", 3), 400, {}}};
        for (const auto& [isBody, input, status, accepted] : rows) {
            const std::string text = input.toStdString();
            const auto parsed = isBody ? parseNameBody(text) : parseAssetId(text);
            const auto* error = std::get_if<InputError>(&parsed);
            QVERIFY2(error ? error->status == status && !error->message.isEmpty()
                           : !status && std::get<QString>(parsed) == accepted,
                     input.left(60).constData());
        }
    }
};

QTEST_GUILESS_MAIN(TestNameInput)
#include "TestNameInput.moc"
