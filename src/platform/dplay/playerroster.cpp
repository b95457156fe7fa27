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
