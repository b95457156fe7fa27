// What a host does about peers that hold a place without using it (connections that never
// join, joins without a player, frames that trickle in byte by byte), how a client learns
// that its peer read everything before the session ended, and which discovery ports the
// environment may name.

#include "dplayhelpers.h"

#include "platform/dplay/framecodec.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>

#include <cstring>

using namespace dplaytest;

namespace {

class DplayGuards : public ::testing::Test {
protected:
    static void SetUpTestSuite() { UseOwnDiscoveryPort(); }
};

// A TCP connection to the host's port on 127.0.0.1, made from `source` (any loopback
// address: 127.0.0.2 stands for another PC of the LAN).
int ConnectFrom(const char* source, std::uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, source, &from.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0
        || connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void SendBytes(int fd, const FrameCodec::Buffer& bytes)
{
    ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
}

// True when the host ends the connection within `timeout` (what it sends is read and dropped).
bool EndedByHost(int fd, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    unsigned char buf[4096];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) > 0 && recv(fd, buf, sizeof buf, 0) <= 0)
            return true;
    }
    return false;
}

GUID InstanceOf(IDirectPlay4A& dp)
{
    DWORD size = 0;
    dp.GetSessionDesc(nullptr, &size);
    std::vector<unsigned char> block(size);
    dp.GetSessionDesc(block.data(), &size);
    DPSESSIONDESC2 d;
    std::memcpy(&d, block.data(), sizeof d);
    return d.guidInstance;
}

// A host with its player, on a session with or without keep-alive.
struct Host {
    GUID app = RandomGuid();
    std::shared_ptr<SessionService> service = NewService();
    std::shared_ptr<AutoResetEvent> event = std::make_shared<AutoResetEvent>();
    DPID id = 0;

    explicit Host(DWORD flags = DPSESSION_KEEPALIVE | DPSESSION_DIRECTPLAYPROTOCOL)
    {
        auto desc = HostDesc(app, "guarded", 2, flags);
        if (service->Open(&desc, DPOPEN_CREATE) == DP_OK)
            service->CreatePlayer(&id, nullptr, event, nullptr, 0, 0);
    }
};

// Connections that never join, from the address a real client comes from (the same PC, or
// PCs behind one NAT): each new one makes the oldest waiting one give way, so at most 4
// wait at any time and the real client still gets in.
TEST_F(DplayGuards, ConnectionsThatNeverJoinCannotTakeEveryPlace)
{
    Host host;
    ASSERT_NE(host.id, 0u);
    DplayTrace trace;
    std::vector<int> waiting;
    for (int i = 0; i < 16; ++i)
        waiting.push_back(ConnectFrom("127.0.0.1", host.service->HostPort()));
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(EndedByHost(waiting[i], std::chrono::milliseconds(200)), i < 16 - 4) << i;
    EXPECT_TRUE(trace.Has("connection dropped: the oldest of too many from there that have not joined yet"));

    // A client from the same address finds the session and joins; the oldest of the four
    // still waiting made room for it.
    auto client = NewService();
    ASSERT_EQ(Search(*client, host.app).size(), 1u);
    DPSESSIONDESC2 join{};
    join.dwSize = DPSESSIONDESC2_SIZE;
    join.guidInstance = InstanceOf(*host.service);
    ASSERT_EQ(client->Open(&join, DPOPEN_JOIN), DP_OK);
    DPID id = 0;
    EXPECT_EQ(client->CreatePlayer(&id, nullptr, std::make_shared<AutoResetEvent>(), nullptr, 0, 0), DP_OK);
    EXPECT_TRUE(EndedByHost(waiting[12], std::chrono::milliseconds(500)));
    EXPECT_FALSE(EndedByHost(waiting[13], std::chrono::milliseconds(100)));
    for (int fd : waiting)
        close(fd);
}

