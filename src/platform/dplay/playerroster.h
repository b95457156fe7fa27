#pragma once

#include "platform/dplay/dplay.h"
#include "platform/dplay/framecodec.h"

#include <atomic>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

// The players a session object knows by id: its own (local) players, the ids it gives out
// as host, where each remote player came in from, and, on a client, the player requests
// that wait for the host's reply. A remote player's place lives with the connection that
// carries it (it ends with it); this keeps what outlives a connection or belongs to no
// connection at all.
//
// Not locked: the session object's lock guards it, except First(), which any thread may
// read.
class PlayerRoster {
public:
    // The addresses of this many players are kept, the latest ones.
    static constexpr std::size_t kMaxAddresses = 64;

    // A hosted session gives out ids from `first` on.
    void StartIds(DPID first) { m_nextId = first; }
    // The next id to give out; never one of the reserved ids.
    DPID NextId();

    void AddLocal(DPID id);
    bool IsLocal(DPID id) const;
    bool HasLocal() const { return !m_local.empty(); }
    std::size_t LocalCount() const { return m_local.size(); }
    // The first local player (0 before there is one): where system messages and messages
    // to all players are delivered.
    DPID First() const { return m_first.load(); }
    // Where a message to `to` is delivered: the first local player for all players.
    DPID Addressee(DPID to) const { return to == DPID_ALLPLAYERS ? First() : to; }

    // Host side: "address:port" of the connection `id` came in on, kept after it left.
    void RememberAddress(DPID id, const std::string& where);
    std::string Address(DPID id) const;

    // Client side: a new player request, awaited until Forget.
    std::uint32_t Ask();
    // The host's reply to an awaited request; false when nobody asked or it was answered.
    bool Answer(const FrameCodec::PlayerCreatedInfo& reply);
    // The reply to `request` once it came.
    const std::optional<FrameCodec::PlayerCreatedInfo>& Reply(std::uint32_t request) { return m_replies[request]; }
    void Forget(std::uint32_t request) { m_replies.erase(request); }

private:
    std::vector<DPID> m_local;
    std::atomic<DPID> m_first{0};
    DPID m_nextId = 0;
    std::map<DPID, std::string> m_addresses;
    std::uint32_t m_nextRequest = 0;
    std::map<std::uint32_t, std::optional<FrameCodec::PlayerCreatedInfo>> m_replies;
};
