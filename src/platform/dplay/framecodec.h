#pragma once

// Frames on a session's TCP connection. All integers little-endian; GUIDs as in wireguid.h.
//
//   frame  = u32 length L (bytes that follow; 1 <= L <= kMaxBody + 1), u8 type, L-1 body bytes
//
//   type 1 Join          client -> host, first frame: u32 magic 0x4A535746 ("FWSJ"),
//                        u16 version 1, u16 0, GUID instance             (body 24 bytes)
//   type 2 Joined        host -> client: GUID instance, GUID application, u32 session
//                        flags, u32 max players, u32 current players, u16 name length N
//                        (<= kMaxName), N bytes name                   (body 46 + N)
//   type 3 Refused       host -> client, then the host closes: i32 result (body 4)
//   type 4 CreatePlayer  client -> host: u32 request, u16 name length N (<= kMaxName),
//                        N bytes short name                             (body 6 + N)
//   type 5 PlayerCreated host -> client: u32 request, i32 result, u32 player id (body 12)
//   type 6 Data          either way: u32 from, u32 to, payload of 0..kMaxMessage bytes
//   type 7 Ping          either way, keeps an idle connection alive    (body 0)
//
// A length outside its bounds is rejected before anything is allocated; an unknown type or
// a body of the wrong size is malformed. Either ends the connection.

#include "platform/dplay/dplay.h"
#include "platform/dplay/messagebytes.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Encodes frames into a byte buffer and splits a byte stream back into frames.
class FrameCodec {
public:
    using Buffer = std::vector<unsigned char>;

    enum Type : std::uint8_t {
        Join = 1,
        Joined = 2,
        Refused = 3,
        CreatePlayer = 4,
        PlayerCreated = 5,
        Data = 6,
        Ping = 7
    };

    static constexpr std::uint32_t kJoinMagic = 0x4A535746;
    static constexpr std::uint16_t kVersion = 1;
    static constexpr std::size_t kHeader = 5;
    static constexpr std::size_t kDataHeader = 8;
    static constexpr std::uint32_t kMaxMessage = 256 * 1024;
    static constexpr std::uint32_t kMaxBody = kMaxMessage + kDataHeader;
    static constexpr std::size_t kMaxName = 4096;

    struct JoinedInfo {
        GUID instance = GUID_NULL;
        GUID application = GUID_NULL;
        std::uint32_t flags = 0;
        std::uint32_t maxPlayers = 0;
        std::uint32_t currentPlayers = 0;
        std::string name;
    };
    struct PlayerCreatedInfo {
        std::uint32_t request = 0;
        HRESULT result = DP_OK;
        DPID id = 0;
    };
    struct CreatePlayerInfo {
        std::uint32_t request = 0;
        std::string name;
    };
    // A frame inside a buffer; valid while the buffer is unchanged.
    struct View {
        std::uint8_t type = 0;
        const unsigned char* body = nullptr;
        std::uint32_t size = 0;
    };
    enum class Status { Frame, NeedMore, Malformed };

    static void AppendJoin(Buffer& out, const GUID& instance);
    static void AppendJoined(Buffer& out, const JoinedInfo& info);
    static void AppendRefused(Buffer& out, HRESULT result);
    static void AppendCreatePlayer(Buffer& out, std::uint32_t request, std::string_view name);
    static void AppendPlayerCreated(Buffer& out, const PlayerCreatedInfo& info);
    // Data and pings also go straight into a connection's own buffers.
    static void AppendData(Buffer& out, DPID from, DPID to, const void* data, std::uint32_t size);
    static void AppendData(MessageBytes& out, DPID from, DPID to, const void* data, std::uint32_t size);
    // The kHeader + kDataHeader bytes that start a data frame of `size` payload bytes.
    static void PutDataHeader(unsigned char* out, DPID from, DPID to, std::uint32_t size);
    static void AppendPing(Buffer& out);
    static void AppendPing(MessageBytes& out);

    // Looks at the start of [p, p+avail): a whole frame (view and consumed set), NeedMore,
    // or Malformed (bad length or type, or a body of the wrong size).
    static Status Next(const unsigned char* p, std::size_t avail, View& view, std::size_t& consumed);

    static std::optional<GUID> DecodeJoin(const View& v);
    static std::optional<JoinedInfo> DecodeJoined(const View& v);
    static std::optional<HRESULT> DecodeRefused(const View& v);
    static std::optional<CreatePlayerInfo> DecodeCreatePlayer(const View& v);
    static std::optional<PlayerCreatedInfo> DecodePlayerCreated(const View& v);
    // Data: from, to, and the payload as a view into the frame.
    static DPID DataFrom(const View& v);
    static DPID DataTo(const View& v);
};