// Peers that joined but never use their place: each is gone in about the keep-alive time,
// with the reason traced, and the place is free again.
TEST_F(DplayGuards, PeersThatHoldTheOnlyPlaceWithoutUsingItAreLetGo)
{
    const struct {
        const char* what;
        DWORD flags;
        bool makePlayer;
        const char* traced;
    } rows[] = {
        {"a frame that trickles in byte by byte", DPSESSION_KEEPALIVE | DPSESSION_DIRECTPLAYPROTOCOL, true,
         "no whole frame for too long"},
        {"the same without keep-alive", DPSESSION_DIRECTPLAYPROTOCOL, true, "a frame left incomplete for too long"},
        {"a join without a player, kept alive by pings", DPSESSION_KEEPALIVE | DPSESSION_DIRECTPLAYPROTOCOL, false,
         "no player in time"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Host host(row.flags);
        ASSERT_NE(host.id, 0u);
        DplayTrace trace;
        const int fd = ConnectFrom("127.0.0.2", host.service->HostPort());
        ASSERT_GE(fd, 0);
        FrameCodec::Buffer hello;
        FrameCodec::AppendJoin(hello, InstanceOf(*host.service));
        if (row.makePlayer)
            FrameCodec::AppendCreatePlayer(hello, 1, "slow");
        SendBytes(fd, hello);
        if (row.makePlayer) {
            ASSERT_TRUE(WaitForSystem(*host.service, *host.event, DPSYS_CREATEPLAYERORGROUP));
        }

        // Then a byte of a large data frame every 100 ms, or a whole ping every 500 ms.
        FrameCodec::Buffer trickle;
        const std::vector<unsigned char> payload(4096, 'x');
        FrameCodec::AppendData(trickle, 1, 0, payload.data(), payload.size());
        FrameCodec::Buffer ping;
        FrameCodec::AppendPing(ping);
        const auto start = std::chrono::steady_clock::now();
        bool ended = false;
        for (std::size_t i = 0; !ended && std::chrono::steady_clock::now() - start < 12s; ++i) {
            if (row.makePlayer)
                send(fd, &trickle[i], 1, MSG_NOSIGNAL);
            else if (i % 5 == 0)
                send(fd, ping.data(), ping.size(), MSG_NOSIGNAL);
            ended = EndedByHost(fd, 100ms);
        }
        const auto took =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        std::printf("[ measure  ] %s: let go after %lld ms\n", row.what, static_cast<long long>(took.count()));
        EXPECT_TRUE(ended);
        EXPECT_TRUE(trace.Has(std::string("connection dropped: ") + row.traced));
        if (row.makePlayer) {
            EXPECT_TRUE(WaitForSystem(*host.service, *host.event, DPSYS_DESTROYPLAYERORGROUP, nullptr, 1000ms));
        }
        close(fd);
        // The place is free again.
        auto client = NewService();
        EXPECT_EQ(Search(*client, host.app).size(), 1u);
    }
}

TEST_F(DplayGuards, CloseTellsWhetherThePeerReadEverything)
{
    Pair p;
    ASSERT_EQ(p.Connect(), "");
    ASSERT_TRUE(WaitForSystem(*p.host, *p.hostEvent, DPSYS_CREATEPLAYERORGROUP));
    // The host's application takes nothing: reading is the host's network side's job.
    std::vector<unsigned char> block(2060, 0x5A);
    for (int i = 0; i < 500; ++i) {
        DWORD id = 0;
        ASSERT_EQ(p.client->SendEx(p.clientId, DPID_ALLPLAYERS, DPSEND_GUARANTEED, block.data(), DWORD(block.size()), 0,
                                   0, nullptr, &id),
                  DP_OK);
    }
    EXPECT_EQ(p.client->Close(), DP_OK);
    DWORD id = 0;
    EXPECT_EQ(p.client->SendEx(p.clientId, DPID_ALLPLAYERS, DPSEND_GUARANTEED, block.data(), DWORD(block.size()), 0, 0,
                               nullptr, &id),
              DPERR_SESSIONLOST);
    int received = 0;
    Message m;
    while (ReceiveOne(*p.host, *p.hostEvent, m, 1000ms) && m.from != DPID_SYSMSG)
        ++received;
    EXPECT_EQ(received, 500);
    EXPECT_EQ(m.Type(), DPSYS_DESTROYPLAYERORGROUP);

    // A session whose host went first cannot confirm anything.
    Pair lost;
    ASSERT_EQ(lost.Connect(), "");
    lost.host.reset();
    ASSERT_TRUE(WaitForSystem(*lost.client, *lost.clientEvent, DPSYS_SESSIONLOST));
    EXPECT_EQ(lost.client->Close(), DPERR_SESSIONLOST);
}

TEST(DplayDiscoveryPort, TheEnvironmentNamesAPortOrNothing)
{
    const char* saved = std::getenv("FERROWARDEN_DISCOVERY_PORT");
    const std::string restore = saved ? saved : "";
    const struct {
        const char* text; // null: not set
        std::optional<std::uint16_t> port;
    } rows[] = {
        {nullptr, SessionService::kDefaultDiscoveryPort},
        {"12345", 12345},
        {"1", 1},
        {"65535", 65535},
        {"abc", std::nullopt},
        {"0", std::nullopt},
        {"70000", std::nullopt},
        {"", std::nullopt},
        {"-5", std::nullopt},
        {"+5", std::nullopt},
        {" 5", std::nullopt},
        {"5 ", std::nullopt},
        {"99999999999999999999", std::nullopt},
        {"0x50", std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text ? row.text : "(not set)");
        if (row.text)
            setenv("FERROWARDEN_DISCOVERY_PORT", row.text, 1);
        else
            unsetenv("FERROWARDEN_DISCOVERY_PORT");
        EXPECT_EQ(SessionService::DiscoveryPortFromEnvironment(), row.port);
        if (!row.port) {
            auto dp = CreateDirectPlay();
            auto address = MakeAddress(DPSPGUID_TCPIP, "127.0.0.1");
            EXPECT_EQ(dp->InitializeConnection(address.data(), 0), DPERR_INVALIDPARAMS);
        }
    }
    if (saved)
        setenv("FERROWARDEN_DISCOVERY_PORT", restore.c_str(), 1);
    else
        unsetenv("FERROWARDEN_DISCOVERY_PORT");
}

} // namespace
