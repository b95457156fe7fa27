#include "secure/securemessages.h"

#include <QtEndian>

#include <cstring>

namespace {

constexpr std::uint16_t kHelloFlags = 0x7;
constexpr std::uint16_t kReplyFlags = 0xf;

template <typename T>
void put(QByteArray& out, qsizetype offset, T value)
{
    qToLittleEndian(value, reinterpret_cast<std::uint8_t*>(out.data()) + offset);
}

template <typename T>
T get(QByteArrayView in, qsizetype offset)
{
    return qFromLittleEndian<T>(reinterpret_cast<const std::uint8_t*>(in.data()) + offset);
}

template <std::size_t N>
void putBytes(QByteArray& out, qsizetype offset, const std::array<std::uint8_t, N>& bytes)
{
    std::memcpy(out.data() + offset, bytes.data(), N);
}

template <std::size_t N>
std::array<std::uint8_t, N> getBytes(QByteArrayView in, qsizetype offset)
{
    std::array<std::uint8_t, N> bytes{};
    std::memcpy(bytes.data(), in.data() + offset, N);
    return bytes;
}

// At most `limit` bytes, never ending inside a UTF-8 sequence.
QByteArray cut(const QByteArray& text, qsizetype limit)
{
    if (text.size() <= limit)
        return text;
    qsizetype end = limit;
    while (end > 0 && (static_cast<std::uint8_t>(text[end]) & 0xC0) == 0x80)
        --end;
    return text.left(end);
}

QByteArray message(SecureType type, qsizetype size)
{
    QByteArray out(size, '\0');
    put<std::uint32_t>(out, 0, static_cast<std::uint32_t>(type));
    return out;
}

MalformedHandshake malformed(const QString& text)
{
    return MalformedHandshake{text};
}

MalformedHandshake wrongSize(const char* what, qsizetype size, qsizetype needed)
{
    return malformed(QStringLiteral("%1 of %2 bytes, not %3").arg(QLatin1String(what)).arg(size).arg(needed));
}

// The name whose u16 length sits at 104, after a fixed head of 108 bytes; `tail` fixed
// bytes follow it.
std::variant<QByteArray, MalformedHandshake> nameAt104(const char* what, QByteArrayView bytes, qsizetype tail)
{
    if (bytes.size() < 108 + tail)
        return malformed(QStringLiteral("%1 of %2 bytes is too short").arg(QLatin1String(what)).arg(bytes.size()));
    const qsizetype length = get<std::uint16_t>(bytes, 104);
    if (length < 1 || length > kMaxDeviceNameBytes)
        return malformed(QStringLiteral("%1 with a name of %2 bytes, outside 1 to %3")
                             .arg(QLatin1String(what))
                             .arg(length)
                             .arg(kMaxDeviceNameBytes));
    if (bytes.size() != 108 + length + tail)
        return wrongSize(what, bytes.size(), 108 + length + tail);
    if (get<std::uint16_t>(bytes, 106) != 0)
        return malformed(QStringLiteral("%1 with a non-zero field after its name length").arg(QLatin1String(what)));
    return QByteArray(bytes.data() + 108, length);
}

// The first 108 bytes common to Hello and Reply: keys, share and name.
QByteArray keysAndName(SecureType type, const Bytes32& ephemeral, const Bytes32& identity, const Bytes32& share,
                       const QByteArray& name, qsizetype tail)
{
    const QByteArray shortName = cut(name, kMaxDeviceNameBytes);
    QByteArray out = message(type, 108 + shortName.size() + tail);
    putBytes(out, 8, ephemeral);
    putBytes(out, 40, identity);
    putBytes(out, 72, share);
    put<std::uint16_t>(out, 104, std::uint16_t(shortName.size()));
    std::memcpy(out.data() + 108, shortName.constData(), std::size_t(shortName.size()));
    return out;
}

HandshakeMessage decodeHello(QByteArrayView bytes)
{
    auto name = nameAt104("Hello", bytes, 0);
    if (auto* bad = std::get_if<MalformedHandshake>(&name))
        return *bad;
    const std::uint16_t version = get<std::uint16_t>(bytes, 4);
    const std::uint16_t flags = get<std::uint16_t>(bytes, 6);
    if (version != kSecureVersion)
        return malformed(QStringLiteral("Hello of version %1, not %2").arg(version).arg(kSecureVersion));
    if (flags & ~kHelloFlags)
        return malformed(QStringLiteral("Hello with unknown flags %1").arg(flags, 0, 16));
    SecureHello hello;
    hello.withCode = flags & 1;
    hello.aesFast = flags & 2;
    hello.groupsRecords = flags & 4;
    hello.ephemeral = getBytes<32>(bytes, 8);
    hello.identity = getBytes<32>(bytes, 40);
    hello.share = getBytes<32>(bytes, 72);
    hello.name = std::get<QByteArray>(name);
    return hello;
}

HandshakeMessage decodeReply(QByteArrayView bytes)
{
    auto name = nameAt104("Reply", bytes, kReplyTail);
    if (auto* bad = std::get_if<MalformedHandshake>(&name))
        return *bad;
    const std::uint16_t flags = get<std::uint16_t>(bytes, 4);
    if (flags & ~kReplyFlags)
        return malformed(QStringLiteral("Reply with unknown flags %1").arg(flags, 0, 16));
    if (get<std::uint16_t>(bytes, 6) != 0)
        return malformed(QStringLiteral("Reply with a non-zero field after its flags"));
    SecureReply reply;
    reply.codeUsed = flags & 1;
    reply.clientTrusted = flags & 2;
    reply.aesRecords = flags & 4;
    reply.groupedRecords = flags & 8;
    reply.ephemeral = getBytes<32>(bytes, 8);
    reply.identity = getBytes<32>(bytes, 40);
    reply.share = getBytes<32>(bytes, 72);
    reply.name = std::get<QByteArray>(name);
    const qsizetype tail = 108 + reply.name.size();
    reply.tag = getBytes<32>(bytes, tail);
    reply.signature = getBytes<64>(bytes, tail + 32);
    return reply;
}

HandshakeMessage decodeConfirm(QByteArrayView bytes)
{
    if (bytes.size() != kConfirmSize)
        return wrongSize("Confirm", bytes.size(), kConfirmSize);
    if (get<std::uint32_t>(bytes, 4) != 0)
        return malformed(QStringLiteral("Confirm with a non-zero field after its type"));
    return SecureConfirm{getBytes<32>(bytes, 8), getBytes<64>(bytes, 40)};
}

HandshakeMessage decodeRefusal(QByteArrayView bytes)
{
    if (bytes.size() < kRefusalHead)
        return wrongSize("Refusal", bytes.size(), kRefusalHead);
    const std::uint8_t reason = get<std::uint8_t>(bytes, 4);
    const qsizetype length = get<std::uint16_t>(bytes, 6);
    if (reason < 1 || reason > static_cast<std::uint8_t>(HandshakeRefusal::Failed))
        return malformed(QStringLiteral("Refusal for unknown reason %1").arg(reason));
    if (get<std::uint8_t>(bytes, 5) != 0)
        return malformed(QStringLiteral("Refusal with a non-zero byte 5"));
    if (length > kMaxRefusalTextBytes)
        return malformed(QStringLiteral("Refusal with a text of %1 bytes").arg(length));
    if (bytes.size() != kRefusalHead + length)
        return wrongSize("Refusal", bytes.size(), kRefusalHead + length);
    return SecureRefusalMessage{static_cast<HandshakeRefusal>(reason), QByteArray(bytes.data() + kRefusalHead, length)};
}

} // namespace

