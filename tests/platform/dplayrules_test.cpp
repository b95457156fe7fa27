// What a session object does with connections, frames and players, without sockets: the
// host's admission rules, what each frame asks for, which data may pass, and the roster's
// ids, addresses and awaited player replies.

#include "platform/dplay/framerules.h"
#include "platform/dplay/playerroster.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using Step = FrameRules::Step;
using Connection = FrameRules::Connection;

} // namespace

TEST(DplayRules, AHostTakesConnectionsUpToItsCapAndMakesRoomForTheNewestFromOneAddress)
{
    struct Case {
        std::size_t connections;
        std::size_t unjoinedFromThere;
        Connection expected;
    };
    const Case cases[] = {
        {0, 0, Connection::Take},
        {15, 3, Connection::Take},
        {15, 4, Connection::TakeAfterDroppingOldest},
        {8, 7, Connection::TakeAfterDroppingOldest},
        {16, 0, Connection::Refuse},
        {16, 4, Connection::Refuse},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FrameRules::AdmitConnection(c.connections, c.unjoinedFromThere), c.expected)
            << c.connections << " connections, " << c.unjoinedFromThere << " waiting from there";
}

TEST(DplayRules, APlayerNeedsAFreePlaceUnlessItTakesItsConnectionsOwn)
{
    struct Case {
        std::size_t playersOfPeer;
        DWORD occupancy;
        DWORD maxPlayers;
        HRESULT expected;
    };
    const Case cases[] = {
        {0, 2, 2, DP_OK},                   // the joined connection holds its place already
        {1, 1, 2, DP_OK},                   // a second player, a place free
        {1, 2, 2, DPERR_CANTCREATEPLAYER},  // a second player, none free
        {1, 50, 0, DP_OK},                  // no limit
        {63, 1, 0, DP_OK},                  // the last a connection may hold
        {64, 1, 0, DPERR_CANTCREATEPLAYER}, // one connection cannot hold more
    };
    for (const Case& c : cases)
        EXPECT_EQ(FrameRules::AdmitPlayer(c.playersOfPeer, c.occupancy, c.maxPlayers), c.expected)
            << c.playersOfPeer << " players, " << c.occupancy << " of " << c.maxPlayers;
    EXPECT_FALSE(FrameRules::Full(5, 0));
    EXPECT_FALSE(FrameRules::Full(1, 2));
    EXPECT_TRUE(FrameRules::Full(2, 2));
    EXPECT_TRUE(FrameRules::Full(3, 2));
}

TEST(DplayRules, EachFrameAsksForOneStepByRoleAndState)
{
    struct Case {
        std::uint8_t type;
        bool host;
        bool joined;
        bool closing;
        Step expected;
    };
    const Case cases[] = {
        // A connection being closed is only waited on.
        {FrameCodec::Data, true, true, true, Step::Ignore},
        {FrameCodec::CreatePlayer, true, false, true, Step::Ignore},
        // Data is always checked (before the join, it is refused as such).
        {FrameCodec::Data, true, false, false, Step::Data},
        {FrameCodec::Data, false, true, false, Step::Data},
        // A host's new connection must start with a join; anything else is answered as one.
        {FrameCodec::Join, true, false, false, Step::AnswerJoin},
        {FrameCodec::Ping, true, false, false, Step::AnswerJoin},
        {FrameCodec::CreatePlayer, true, false, false, Step::AnswerJoin},
        {FrameCodec::Ping, true, true, false, Step::Ignore},
        {FrameCodec::Ping, false, true, false, Step::Ignore},
        {FrameCodec::CreatePlayer, true, true, false, Step::CreatePlayer},
        {FrameCodec::PlayerCreated, false, true, false, Step::PlayerCreated},
        // Frames of the other side, or of the handshake once it is over.
        {FrameCodec::CreatePlayer, false, true, false, Step::OutOfPlace},
        {FrameCodec::PlayerCreated, true, true, false, Step::OutOfPlace},
        {FrameCodec::Join, true, true, false, Step::OutOfPlace},
        {FrameCodec::Joined, false, true, false, Step::OutOfPlace},
        {FrameCodec::Refused, false, true, false, Step::OutOfPlace},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FrameRules::StepFor(c.type, c.host, c.joined, c.closing), c.expected)
            << "type " << int(c.type) << (c.host ? " to a host" : " to a client") << (c.joined ? ", joined" : "")
            << (c.closing ? ", closing" : "");
}

