#pragma once

#include <QByteArray>

#include <optional>
#include <vector>

namespace immichdouble {

// The server's side of WebSocket (RFC 6455): the handshake's accept key, frames written to the
// client (never masked) and frames read from it (always masked), reassembled into messages.
namespace websocket {

enum class Opcode : quint8 {
    Continuation = 0x0,
    Text = 0x1,
    Binary = 0x2,
    Close = 0x8,
    Ping = 0x9,
    Pong = 0xa,
};

// Close codes the double sends.
enum CloseCode : quint16 {
    NormalClosure = 1000,
    ProtocolError = 1002,
    MessageTooBig = 1009,
};

// Sec-WebSocket-Accept for a client's Sec-WebSocket-Key: Base64(SHA-1(key + the RFC's GUID)).
QByteArray acceptKey(const QByteArray& clientKey);

// One whole frame from the server.
QByteArray frame(Opcode opcode, const QByteArray& payload);
QByteArray closeFrame(quint16 code, const QByteArray& reason = {});

struct Message {
    Opcode opcode = Opcode::Text; // Text, Binary or a control opcode
    QByteArray payload;
};

// Reads the client's frames from bytes as they arrive, in pieces of any size. Text and binary
// messages come out whole (fragments joined); control frames come out as they arrive, also
// between the fragments of a message.
class FrameReader {
public:
    explicit FrameReader(qsizetype maxMessageSize) : m_maxMessageSize(maxMessageSize) {}

    // Adds received bytes; the messages they complete are appended to `out`. After a violation
    // of the protocol or a message over the size limit, error() says which close code to send
    // and nothing more is read.
    void feed(const QByteArray& bytes, std::vector<Message>& out);
    std::optional<quint16> error() const { return m_error; }

private:
    bool readFrame(std::vector<Message>& out); // false: more bytes needed, or an error
    void fail(quint16 code) { m_error = code; }

    qsizetype m_maxMessageSize;
    QByteArray m_pending;
    QByteArray m_message; // fragments of the message being received
    std::optional<Opcode> m_messageOpcode;
    std::optional<quint16> m_error;
};

} // namespace websocket

} // namespace immichdouble
