#include "platform/dplay/framecodec.h"

#include "platform/dplay/wireguid.h"

#include <QtEndian>

namespace {

template <typename Bytes>
void AppendHeader(Bytes& out, std::uint8_t type, std::size_t bodySize)
{
    unsigned char head[FrameCodec::kHeader];
    qToLittleEndian<quint32>(static_cast<quint32>(bodySize + 1), head);
    head[4] = type;
    out.insert(out.end(), head, head + sizeof head);
}

void AppendU16(FrameCodec::Buffer& out, std::uint16_t v)
{
    unsigned char b[2];
    qToLittleEndian<quint16>(v, b);
    out.insert(out.end(), b, b + 2);
}

void AppendU32(FrameCodec::Buffer& out, std::uint32_t v)
{
    unsigned char b[4];
    qToLittleEndian<quint32>(v, b);
    out.insert(out.end(), b, b + 4);
}

void AppendGuid(FrameCodec::Buffer& out, const GUID& g)
{
    unsigned char b[16];
    PutGuidLE(b, g);
    out.insert(out.end(), b, b + 16);
}

template <typename Bytes>
void AppendBytes(Bytes& out, const void* data, std::size_t size)
{
    const auto* p = static_cast<const unsigned char*>(data);
    out.insert(out.end(), p, p + size);
}

// Body size check per type: exact, or a minimum whose variable tail is checked by the decoder.
bool BodySizeFits(std::uint8_t type, std::uint32_t size)
{
    switch (type) {
    case FrameCodec::Join:
        return size == 24;
    case FrameCodec::Joined:
        return size >= 46 && size <= 46 + FrameCodec::kMaxName;
    case FrameCodec::Refused:
        return size == 4;
    case FrameCodec::CreatePlayer:
        return size >= 6 && size <= 6 + FrameCodec::kMaxName;
    case FrameCodec::PlayerCreated:
        return size == 12;
    case FrameCodec::Data:
        return size >= FrameCodec::kDataHeader && size <= FrameCodec::kMaxBody;
    case FrameCodec::Ping:
        return size == 0;
    default:
        return false;
    }
}

} // namespace

void FrameCodec::AppendJoin(Buffer& out, const GUID& instance)
{
    AppendHeader(out, Join, 24);
    AppendU32(out, kJoinMagic);
    AppendU16(out, kVersion);
    AppendU16(out, 0);
    AppendGuid(out, instance);
}

void FrameCodec::AppendJoined(Buffer& out, const JoinedInfo& info)
{
    const std::size_t n = std::min(info.name.size(), kMaxName);
    AppendHeader(out, Joined, 46 + n);
    AppendGuid(out, info.instance);
    AppendGuid(out, info.application);
    AppendU32(out, info.flags);
    AppendU32(out, info.maxPlayers);
    AppendU32(out, info.currentPlayers);
    AppendU16(out, static_cast<std::uint16_t>(n));
    AppendBytes(out, info.name.data(), n);
}

void FrameCodec::AppendRefused(Buffer& out, HRESULT result)
{
    AppendHeader(out, Refused, 4);
    AppendU32(out, static_cast<std::uint32_t>(result));
}

void FrameCodec::AppendCreatePlayer(Buffer& out, std::uint32_t request, std::string_view name)
{
    const std::size_t n = std::min(name.size(), kMaxName);
    AppendHeader(out, CreatePlayer, 6 + n);
    AppendU32(out, request);
    AppendU16(out, static_cast<std::uint16_t>(n));
    AppendBytes(out, name.data(), n);
}

void FrameCodec::AppendPlayerCreated(Buffer& out, const PlayerCreatedInfo& info)
{
    AppendHeader(out, PlayerCreated, 12);
    AppendU32(out, info.request);
    AppendU32(out, static_cast<std::uint32_t>(info.result));
    AppendU32(out, info.id);
}

void FrameCodec::PutDataHeader(unsigned char* out, DPID from, DPID to, std::uint32_t size)
{
    qToLittleEndian<quint32>(static_cast<quint32>(size + kDataHeader + 1), out);
    out[4] = Data;
    qToLittleEndian<quint32>(from, out + 5);
    qToLittleEndian<quint32>(to, out + 9);
}

namespace {

template <typename Bytes>
void appendDataFrame(Bytes& out, DPID from, DPID to, const void* data, std::uint32_t size)
{
    unsigned char head[FrameCodec::kHeader + FrameCodec::kDataHeader];
    FrameCodec::PutDataHeader(head, from, to, size);
    out.insert(out.end(), head, head + sizeof head);
    AppendBytes(out, data, size);
}

} // namespace

