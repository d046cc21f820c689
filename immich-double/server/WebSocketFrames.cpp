#include "WebSocketFrames.h"

#include <QCryptographicHash>

namespace immichdouble::websocket {

namespace {

constexpr char kGuid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
constexpr quint8 kFin = 0x80;
constexpr quint8 kReservedBits = 0x70;
constexpr quint8 kMasked = 0x80;
constexpr qsizetype kMaxControlPayload = 125;

bool isControl(quint8 opcode)
{
    return opcode & 0x8;
}

bool isKnown(quint8 opcode)
{
    switch (Opcode(opcode)) {
    case Opcode::Continuation:
    case Opcode::Text:
    case Opcode::Binary:
    case Opcode::Close:
    case Opcode::Ping:
    case Opcode::Pong:
        return true;
    }
    return false;
}

} // namespace

QByteArray acceptKey(const QByteArray& clientKey)
{
    return QCryptographicHash::hash(clientKey.trimmed() + kGuid, QCryptographicHash::Sha1)
        .toBase64();
}

QByteArray frame(Opcode opcode, const QByteArray& payload)
{
    QByteArray bytes;
    const qsizetype length = payload.size();
    bytes.reserve(length + 10);
    bytes.append(char(kFin | quint8(opcode)));
    if (length < 126) {
        bytes.append(char(length));
    } else if (length <= 0xffff) {
        bytes.append(char(126));
        bytes.append(char(length >> 8)).append(char(length & 0xff));
    } else {
        bytes.append(char(127));
        for (int shift = 56; shift >= 0; shift -= 8)
            bytes.append(char((quint64(length) >> shift) & 0xff));
    }
    bytes.append(payload);
    return bytes;
}

QByteArray closeFrame(quint16 code, const QByteArray& reason)
{
    QByteArray payload;
    payload.append(char(code >> 8)).append(char(code & 0xff));
    payload.append(reason.left(kMaxControlPayload - 2));
    return frame(Opcode::Close, payload);
}

void FrameReader::feed(const QByteArray& bytes, std::vector<Message>& out)
{
    if (m_error)
        return;
    m_pending.append(bytes);
    while (readFrame(out)) {
    }
}

bool FrameReader::readFrame(std::vector<Message>& out)
{
    if (m_error || m_pending.size() < 2)
        return false;
    const auto* head = reinterpret_cast<const quint8*>(m_pending.constData());
    const bool fin = head[0] & kFin;
    const quint8 opcode = head[0] & 0x0f;
    if ((head[0] & kReservedBits) || !isKnown(opcode)) {
        fail(ProtocolError); // no extension was agreed on
        return false;
    }
    if (!(head[1] & kMasked)) {
        fail(ProtocolError); // a client masks every frame
        return false;
    }
    quint64 length = head[1] & 0x7f;
    qsizetype at = 2;
    if (length == 126 || length == 127) {
        const int size = length == 126 ? 2 : 8;
        if (m_pending.size() < at + size)
            return false;
        length = 0;
        for (int i = 0; i < size; ++i)
            length = length << 8 | head[at + i];
        at += size;
        if (length >> 63) {
            fail(ProtocolError);
            return false;
        }
    }
    if (isControl(opcode) && (!fin || length > quint64(kMaxControlPayload))) {
        fail(ProtocolError);
        return false;
    }
    if (!isControl(opcode) && quint64(m_message.size()) + length > quint64(m_maxMessageSize)) {
        fail(MessageTooBig);
        return false;
    }
    if (m_pending.size() < at + 4 + qsizetype(length))
        return false;

    const quint8* mask = head + at;
    QByteArray payload(qsizetype(length), Qt::Uninitialized);
    const quint8* data = mask + 4;
    for (quint64 i = 0; i < length; ++i)
        payload[qsizetype(i)] = char(data[i] ^ mask[i % 4]);
    m_pending.remove(0, at + 4 + qsizetype(length));

    if (isControl(opcode)) {
        out.push_back({Opcode(opcode), payload});
        return true;
    }
    if (Opcode(opcode) == Opcode::Continuation) {
        if (!m_messageOpcode) {
            fail(ProtocolError); // nothing to continue
            return false;
        }
        m_message.append(payload);
    } else {
        if (m_messageOpcode) {
            fail(ProtocolError); // a new message before the last one ended
            return false;
        }
        m_messageOpcode = Opcode(opcode);
        m_message = payload;
    }
    if (fin) {
        out.push_back({*m_messageOpcode, m_message});
        m_message.clear();
        m_messageOpcode.reset();
    }
    return true;
}

} // namespace immichdouble::websocket
