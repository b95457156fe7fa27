#include "platform/dplay/framerules.h"

#include <algorithm>

FrameRules::Connection FrameRules::AdmitConnection(std::size_t connections, std::size_t unjoinedFromThere)
{
    if (connections >= kMaxConnections)
        return Connection::Refuse;
    // One address cannot hold every place with connections that never join. Its newest
    // connection may be a real client (from behind the same NAT, or from this machine)
    // whose join completes at once; the oldest waiting one has had its chance, so it makes
    // room.
    return unjoinedFromThere >= kMaxUnjoinedPerAddress ? Connection::TakeAfterDroppingOldest : Connection::Take;
}

bool FrameRules::Full(DWORD occupancy, DWORD maxPlayers)
{
    return maxPlayers != 0 && occupancy >= maxPlayers;
}

HRESULT FrameRules::AdmitPlayer(std::size_t playersOfPeer, DWORD occupancy, DWORD maxPlayers)
{
    if (playersOfPeer >= kMaxPlayersPerPeer || (playersOfPeer > 0 && Full(occupancy, maxPlayers)))
        return DPERR_CANTCREATEPLAYER;
    return DP_OK;
}

FrameRules::Step FrameRules::StepFor(std::uint8_t type, bool host, bool joined, bool closing)
{
    if (closing)
        return Step::Ignore; // refused; only waiting for the refusal to go out
    if (type == FrameCodec::Data)
        return Step::Data;
    if (host && !joined)
        return Step::AnswerJoin;
    if (type == FrameCodec::Ping)
        return Step::Ignore;
    if (host && type == FrameCodec::CreatePlayer)
        return Step::CreatePlayer;
    if (!host && type == FrameCodec::PlayerCreated)
        return Step::PlayerCreated;
    return Step::OutOfPlace;
}

const char* FrameRules::DataRefusal(bool host, bool joined, const std::vector<DPID>& playersOfPeer, DPID from, DPID to,
                                    bool toLocal)
{
    if (!joined)
        return "data before the join";
    if (from == DPID_SYSMSG)
        return "data posing as a system message";
    if (host && std::find(playersOfPeer.begin(), playersOfPeer.end(), from) == playersOfPeer.end())
        return "data from a player not its own";
    if (to != DPID_ALLPLAYERS && !toLocal)
        return "data for a player that is not here";
    return nullptr;
}
