#pragma once

// Session discovery datagrams (UDP). All integers little-endian; GUIDs as Data1 u32,
// Data2 u16, Data3 u16, Data4 8 bytes.
//
// Every datagram starts with an 8-byte head:
//   0  u32  magic 0x44535746 ("FWSD")
//   4  u8   version 1
//   5  u8   kind: 1 request, 2 reply
//   6  u16  0
//
// Request (exactly 28 bytes), sent by a searcher to the discovery port:
//   8  GUID application wanted
//   24 u32  flags: bit 0 = answer even when the session is full
//                  bit 1 = add the session's user fields to the reply
//
// Reply (exactly 56 + name length bytes), sent by a host back to the request's source:
//   8  GUID instance
//   24 GUID application
//   40 u16  TCP port to join on (not 0)
//   42 u16  name length N (at most kMaxSessionName)
//   44 u32  session flags (DPSESSION_*)
//   48 u32  maximum players (0: no limit)
//   52 u32  current players
//   56 N bytes session name (no terminating zero)
//   56+N 4 x u32 the session description's user fields (dwUser1..4), only in a reply to a
//        request with flag bit 1; a searcher that never sets it never sees them
//
// Anything else (short, long, wrong magic, version or kind, port 0, name too long) is
// not a discovery datagram and is ignored by the receiver.

#include "platform/dplay/dplay.h"
#include "platform/dplay/wireguid.h"

#include <array>
#include <optional>
#include <string>
#include <vector>

// One discovery datagram, either kind.
struct DiscoveryMessage {
    static constexpr std::uint32_t kMagic = 0x44535746;
    static constexpr std::uint8_t kVersion = 1;
    static constexpr std::size_t kMaxSessionName = 4096;
    static constexpr std::uint32_t kIncludeFull = 1;
    static constexpr std::uint32_t kWantUserData = 2;

    enum class Kind : std::uint8_t { Request = 1, Reply = 2 };

    Kind kind = Kind::Request;
    GUID application = GUID_NULL;
    std::uint32_t requestFlags = 0;
    // Reply only.
    GUID instance = GUID_NULL;
    std::uint16_t tcpPort = 0;
    std::uint32_t sessionFlags = 0;
    std::uint32_t maxPlayers = 0;
    std::uint32_t currentPlayers = 0;
    std::string name; // cut to kMaxSessionName bytes when encoded
    // dwUser1..4; encoded only when set (a reply to a request with kWantUserData).
    std::optional<std::array<std::uint32_t, 4>> user;

    std::vector<unsigned char> Encode() const;
    static std::optional<DiscoveryMessage> Decode(const void* data, std::size_t size);
};
