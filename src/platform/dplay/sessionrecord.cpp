#include "platform/dplay/sessionrecord.h"

#include "platform/dplay/discoverymessage.h"

SessionRecord SessionRecord::FromDescription(const DPSESSIONDESC2& desc)
{
    SessionRecord s;
    s.application = desc.guidApplication;
    s.flags = desc.dwFlags;
    s.maxPlayers = desc.dwMaxPlayers;
    if (desc.lpszSessionNameA)
        s.name = desc.lpszSessionNameA;
    if (desc.lpszPasswordA)
        s.password = desc.lpszPasswordA;
    s.user = {desc.dwUser1, desc.dwUser2, desc.dwUser3, desc.dwUser4};
    return s;
}

DPSESSIONDESC2 SessionRecord::Description(char* nameText, char* passwordText) const
{
    DPSESSIONDESC2 d{};
    d.dwSize = sizeof(DPSESSIONDESC2);
    d.dwFlags = flags;
    d.guidInstance = instance;
    d.guidApplication = application;
    d.dwMaxPlayers = maxPlayers;
    d.dwCurrentPlayers = currentPlayers;
    d.lpszSessionNameA = nameText;
    d.lpszPasswordA = passwordText;
    d.dwUser1 = user[0];
    d.dwUser2 = user[1];
    d.dwUser3 = user[2];
    d.dwUser4 = user[3];
    return d;
}

SessionRecord SessionRecord::FromAdvert(const DiscoveryMessage& reply)
{
    SessionRecord s;
    s.instance = reply.instance;
    s.application = reply.application;
    s.flags = reply.sessionFlags;
    s.maxPlayers = reply.maxPlayers;
    s.currentPlayers = reply.currentPlayers;
    s.name = reply.name;
    s.user = reply.user ? *reply.user : std::array<DWORD, 4>{};
    return s;
}

DiscoveryMessage SessionRecord::Advert(std::uint16_t tcpPort) const
{
    DiscoveryMessage reply;
    reply.kind = DiscoveryMessage::Kind::Reply;
    reply.instance = instance;
    reply.application = application;
    reply.tcpPort = tcpPort;
    reply.sessionFlags = flags;
    reply.maxPlayers = maxPlayers;
    reply.currentPlayers = currentPlayers;
    reply.name = name;
    reply.user = user;
    return reply;
}

SessionRecord SessionRecord::FromJoined(const FrameCodec::JoinedInfo& joined)
{
    SessionRecord s;
    s.instance = joined.instance;
    s.application = joined.application;
    s.flags = joined.flags;
    s.maxPlayers = joined.maxPlayers;
    s.currentPlayers = joined.currentPlayers;
    s.name = joined.name;
    return s;
}

FrameCodec::JoinedInfo SessionRecord::Joined() const
{
    return {instance, application, flags, maxPlayers, currentPlayers, name};
}
