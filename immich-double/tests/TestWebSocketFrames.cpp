// The double's WebSocket frames: the frames it writes, and the client frames it reads, whole or
// in pieces, well formed or not. Qt's client checks the handshake key at every connection of
// TestImmichDoubleEvents.
#include "WebSocketFrames.h"

#include <QTest>

using namespace immichdouble::websocket;

namespace {

// A client frame: the header byte as given, the payload masked with `mask`.
QByteArray clientFrame(quint8 first, const QByteArray& payload,
                       const QByteArray& mask = QByteArray::fromHex("37fa213d"))
{
    QByteArray bytes(1, char(first));
    const qsizetype length = payload.size();
    if (length < 126) {
        bytes.append(char(0x80 | length));
    } else if (length <= 0xffff) {
        bytes.append(char(0x80 | 126)).append(char(length >> 8)).append(char(length & 0xff));
    } else {
        bytes.append(char(0x80 | 127));
        for (int shift = 56; shift >= 0; shift -= 8)
            bytes.append(char((quint64(length) >> shift) & 0xff));
    }
    bytes.append(mask);
    for (qsizetype i = 0; i < length; ++i)
        bytes.append(char(payload[i] ^ mask[i % 4]));
    return bytes;
}

QString describe(const std::vector<Message>& messages)
{
    QStringList parts;
    for (const Message& message : messages)
        parts << QStringLiteral("%1:%2")
                     .arg(int(message.opcode))
                     .arg(QString::fromLatin1(message.payload.left(16).toHex()));
    return parts.join(QLatin1Char(' '));
}

} // namespace

class TestWebSocketFrames : public QObject {
    Q_OBJECT

private slots:
    void serverFramesCarryTheirLength_data()
    {
        QTest::addColumn<QByteArray>("written");
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<qsizetype>("rest"); // bytes after the head
        QTest::newRow("short text")
            << frame(Opcode::Text, "Hello") << QByteArray::fromHex("8105") << qsizetype(5);
        QTest::newRow("16-bit length") << frame(Opcode::Text, QByteArray(126, 'a'))
                                       << QByteArray::fromHex("817e007e") << qsizetype(126);
        QTest::newRow("64-bit length")
            << frame(Opcode::Binary, QByteArray(65536, 'b'))
            << QByteArray::fromHex("827f0000000000010000") << qsizetype(65536);
        QTest::newRow("close with code")
            << closeFrame(NormalClosure, "bye") << QByteArray::fromHex("880503e8") << qsizetype(3);
    }

    void serverFramesCarryTheirLength()
    {
        QFETCH(QByteArray, written);
        QFETCH(QByteArray, head);
        QFETCH(qsizetype, rest);
        QCOMPARE(written.left(head.size()).toHex(), head.toHex());
        QCOMPARE(written.size(), head.size() + rest);
    }

    void readsClientFrames_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("error"); // 0: none

        const auto text = [](const QByteArray& payload) {
            return QStringLiteral("1:") + QString::fromLatin1(payload.left(16).toHex());
        };
        QTest::newRow("the RFC's masked Hello")
            << QByteArray::fromHex("818537fa213d7f9f4d5158") << text("Hello") << 0;
        QTest::newRow("fragments with a ping between them")
            << clientFrame(0x01, "Hel") + clientFrame(0x89, "p") + clientFrame(0x80, "lo")
            << QStringLiteral("9:70 ") + text("Hello") << 0;
        const QByteArray medium(300, 'm');
        QTest::newRow("16-bit length, then a pong")
            << clientFrame(0x81, medium) + clientFrame(0x8a, {}) << text(medium) + " 10:" << 0;
        const QByteArray large(70000, 'l');
        QTest::newRow("64-bit length")
            << clientFrame(0x82, large) << QStringLiteral("2:") + large.left(16).toHex() << 0;
        QTest::newRow("close") << clientFrame(0x88, QByteArray::fromHex("03e8"))
                               << QStringLiteral("8:03e8") << 0;
        QTest::newRow("unmasked") << QByteArray::fromHex("810548656c6c6f") << QString() << 1002;
        QTest::newRow("reserved bit") << clientFrame(0xc1, "x") << QString() << 1002;
        QTest::newRow("unknown opcode") << clientFrame(0x83, "x") << QString() << 1002;
        QTest::newRow("fragmented ping") << clientFrame(0x09, "x") << QString() << 1002;
        QTest::newRow("control frame over 125 bytes")
            << clientFrame(0x89, QByteArray(126, 'p')) << QString() << 1002;
        QTest::newRow("continuation of nothing") << clientFrame(0x80, "x") << QString() << 1002;
        QTest::newRow("a message inside another")
            << clientFrame(0x01, "a") + clientFrame(0x81, "b") << QString() << 1002;
        QTest::newRow("text before an error is kept")
            << clientFrame(0x81, "ok") + QByteArray::fromHex("8100") << text("ok") << 1002;
        QTest::newRow("over the size limit")
            << clientFrame(0x81, QByteArray(1025, 'x')) << QString() << 1009;
        QTest::newRow("fragments together over the limit")
            << clientFrame(0x01, QByteArray(600, 'x')) + clientFrame(0x80, QByteArray(600, 'y'))
            << QString() << 1009;
    }

    // Every input read whole, a byte at a time and in uneven pieces gives the same messages.
    void readsClientFrames()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, expected);
        QFETCH(int, error);
        for (const qsizetype piece : {bytes.size(), qsizetype(1), qsizetype(7)}) {
            // Small inputs are read with a small limit, so that the limit's cases stay small.
            FrameReader reader(bytes.size() < 2000 ? 1024 : 70000);
            std::vector<Message> messages;
            for (qsizetype at = 0; at < bytes.size(); at += piece)
                reader.feed(bytes.mid(at, piece), messages);
            QCOMPARE(describe(messages), expected);
            QCOMPARE(reader.error().value_or(0), error);
        }
    }
};

QTEST_GUILESS_MAIN(TestWebSocketFrames)
#include "TestWebSocketFrames.moc"