void FrameCodec::AppendData(Buffer& out, DPID from, DPID to, const void* data, std::uint32_t size)
{
    appendDataFrame(out, from, to, data, size);
}

void FrameCodec::AppendData(MessageBytes& out, DPID from, DPID to, const void* data, std::uint32_t size)
{
    appendDataFrame(out, from, to, data, size);
}

void FrameCodec::AppendPing(Buffer& out)
{
    AppendHeader(out, Ping, 0);
}

void FrameCodec::AppendPing(MessageBytes& out)
{
    AppendHeader(out, Ping, 0);
}

FrameCodec::Status FrameCodec::Next(const unsigned char* p, std::size_t avail, View& view, std::size_t& consumed)
{
    if (avail < 4)
        return Status::NeedMore;
    const std::uint32_t length = qFromLittleEndian<quint32>(p);
    if (length < 1 || length > kMaxBody + 1)
        return Status::Malformed;
    if (avail < 5)
        return Status::NeedMore;
    const std::uint8_t type = p[4];
    if (!BodySizeFits(type, length - 1)) {
        // Known types with an impossible size, and unknown types, are rejected as soon as
        // the header is seen, not after waiting for their body.
        return Status::Malformed;
    }
    if (avail < 4 + std::size_t(length))
        return Status::NeedMore;
    view.type = type;
    view.body = p + kHeader;
    view.size = length - 1;
    consumed = 4 + std::size_t(length);
    return Status::Frame;
}

std::optional<GUID> FrameCodec::DecodeJoin(const View& v)
{
    if (v.type != Join || v.size != 24 || qFromLittleEndian<quint32>(v.body) != kJoinMagic
        || qFromLittleEndian<quint16>(v.body + 4) != kVersion || qFromLittleEndian<quint16>(v.body + 6) != 0)
        return std::nullopt;
    return GetGuidLE(v.body + 8);
}

std::optional<FrameCodec::JoinedInfo> FrameCodec::DecodeJoined(const View& v)
{
    if (v.type != Joined || v.size < 46)
        return std::nullopt;
    const std::size_t n = qFromLittleEndian<quint16>(v.body + 44);
    if (n > kMaxName || v.size != 46 + n)
        return std::nullopt;
    JoinedInfo info;
    info.instance = GetGuidLE(v.body);
    info.application = GetGuidLE(v.body + 16);
    info.flags = qFromLittleEndian<quint32>(v.body + 32);
    info.maxPlayers = qFromLittleEndian<quint32>(v.body + 36);
    info.currentPlayers = qFromLittleEndian<quint32>(v.body + 40);
    info.name.assign(reinterpret_cast<const char*>(v.body + 46), n);
    return info;
}

std::optional<HRESULT> FrameCodec::DecodeRefused(const View& v)
{
    if (v.type != Refused || v.size != 4)
        return std::nullopt;
    return static_cast<HRESULT>(qFromLittleEndian<quint32>(v.body));
}

std::optional<FrameCodec::CreatePlayerInfo> FrameCodec::DecodeCreatePlayer(const View& v)
{
    if (v.type != CreatePlayer || v.size < 6)
        return std::nullopt;
    const std::size_t n = qFromLittleEndian<quint16>(v.body + 4);
    if (n > kMaxName || v.size != 6 + n)
        return std::nullopt;
    CreatePlayerInfo info;
    info.request = qFromLittleEndian<quint32>(v.body);
    info.name.assign(reinterpret_cast<const char*>(v.body + 6), n);
    return info;
}

std::optional<FrameCodec::PlayerCreatedInfo> FrameCodec::DecodePlayerCreated(const View& v)
{
    if (v.type != PlayerCreated || v.size != 12)
        return std::nullopt;
    PlayerCreatedInfo info;
    info.request = qFromLittleEndian<quint32>(v.body);
    info.result = static_cast<HRESULT>(qFromLittleEndian<quint32>(v.body + 4));
    info.id = qFromLittleEndian<quint32>(v.body + 8);
    return info;
}

DPID FrameCodec::DataFrom(const View& v)
{
    return qFromLittleEndian<quint32>(v.body);
}

DPID FrameCodec::DataTo(const View& v)
{
    return qFromLittleEndian<quint32>(v.body + 4);
}
