#include "platform/dplay/discoverymessage.h"

#include <QtEndian>

namespace {
constexpr std::size_t kHead = 8;
constexpr std::size_t kRequestSize = 28;
constexpr std::size_t kReplyFixed = 56;
constexpr std::size_t kUserFields = 16;
} // namespace

std::vector<unsigned char> DiscoveryMessage::Encode() const
{
    const std::size_t nameLen = std::min(name.size(), kMaxSessionName);
    const std::size_t userLen = user ? kUserFields : 0;
    std::vector<unsigned char> out(kind == Kind::Request ? kRequestSize : kReplyFixed + nameLen + userLen, 0);
    unsigned char* p = out.data();
    qToLittleEndian<quint32>(kMagic, p);
    p[4] = kVersion;
    p[5] = static_cast<unsigned char>(kind);
    if (kind == Kind::Request) {
        PutGuidLE(p + 8, application);
        qToLittleEndian<quint32>(requestFlags, p + 24);
        return out;
    }
    PutGuidLE(p + 8, instance);
    PutGuidLE(p + 24, application);
    qToLittleEndian<quint16>(tcpPort, p + 40);
    qToLittleEndian<quint16>(static_cast<quint16>(nameLen), p + 42);
    qToLittleEndian<quint32>(sessionFlags, p + 44);
    qToLittleEndian<quint32>(maxPlayers, p + 48);
    qToLittleEndian<quint32>(currentPlayers, p + 52);
    std::memcpy(p + kReplyFixed, name.data(), nameLen);
    if (user) {
        for (std::size_t i = 0; i < user->size(); ++i)
            qToLittleEndian<quint32>((*user)[i], p + kReplyFixed + nameLen + 4 * i);
    }
    return out;
}

std::optional<DiscoveryMessage> DiscoveryMessage::Decode(const void* data, std::size_t size)
{
    const auto* p = static_cast<const unsigned char*>(data);
    if (!p || size < kHead || qFromLittleEndian<quint32>(p) != kMagic || p[4] != kVersion
        || qFromLittleEndian<quint16>(p + 6) != 0)
        return std::nullopt;
    DiscoveryMessage m;
    if (p[5] == static_cast<unsigned char>(Kind::Request)) {
        if (size != kRequestSize)
            return std::nullopt;
        m.kind = Kind::Request;
        m.application = GetGuidLE(p + 8);
        m.requestFlags = qFromLittleEndian<quint32>(p + 24);
        return m;
    }
    if (p[5] != static_cast<unsigned char>(Kind::Reply) || size < kReplyFixed)
        return std::nullopt;
    const std::size_t nameLen = qFromLittleEndian<quint16>(p + 42);
    if (nameLen > kMaxSessionName || (size != kReplyFixed + nameLen && size != kReplyFixed + nameLen + kUserFields))
        return std::nullopt;
    m.kind = Kind::Reply;
    m.instance = GetGuidLE(p + 8);
    m.application = GetGuidLE(p + 24);
    m.tcpPort = qFromLittleEndian<quint16>(p + 40);
    if (m.tcpPort == 0)
        return std::nullopt;
    m.sessionFlags = qFromLittleEndian<quint32>(p + 44);
    m.maxPlayers = qFromLittleEndian<quint32>(p + 48);
    m.currentPlayers = qFromLittleEndian<quint32>(p + 52);
    m.name.assign(reinterpret_cast<const char*>(p + kReplyFixed), nameLen);
    if (size == kReplyFixed + nameLen + kUserFields) {
        std::array<std::uint32_t, 4> fields{};
        for (std::size_t i = 0; i < fields.size(); ++i)
            fields[i] = qFromLittleEndian<quint32>(p + kReplyFixed + nameLen + 4 * i);
        m.user = fields;
    }
    return m;
}
