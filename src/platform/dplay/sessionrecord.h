#pragma once

#include "platform/dplay/dplay.h"
#include "platform/dplay/framecodec.h"

#include <array>
#include <string>

struct DiscoveryMessage;

// What a session is, in one place: the host holds it, a search hears it, a joining client
// keeps what the host told it. The fields go out three ways, each with its own subset: the
// discovery reply (no password), the join reply (no password, no user fields) and the
// session description callers read (everything).
struct SessionRecord {
    GUID instance = GUID_NULL;
    GUID application = GUID_NULL;
    DWORD flags = 0;
    DWORD maxPlayers = 0;
    DWORD currentPlayers = 0; // a client's copy: as the host last told it
    std::string name;
    std::string password;
    // dwUser1..4: set by the host, told to searchers that ask, kept by a client that joins
    // from what the search heard.
    std::array<DWORD, 4> user{};

    // What a caller asks to host: everything but the instance (the host makes one) and the
    // player count.
    static SessionRecord FromDescription(const DPSESSIONDESC2& desc);
    // The description callers read, with `nameText` and `passwordText` (either may be null)
    // as its strings.
    DPSESSIONDESC2 Description(char* nameText, char* passwordText) const;

    // What a host's discovery reply tells: all but the password (user fields zero when the
    // reply carries none).
    static SessionRecord FromAdvert(const DiscoveryMessage& reply);
    // The discovery reply that offers this session on `tcpPort`, user fields included.
    DiscoveryMessage Advert(std::uint16_t tcpPort) const;

    // What a host's join reply tells: all but the password and the user fields.
    static SessionRecord FromJoined(const FrameCodec::JoinedInfo& joined);
    FrameCodec::JoinedInfo Joined() const;
};