TEST(DplayRules, DataPassesOnlyFromItsOwnPlayersToAllOrToALocalOne)
{
    struct Case {
        bool host;
        bool joined;
        std::vector<DPID> playersOfPeer;
        DPID from;
        DPID to;
        bool toLocal;
        const char* refusal; // nullptr: passes
    };
    const Case cases[] = {
        {true, false, {}, 5, DPID_ALLPLAYERS, false, "data before the join"},
        {true, true, {5}, DPID_SYSMSG, DPID_ALLPLAYERS, false, "data posing as a system message"},
        {false, true, {}, DPID_SYSMSG, 7, true, "data posing as a system message"},
        {true, true, {5}, 6, DPID_ALLPLAYERS, false, "data from a player not its own"},
        {true, true, {5}, 5, 9, false, "data for a player that is not here"},
        {false, true, {}, 6, 9, false, "data for a player that is not here"},
        {true, true, {5}, 5, DPID_ALLPLAYERS, false, nullptr},
        {true, true, {4, 5}, 5, 9, true, nullptr},
        // A client hears every player through the host.
        {false, true, {}, 6, DPID_ALLPLAYERS, false, nullptr},
        {false, true, {}, 6, 9, true, nullptr},
    };
    for (const Case& c : cases) {
        const char* refusal = FrameRules::DataRefusal(c.host, c.joined, c.playersOfPeer, c.from, c.to, c.toLocal);
        EXPECT_EQ(refusal ? std::string(refusal) : std::string("passes"),
                  c.refusal ? std::string(c.refusal) : std::string("passes"))
            << "from " << c.from << " to " << c.to << (c.host ? " on a host" : " on a client");
    }
}

TEST(DplayRoster, IdsSkipTheReservedOnesAndTheFirstLocalPlayerTakesMessagesToAll)
{
    PlayerRoster roster;
    EXPECT_EQ(roster.First(), 0u);
    EXPECT_EQ(roster.Addressee(DPID_ALLPLAYERS), 0u);
    roster.StartIds(DPID_UNKNOWN - 1);
    EXPECT_EQ(roster.NextId(), DPID_UNKNOWN - 1);
    EXPECT_EQ(roster.NextId(), 2u); // not DPID_UNKNOWN, DPID_SYSMSG or DPID_SERVERPLAYER
    roster.AddLocal(40);
    roster.AddLocal(41);
    EXPECT_TRUE(roster.IsLocal(41));
    EXPECT_FALSE(roster.IsLocal(42));
    EXPECT_EQ(roster.LocalCount(), 2u);
    EXPECT_EQ(roster.First(), 40u);
    EXPECT_EQ(roster.Addressee(DPID_ALLPLAYERS), 40u);
    EXPECT_EQ(roster.Addressee(41), 41u);
}

TEST(DplayRoster, AddressesOfTheLatestPlayersAreKept)
{
    PlayerRoster roster;
    for (DPID id = 100; id < 100 + PlayerRoster::kMaxAddresses + 1; ++id)
        roster.RememberAddress(id, "10.0.0.1:" + std::to_string(id));
    EXPECT_EQ(roster.Address(100), ""); // the oldest made room
    EXPECT_EQ(roster.Address(101), "10.0.0.1:101");
    EXPECT_EQ(roster.Address(100 + PlayerRoster::kMaxAddresses), "10.0.0.1:164");
    EXPECT_EQ(roster.Address(7), "");
}

TEST(DplayRoster, OnlyAnAwaitedPlayerRequestTakesOneReply)
{
    PlayerRoster roster;
    const std::uint32_t request = roster.Ask();
    EXPECT_FALSE(roster.Reply(request).has_value());
    EXPECT_FALSE(roster.Answer({request + 1, DP_OK, 9})); // nobody asked
    EXPECT_TRUE(roster.Answer({request, DP_OK, 9}));
    EXPECT_FALSE(roster.Answer({request, DP_OK, 10})); // answered already
    ASSERT_TRUE(roster.Reply(request).has_value());
    EXPECT_EQ(roster.Reply(request)->id, 9u);
    roster.Forget(request);
    EXPECT_FALSE(roster.Answer({request, DP_OK, 9}));
    EXPECT_NE(roster.Ask(), request);
}

TEST(DplayRoster, RemotePlayersGoWithTheConnectionThatCarriesThem)
{
    PlayerRoster roster;
    roster.AddRemote(1, 20);
    roster.AddRemote(2, 21);
    roster.AddRemote(1, 22);
    EXPECT_EQ(roster.RemoteOf(1), (std::vector<DPID>{20, 22}));
    EXPECT_TRUE(roster.RemoteOf(3).empty());
    EXPECT_EQ(roster.Carrier(22), 1u);
    EXPECT_EQ(roster.Carrier(21), 2u);
    EXPECT_FALSE(roster.Carrier(23).has_value());

    EXPECT_EQ(roster.ForgetConnection(1), (std::vector<DPID>{20, 22}));
    EXPECT_FALSE(roster.Carrier(20).has_value());
    EXPECT_TRUE(roster.RemoteOf(1).empty());
    EXPECT_TRUE(roster.ForgetConnection(1).empty());
    EXPECT_EQ(roster.Carrier(21), 2u);
}
