#pragma once

#include "platform/dplay/dplay.h"
#include "platform/dplay/framecodec.h"

#include <cstddef>
#include <vector>

// What a session object does with the connections and frames that reach it, as rules
// without sockets: which connections a host takes, when its session is full, what each
// frame asks for, and which data frames may pass. The session service applies them.
class FrameRules {
public:
    // A host closes connections beyond this many at once.
    static constexpr std::size_t kMaxConnections = 16;
    // A new connection from an address that already holds this many that have not joined
    // yet closes the oldest of those instead.
    static constexpr std::size_t kMaxUnjoinedPerAddress = 4;
    // One connection may hold at most this many players.
    static constexpr std::size_t kMaxPlayersPerPeer = 64;

    enum class Connection { Take, TakeAfterDroppingOldest, Refuse };
    // A new connection to a host that holds `connections`, `unjoinedFromThere` of them from
    // the new one's address and not joined yet.
    static Connection AdmitConnection(std::size_t connections, std::size_t unjoinedFromThere);

    // Whether a session of `maxPlayers` (0: no limit) with `occupancy` places taken is full.
    static bool Full(DWORD occupancy, DWORD maxPlayers);
    // A host's answer to a player request from a connection that holds `playersOfPeer`:
    // DP_OK, or DPERR_CANTCREATEPLAYER. The connection already holds one place; a further
    // player needs another.
    static HRESULT AdmitPlayer(std::size_t playersOfPeer, DWORD occupancy, DWORD maxPlayers);

    // What a whole frame asks of the session.
    enum class Step {
        Ignore,        // a ping, or anything from a connection being closed
        Data,          // a message for local players: see DataRefusal
        AnswerJoin,    // a host's first frame from a new connection
        CreatePlayer,  // a client asks the host for a player
        PlayerCreated, // the host answers a client's player request
        OutOfPlace,    // breaks the protocol: the connection ends
    };
    static Step StepFor(std::uint8_t type, bool host, bool joined, bool closing);

    // Why a data frame from a connection may not pass, or nullptr: it may come only from a
    // joined connection, only from that connection's own players (on the host; a client
    // hears everyone through the host), and only to all players or to a local one
    // (`toLocal`): nothing is passed on to third parties.
    static const char* DataRefusal(bool host, bool joined, const std::vector<DPID>& playersOfPeer, DPID from, DPID to,
                                   bool toLocal);
};