QByteArray EncodeSecureHello(const SecureHello& hello)
{
    QByteArray out = keysAndName(SecureType::Hello, hello.ephemeral, hello.identity, hello.share, hello.name, 0);
    put<std::uint16_t>(out, 4, kSecureVersion);
    put<std::uint16_t>(
        out, 6, std::uint16_t((hello.withCode ? 1 : 0) | (hello.aesFast ? 2 : 0) | (hello.groupsRecords ? 4 : 0)));
    return out;
}

QByteArray EncodeSecureReplyHead(const SecureReply& reply)
{
    QByteArray out = keysAndName(SecureType::Reply, reply.ephemeral, reply.identity, reply.share, reply.name, 0);
    put<std::uint16_t>(out, 4,
                       std::uint16_t((reply.codeUsed ? 1 : 0) | (reply.clientTrusted ? 2 : 0)
                                     | (reply.aesRecords ? 4 : 0) | (reply.groupedRecords ? 8 : 0)));
    return out;
}

QByteArray EncodeSecureReply(const SecureReply& reply)
{
    QByteArray out = EncodeSecureReplyHead(reply);
    const qsizetype tail = out.size();
    out.resize(tail + kReplyTail);
    putBytes(out, tail, reply.tag);
    putBytes(out, tail + 32, reply.signature);
    return out;
}

QByteArray EncodeSecureConfirm(const SecureConfirm& confirm)
{
    QByteArray out = message(SecureType::Confirm, kConfirmSize);
    putBytes(out, 8, confirm.tag);
    putBytes(out, 40, confirm.signature);
    return out;
}

QByteArray EncodeSecureRefusal(const SecureRefusalMessage& refusal)
{
    const QByteArray text = cut(refusal.text, kMaxRefusalTextBytes);
    QByteArray out = message(SecureType::Refusal, kRefusalHead + text.size());
    put<std::uint8_t>(out, 4, static_cast<std::uint8_t>(refusal.reason));
    put<std::uint16_t>(out, 6, std::uint16_t(text.size()));
    std::memcpy(out.data() + kRefusalHead, text.constData(), std::size_t(text.size()));
    return out;
}

std::uint32_t MessageType(QByteArrayView bytes)
{
    return bytes.size() < 4 ? 0 : get<std::uint32_t>(bytes, 0);
}

HandshakeMessage DecodeHandshakeMessage(QByteArrayView bytes)
{
    switch (static_cast<SecureType>(MessageType(bytes))) {
    case SecureType::Hello:
        return decodeHello(bytes);
    case SecureType::Reply:
        return decodeReply(bytes);
    case SecureType::Confirm:
        return decodeConfirm(bytes);
    case SecureType::Refusal:
        return decodeRefusal(bytes);
    default:
        return malformed(QStringLiteral("a message of type %1 where the handshake goes on").arg(MessageType(bytes)));
    }
}
