// The host dropping a client's player (what a server does to a sender whose copy ended
// badly): that client loses the session at once, the host hears the player go, its place is
// free again and the other players keep going; only the host drops, and only a remote player.

#include "dplayhelpers.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace dplaytest;

namespace {

class DplayDrop : public ::testing::Test {
protected:
    static void SetUpTestSuite() { UseOwnDiscoveryPort(); }
};

// A further client of the pair's session, joined with a player of its own.
struct Joiner {
    explicit Joiner(Pair& pair)
    {
        if (!service)
            return;
        const auto found = Search(*service, pair.app);
        if (found.size() != 1)
            return;
        DPSESSIONDESC2 join{};
        join.dwSize = DPSESSIONDESC2_SIZE;
        join.guidInstance = found[0].instance;
        joined = service->Open(&join, DPOPEN_JOIN) == DP_OK
                 && service->CreatePlayer(&id, nullptr, event, nullptr, 0, 0) == DP_OK;
    }
    std::shared_ptr<SessionService> service = NewService();
    std::shared_ptr<AutoResetEvent> event = std::make_shared<AutoResetEvent>();
    DPID id = 0;
    bool joined = false;
};

// The next message the host's player gets that is not a system message.
bool HostReceives(Pair& p, DPID from, const std::vector<unsigned char>& data)
{
    Message m;
    while (ReceiveOne(*p.host, *p.hostEvent, m))
        if (m.from != DPID_SYSMSG)
            return m.from == from && m.data == data;
    return false;
}

} // namespace

TEST_F(DplayDrop, TheDroppedClientLosesTheSessionAndItsPlaceIsFree)
{
    Pair p;
    ASSERT_EQ(p.Connect(3), "");
    ASSERT_TRUE(WaitForSystem(*p.host, *p.hostEvent, DPSYS_CREATEPLAYERORGROUP));
    Joiner other(p);
    ASSERT_TRUE(other.joined);
    ASSERT_TRUE(WaitForSystem(*p.host, *p.hostEvent, DPSYS_CREATEPLAYERORGROUP));

    ASSERT_EQ(p.host->DropPlayer(p.clientId), DP_OK);
    Message destroyed;
    ASSERT_TRUE(WaitForSystem(*p.host, *p.hostEvent, DPSYS_DESTROYPLAYERORGROUP, &destroyed));
    DPMSG_DESTROYPLAYERORGROUP gone;
    std::memcpy(&gone, destroyed.data.data(), sizeof gone);
    EXPECT_EQ(gone.dpId, p.clientId);
    EXPECT_TRUE(WaitForSystem(*p.client, *p.clientEvent, DPSYS_SESSIONLOST));
    EXPECT_EQ(Send(*p.client, p.clientId, {1, 2, 3}), DPERR_SESSIONLOST);
    // Gone once: dropping it again finds no such player.
    EXPECT_EQ(p.host->DropPlayer(p.clientId), DPERR_INVALIDPLAYER);

    // The other client is untouched, and the dropped one's place takes a new client.
    ASSERT_EQ(Send(*other.service, other.id, {4, 5, 6}), DP_OK);
    EXPECT_TRUE(HostReceives(p, other.id, {4, 5, 6}));
    Joiner next(p);
    ASSERT_TRUE(next.joined);
    ASSERT_TRUE(WaitForSystem(*p.host, *p.hostEvent, DPSYS_CREATEPLAYERORGROUP));
    ASSERT_EQ(Send(*next.service, next.id, {7}), DP_OK);
    EXPECT_TRUE(HostReceives(p, next.id, {7}));
}

TEST_F(DplayDrop, OnlyTheHostDropsAndOnlyARemotePlayer)
{
    Pair p;
    ASSERT_EQ(p.Connect(), "");
    ASSERT_TRUE(WaitForSystem(*p.host, *p.hostEvent, DPSYS_CREATEPLAYERORGROUP));
    const auto idle = NewService();
    ASSERT_TRUE(idle);
    const struct {
        const char* what;
        SessionService& service;
        DPID player;
    } refused[] = {
        {"the host's own player", *p.host, p.hostId},
        {"a player that never was", *p.host, p.clientId + 1000},
        {"the client dropping the host's player", *p.client, p.hostId},
        {"the client dropping its own player", *p.client, p.clientId},
        {"a service in no session", *idle, p.clientId},
    };
    for (const auto& row : refused) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(row.service.DropPlayer(row.player), DPERR_INVALIDPLAYER);
    }
    // Nothing was dropped: the client still reaches the host.
    ASSERT_EQ(Send(*p.client, p.clientId, {9, 9}), DP_OK);
    EXPECT_TRUE(HostReceives(p, p.clientId, {9, 9}));
}
