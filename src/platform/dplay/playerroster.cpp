#include "platform/dplay/playerroster.h"

#include <algorithm>

DPID PlayerRoster::NextId()
{
    DPID id;
    do {
        id = m_nextId++;
    } while (id == DPID_SYSMSG || id == DPID_SERVERPLAYER || id == DPID_UNKNOWN);
    return id;
}

void PlayerRoster::AddLocal(DPID id)
{
    m_local.push_back(id);
    if (m_local.size() == 1)
        m_first = id;
}

bool PlayerRoster::IsLocal(DPID id) const
{
    return std::find(m_local.begin(), m_local.end(), id) != m_local.end();
}

void PlayerRoster::AddRemote(std::uint64_t connection, DPID id)
{
    m_remote[connection].push_back(id);
}

const std::vector<DPID>& PlayerRoster::RemoteOf(std::uint64_t connection) const
{
    static const std::vector<DPID> none;
    const auto found = m_remote.find(connection);
    return found == m_remote.end() ? none : found->second;
}

std::optional<std::uint64_t> PlayerRoster::Carrier(DPID id) const
{
    for (const auto& [connection, players] : m_remote)
        if (std::find(players.begin(), players.end(), id) != players.end())
            return connection;
    return std::nullopt;
}

std::vector<DPID> PlayerRoster::ForgetConnection(std::uint64_t connection)
{
    const auto found = m_remote.find(connection);
    if (found == m_remote.end())
        return {};
    std::vector<DPID> players = std::move(found->second);
    m_remote.erase(found);
    return players;
}

void PlayerRoster::RememberAddress(DPID id, const std::string& where)
{
    if (m_addresses.size() >= kMaxAddresses)
        m_addresses.erase(m_addresses.begin());
    m_addresses[id] = where;
}

std::string PlayerRoster::Address(DPID id) const
{
    const auto found = m_addresses.find(id);
    return found == m_addresses.end() ? std::string() : found->second;
}

std::uint32_t PlayerRoster::Ask()
{
    const std::uint32_t request = ++m_nextRequest;
    m_replies[request].reset(); // only awaited requests take a reply
    return request;
}

bool PlayerRoster::Answer(const FrameCodec::PlayerCreatedInfo& reply)
{
    const auto awaited = m_replies.find(reply.request);
    if (awaited == m_replies.end() || awaited->second)
        return false;
    awaited->second = reply;
    return true;
}
