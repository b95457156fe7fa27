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
// as host, the remote players by the connection that carries them, where each remote player
// came in from (kept after it left), and, on a client, the player requests that wait for the
// host's reply.
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

    // Host side: the remote players, by the number of the connection that carries them.
    void AddRemote(std::uint64_t connection, DPID id);
    // The players `connection` carries, in the order they came (empty when none).
    const std::vector<DPID>& RemoteOf(std::uint64_t connection) const;
    // The connection that carries remote player `id`, if any.
    std::optional<std::uint64_t> Carrier(DPID id) const;
    // The connection has gone: its players, in the order they came, are no longer here.
    std::vector<DPID> ForgetConnection(std::uint64_t connection);

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
    std::map<std::uint64_t, std::vector<DPID>> m_remote; // by connection
    std::map<DPID, std::string> m_addresses;
    std::uint32_t m_nextRequest = 0;
    std::map<std::uint32_t, std::optional<FrameCodec::PlayerCreatedInfo>> m_replies;
};
