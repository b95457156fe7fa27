// The session service end to end on loopback: hosting, searching, joining, players,
// messages, peers that go away, and hostile bytes on both sockets.

#include "dplayhelpers.h"

#include "platform/dplay/discoverymessage.h"
#include "platform/dplay/framecodec.h"
#include "platform/dplay/receivedmessages.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <atomic>
#include <cstring>
#include <optional>
#include <thread>

using namespace dplaytest;

namespace {

class DplayLoopback : public ::testing::Test {
protected:
    static void SetUpTestSuite() { UseOwnDiscoveryPort(); }
};

int ConnectRaw(std::uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// True when the peer ends the connection before the timeout.
bool ClosedByPeer(int fd, std::chrono::milliseconds timeout = 3000ms)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    unsigned char buf[4096];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            return true;
    }
    return false;
}

// Checks `done` every 10 ms until it holds or `timeout` passes; only for a state that no
// event announces (a search's report). True when it holds.
template <class Done>
bool WaitUntil(Done done, std::chrono::milliseconds timeout = 5000ms)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// Waits until bytes arrive from the peer and appends them to `rx`; false when none came
// before the timeout or the peer ended the connection.
bool ReceiveSome(int fd, std::vector<unsigned char>& rx, std::chrono::milliseconds timeout = 3000ms)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, int(timeout.count())) <= 0)
        return false;
    unsigned char buf[4096];
    const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n <= 0)
        return false;
    rx.insert(rx.end(), buf, buf + n);
    return true;
}

void SendBytes(int fd, const std::vector<unsigned char>& bytes)
{
    ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
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

} // namespace

TEST_F(DplayLoopback, HostFindJoinPlayersAndSessionDescription)
{
    Pair p;
    const DWORD user[4] = {0x01585746, 2, 0xFFFFFFFF, 4};
    std::copy(std::begin(user), std::end(user), p.user);
    ASSERT_EQ(p.Connect(), "");
    EXPECT_NE(p.hostId, p.clientId);
    EXPECT_NE(p.hostId, DPID_SYSMSG);
    EXPECT_NE(p.clientId, DPID_SYSMSG);

    Message m;
    ASSERT_TRUE(WaitForSystem(*p.host, *p.hostEvent, DPSYS_CREATEPLAYERORGROUP, &m));
    DPMSG_CREATEPLAYERORGROUP created;
    ASSERT_GE(m.data.size(), sizeof created);
    std::memcpy(&created, m.data.data(), sizeof created);
    EXPECT_EQ(created.dpId, p.clientId);
    ASSERT_NE(created.dpnName.lpszShortNameA, nullptr);
    EXPECT_STREQ(created.dpnName.lpszShortNameA, "FerrowardenClient");

    for (auto* dp : {p.host.get(), p.client.get()}) {
        DWORD size = 0;
        ASSERT_EQ(dp->GetSessionDesc(nullptr, &size), DPERR_BUFFERTOOSMALL);
        std::vector<unsigned char> block(size);
        ASSERT_EQ(dp->GetSessionDesc(block.data(), &size), DP_OK);
        DPSESSIONDESC2 d;
        std::memcpy(&d, block.data(), sizeof d);
        EXPECT_STREQ(d.lpszSessionNameA, "Label#/srv/in");
        EXPECT_EQ(d.guidApplication, p.app);
        EXPECT_EQ(d.dwMaxPlayers, 2u);
        EXPECT_EQ(d.dwCurrentPlayers, 2u);
        EXPECT_EQ(d.dwFlags, DPSESSION_KEEPALIVE | DPSESSION_DIRECTPLAYPROTOCOL);
        // The host's user fields reach the client through the search it joined from.
        EXPECT_EQ((std::array{d.dwUser1, d.dwUser2, d.dwUser3, d.dwUser4}),
                  (std::array{user[0], user[1], user[2], user[3]}));
    }
    EXPECT_EQ(InstanceOf(*p.host), InstanceOf(*p.client));

    DPCAPS caps{};
    caps.dwSize = DPCAPS_SIZE;
    ASSERT_EQ(p.client->GetCaps(&caps, 0), DP_OK);
    EXPECT_EQ(caps.dwTimeout, 1000u);

    // The host can name where the client came from, also once it has gone.
    EXPECT_EQ(p.host->PlayerAddress(p.clientId).rfind("127.0.0.1:", 0), 0u) << p.host->PlayerAddress(p.clientId);
    EXPECT_EQ(p.host->PlayerAddress(p.hostId), "") << "a local player";
    p.client.reset();
    ASSERT_TRUE(WaitForSystem(*p.host, *p.hostEvent, DPSYS_DESTROYPLAYERORGROUP));
    EXPECT_EQ(p.host->PlayerAddress(p.clientId).rfind("127.0.0.1:", 0), 0u);
}

// A searcher of an earlier build asks without flag bit 1 and takes a reply of any other
// size for none: it gets the reply it knows; one that asks gets the user fields too.
TEST_F(DplayLoopback, OnlyASearcherThatAsksGetsTheUserFields)
{
    const GUID app = RandomGuid();
    auto host = NewService();
    ASSERT_TRUE(host);
    auto desc = HostDesc(app, "Label#/srv/in", 2);
    desc.dwUser1 = 0x01585746;
    ASSERT_EQ(host->Open(&desc, DPOPEN_CREATE), DP_OK);

    const int udp = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(udp, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(DiscoveryPortInUse());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (const std::uint32_t flags :
         {DiscoveryMessage::kIncludeFull, DiscoveryMessage::kIncludeFull | DiscoveryMessage::kWantUserData}) {
        SCOPED_TRACE(flags);
        DiscoveryMessage request;
        request.application = app;
        request.requestFlags = flags;
        const auto bytes = request.Encode();
        ASSERT_EQ(sendto(udp, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
                  ssize_t(bytes.size()));
        pollfd p{udp, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 3000), 1);
        unsigned char buf[2048];
        const ssize_t n = recv(udp, buf, sizeof buf, 0);
        const std::size_t plain = 56 + std::strlen("Label#/srv/in");
        const bool asked = flags & DiscoveryMessage::kWantUserData;
        ASSERT_EQ(std::size_t(n), asked ? plain + 16 : plain);
        const auto reply = DiscoveryMessage::Decode(buf, std::size_t(n));
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->user.has_value(), asked);
        if (asked) {
            EXPECT_EQ((*reply->user)[0], 0x01585746u);
        }
    }
    close(udp);
}

TEST_F(DplayLoopback, ThousandsOfMessagesArriveCompleteAndInOrder)
{
    Pair p;
    ASSERT_EQ(p.Connect(), "");
    ASSERT_TRUE(WaitForSystem(*p.host, *p.hostEvent, DPSYS_CREATEPLAYERORGROUP));

    // Sizes of the three transfer messages and odd ones, more than the queues hold at once.
    const std::vector<std::size_t> sizes{2060, 20, 268, 1, 2060, 4096, 2060, 65536};
    const std::uint32_t count = 12000;
    std::atomic<HRESULT> sendResult{DP_OK};
    std::thread sender([&] {
        for (std::uint32_t i = 0; i < count && sendResult == DP_OK; ++i)
            sendResult = Send(*p.client, p.clientId, Payload(i, sizes[i % sizes.size()]));
    });
    Message m;
    std::uint32_t next = 0;
    bool intact = true;
    while (next < count && ReceiveOne(*p.host, *p.hostEvent, m)) {
        if (m.from == DPID_SYSMSG) {
            ADD_FAILURE() << "system message " << m.Type() << " among the data";
            break;
        }
        intact = intact && m.from == p.clientId && m.data == Payload(next, sizes[next % sizes.size()]);
        ++next;
    }
    if (next < count)
        p.host.reset(); // the session is lost then, which lets a sender waiting for room go
    sender.join();
    ASSERT_EQ(next, count);
    EXPECT_EQ(sendResult, DP_OK);
    EXPECT_TRUE(intact);

    // And the other way.
    ASSERT_EQ(Send(*p.host, p.hostId, Payload(7, 2060)), DP_OK);
    ASSERT_TRUE(ReceiveOne(*p.client, *p.clientEvent, m));
    EXPECT_EQ(m.from, p.hostId);
    EXPECT_EQ(m.to, p.clientId);
    EXPECT_EQ(m.data, Payload(7, 2060));
}

// A sender with a timeout does not wait for ever on a peer that reads nothing: once the
// queues on the way are full, SendEx gives up after the timeout; once the peer reads again,
// sending goes on, and what was queued arrives in order.
TEST_F(DplayLoopback, SendWithATimeoutGivesUpOnAPeerThatDoesNotRead)
{
    Pair p;
    ASSERT_EQ(p.Connect(), "");
    ASSERT_TRUE(WaitForSystem(*p.host, *p.hostEvent, DPSYS_CREATEPLAYERORGROUP));
    HRESULT result = DP_OK;
    std::uint32_t sent = 0;
    const auto started = std::chrono::steady_clock::now();
    // The client reads nothing: its receive queue, both sockets and the host's send queue
    // fill up, a few tens of MB at most.
    while (sent < 100000 && (result = Send(*p.host, p.hostId, Payload(sent, 2060), 100)) == DP_OK)
        ++sent;
    EXPECT_EQ(result, DPERR_TIMEOUT) << "after " << sent << " messages";
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);

    Message m;
    std::uint32_t next = 0;
    while (next < sent && ReceiveOne(*p.client, *p.clientEvent, m)) {
        if (m.from == DPID_SYSMSG)
            continue;
        ASSERT_EQ(m.data, Payload(next, 2060)) << next;
        ++next;
    }
    EXPECT_EQ(next, sent);
    EXPECT_EQ(Send(*p.host, p.hostId, Payload(sent, 2060), 100), DP_OK);
}

// Messages built in place in the send queue, sent one by one, and given back unsent, taken
// as batches of the receive queue's own buffers and one by one, mixed: every message sent
// arrives once, whole and in order, up to the largest, which straddles a read.
TEST_F(DplayLoopback, RoomsAndBatchesKeepEveryMessageInOrder)
{
    Pair p;
    ASSERT_EQ(p.Connect(), "");
    ASSERT_TRUE(WaitForSystem(*p.host, *p.hostEvent, DPSYS_CREATEPLAYERORGROUP));

    const std::vector<std::size_t> sizes{2060, 20, 268, FrameCodec::kMaxMessage, 2060, 1, 200000};
    const std::uint32_t count = 6000;
    std::atomic<HRESULT> sendResult{DP_OK};
    std::thread sender([&] {
        std::uint32_t seq = 0;
        for (int round = 0; seq < count && sendResult == DP_OK; ++round) {
            const std::size_t size = sizes[std::size_t(round) % sizes.size()];
            switch (round % 4) {
            case 0: // one message, copied in
                sendResult = Send(*p.client, p.clientId, Payload(seq++, size));
                break;
            case 1:
            case 2: { // a room of several, filled in place
                const DWORD n = DWORD(std::min<std::uint32_t>(size > 65536 ? 3 : 40, count - seq));
                std::uint8_t* base = nullptr;
                std::size_t stride = 0;
                HRESULT hr = p.client->ReserveSend(p.clientId, DPID_ALLPLAYERS, DWORD(size), n, &base, &stride);
                if (hr == DP_OK) {
                    for (DWORD i = 0; i < n; ++i) {
                        const auto payload = Payload(seq++, size);
                        std::memcpy(base + i * stride, payload.data(), size);
                    }
                    hr = p.client->SendReserved();
                }
                sendResult = hr;
                break;
            }
            case 3: { // a room given back: none of it goes
                std::uint8_t* base = nullptr;
                std::size_t stride = 0;
                HRESULT hr = p.client->ReserveSend(p.clientId, DPID_ALLPLAYERS, 2060, 5, &base, &stride);
                if (hr == DP_OK) {
                    std::memset(base, 0xAB, 2060);
                    p.client->CancelReserved();
                }
                sendResult = hr;
                break;
            }
            }
        }
    });
    std::vector<std::vector<unsigned char>> got;
    ReceivedMessages batch;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    for (int turn = 0; got.size() < count && std::chrono::steady_clock::now() < deadline; ++turn) {
        if (turn % 3 == 0) {
            Message m;
            if (ReceiveOne(*p.host, *p.hostEvent, m)) {
                EXPECT_EQ(m.from, p.clientId);
                got.push_back(m.data);
            }
            continue;
        }
        if (p.host->ReceiveBatch(batch, turn % 3 == 1 ? 7 : 512, 1 << 20) != DP_OK) {
            p.hostEvent->WaitFor(100ms);
            continue;
        }
        for (const auto& m : batch.messages) {
            EXPECT_EQ(m.fromId, p.clientId);
            EXPECT_EQ(m.toId, p.hostId);
            got.emplace_back(m.data, m.data + m.size);
        }
    }
    if (got.size() < count)
        p.host.reset(); // lets a sender waiting for room go
    sender.join();
    EXPECT_EQ(sendResult, DP_OK);
    ASSERT_EQ(got.size(), count);
    std::uint32_t seq = 0;
    for (int round = 0; seq < count; ++round) {
        const std::size_t size = sizes[std::size_t(round) % sizes.size()];
        const std::uint32_t n = round % 4 == 0   ? 1
                                : round % 4 == 3 ? 0
                                                 : std::min<std::uint32_t>(size > 65536 ? 3 : 40, count - seq);
        for (std::uint32_t i = 0; i < n; ++i, ++seq)
            ASSERT_TRUE(got[seq] == Payload(seq, size)) << "message " << seq << " of " << size << " bytes";
    }
}

TEST_F(DplayLoopback, ReceiveReportsSizeNeededAndEmptyQueue)
{
    Pair p;
    ASSERT_EQ(p.Connect(), "");
    ASSERT_TRUE(WaitForSystem(*p.host, *p.hostEvent, DPSYS_CREATEPLAYERORGROUP));
    ASSERT_EQ(Send(*p.client, p.clientId, Payload(1, 268)), DP_OK);
    // The player's event is set when the message is queued.
    const auto deadline = std::chrono::steady_clock::now() + 5000ms;
    for (;;) {
        DPID from, to;
        DWORD size = 0;
        if (p.host->Receive(&from, &to, DPRECEIVE_ALL | DPRECEIVE_PEEK, nullptr, &size) == DPERR_BUFFERTOOSMALL)
            break;
        ASSERT_EQ(p.hostEvent->WaitFor(std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())),
                  AutoResetEvent::WaitResult::Signalled);
    }

    DPID from = 0, to = 0;
    std::vector<unsigned char> buf(20);
    DWORD size = DWORD(buf.size());
    EXPECT_EQ(p.host->Receive(&from, &to, DPRECEIVE_ALL, buf.data(), &size), DPERR_BUFFERTOOSMALL);
    EXPECT_EQ(size, 268u);
    buf.resize(size);
    EXPECT_EQ(p.host->Receive(&from, &to, DPRECEIVE_ALL, buf.data(), &size), DP_OK);
    EXPECT_EQ(buf, Payload(1, 268));
    EXPECT_EQ(from, p.clientId);
    EXPECT_EQ(p.host->Receive(&from, &to, DPRECEIVE_ALL, buf.data(), &size), DPERR_NOMESSAGES);
}

TEST_F(DplayLoopback, FullSessionIsHiddenAndRefusesASecondClient)
{
    Pair p;
    auto late = NewService();
    ASSERT_TRUE(late);
    auto desc = HostDesc(p.app, "only two", 2);
    ASSERT_EQ(p.host->Open(&desc, DPOPEN_CREATE), DP_OK);
    ASSERT_EQ(p.host->CreatePlayer(&p.hostId, nullptr, p.hostEvent, nullptr, 0, 0), DP_OK);
    const auto seen = Search(*late, p.app); // the late client knows the session from before
    ASSERT_EQ(seen.size(), 1u);

    const auto found = Search(*p.client, p.app);
    ASSERT_EQ(found.size(), 1u);
    DPSESSIONDESC2 join{};
    join.dwSize = DPSESSIONDESC2_SIZE;
    join.guidInstance = found[0].instance;
    ASSERT_EQ(p.client->Open(&join, DPOPEN_JOIN), DP_OK);
    ASSERT_EQ(p.client->CreatePlayer(&p.clientId, nullptr, p.clientEvent, nullptr, 0, 0), DP_OK);

    {
        DplayTrace trace;
        EXPECT_EQ(late->Open(&join, DPOPEN_JOIN), DPERR_ACCESSDENIED);
        EXPECT_TRUE(trace.Has("join refused: session full"));       // on the host
        EXPECT_TRUE(trace.Has("join failed: refused by the host")); // on the late client
    }
    // Searches for available sessions no longer list it; a search for all does.
    EXPECT_TRUE(SearchUntilGone(*late, p.app));
    const auto all = Search(*late, p.app, 1, DPENUMSESSIONS_ALL);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].current, 2u);
}

TEST_F(DplayLoopback, ClientLeavingAfterSendingEverythingFreesTheSession)
{
    Pair p;
    ASSERT_EQ(p.Connect(), "");
    ASSERT_TRUE(WaitForSystem(*p.host, *p.hostEvent, DPSYS_CREATEPLAYERORGROUP));
    const DPID leaver = p.clientId;

    // Released right after queueing: what was queued still arrives, before the destroy message.
    const std::uint32_t count = 3000;
    std::atomic<HRESULT> sendResult{DP_OK};
    std::thread sender([&] {
        for (std::uint32_t i = 0; i < count && sendResult == DP_OK; ++i)
            sendResult = Send(*p.client, p.clientId, Payload(i, 2060));
        p.client.reset();
    });

    Message m;
    std::uint32_t next = 0;
    bool received = false;
    while ((received = ReceiveOne(*p.host, *p.hostEvent, m)) && m.from != DPID_SYSMSG) {
        EXPECT_EQ(m.data, Payload(next, 2060));
        ++next;
    }
    if (!received)
        p.host.reset(); // lets a sender waiting for room go
    sender.join();
    ASSERT_TRUE(received);
    EXPECT_EQ(sendResult, DP_OK);
    EXPECT_EQ(next, count);
    ASSERT_EQ(m.from, DPID_SYSMSG);
    ASSERT_EQ(m.Type(), DPSYS_DESTROYPLAYERORGROUP);
    DPMSG_DESTROYPLAYERORGROUP destroyed;
    std::memcpy(&destroyed, m.data.data(), sizeof destroyed);
    EXPECT_EQ(destroyed.dpId, leaver);

    // The place is free again: a new client finds the session and joins.
    auto next_client = NewService();
    ASSERT_EQ(Search(*next_client, p.app).size(), 1u);
    DPSESSIONDESC2 join{};
    join.dwSize = DPSESSIONDESC2_SIZE;
    join.guidInstance = InstanceOf(*p.host);
    ASSERT_EQ(next_client->Open(&join, DPOPEN_JOIN), DP_OK);
    DPID id = 0;
    ASSERT_EQ(next_client->CreatePlayer(&id, nullptr, p.clientEvent, nullptr, 0, 0), DP_OK);
    EXPECT_TRUE(WaitForSystem(*p.host, *p.hostEvent, DPSYS_CREATEPLAYERORGROUP));
}

TEST_F(DplayLoopback, HostGoingAwayLosesTheSessionOnTheClient)
{
    Pair p;
    ASSERT_EQ(p.Connect(), "");
    // A sender that runs into full queues (the host never reads) must be let go, not hang.
    AutoResetEvent sentEnough;
    std::atomic<HRESULT> last{DP_OK};
    std::thread sender([&] {
        const auto block = Payload(1, 2060);
        for (int sent = 0; (last = Send(*p.client, p.clientId, block)) == DP_OK;)
            if (++sent == 2000)
                sentEnough.Set();
        sentEnough.Set();
    });
    ASSERT_EQ(sentEnough.WaitFor(5000ms), AutoResetEvent::WaitResult::Signalled);
    p.host.reset();
    sender.join();
    EXPECT_EQ(last, DPERR_SESSIONLOST);
    EXPECT_TRUE(WaitForSystem(*p.client, *p.clientEvent, DPSYS_SESSIONLOST));
    EXPECT_EQ(Send(*p.client, p.clientId, Payload(1, 2060)), DPERR_SESSIONLOST);
    // The lost session is no longer listed.
    EXPECT_TRUE(SearchUntilGone(*p.client, p.app));
}

TEST_F(DplayLoopback, KeepAliveNoticesASilentPeer)
{
    Pair p;
    auto desc = HostDesc(p.app, "ka", 2);
    ASSERT_EQ(p.host->Open(&desc, DPOPEN_CREATE), DP_OK);
    ASSERT_EQ(p.host->CreatePlayer(&p.hostId, nullptr, p.hostEvent, nullptr, 0, 0), DP_OK);

    // A peer that joins, makes its player and then never sends another byte.
    const int fd = ConnectRaw(p.host->HostPort());
    ASSERT_GE(fd, 0);
    FrameCodec::Buffer out;
    FrameCodec::AppendJoin(out, InstanceOf(*p.host));
    FrameCodec::AppendCreatePlayer(out, 1, "mute");
    SendBytes(fd, out);
    ASSERT_TRUE(WaitForSystem(*p.host, *p.hostEvent, DPSYS_CREATEPLAYERORGROUP));
    EXPECT_TRUE(WaitForSystem(*p.host, *p.hostEvent, DPSYS_DESTROYPLAYERORGROUP, nullptr, 8000ms));
    close(fd);
}

TEST_F(DplayLoopback, HostileFramesEndOnlyThatConnection)
{
    Pair p;
    auto desc = HostDesc(p.app, "h", 2);
    ASSERT_EQ(p.host->Open(&desc, DPOPEN_CREATE), DP_OK);
    ASSERT_EQ(p.host->CreatePlayer(&p.hostId, nullptr, p.hostEvent, nullptr, 0, 0), DP_OK);
    const GUID instance = InstanceOf(*p.host);

    auto joinAndPlayer = [&] {
        FrameCodec::Buffer b;
        FrameCodec::AppendJoin(b, instance);
        FrameCodec::AppendCreatePlayer(b, 1, "x");
        return b;
    };
    auto bytes = [](std::initializer_list<unsigned char> l) { return FrameCodec::Buffer(l); };
    FrameCodec::Buffer wrongMagic;
    FrameCodec::AppendJoin(wrongMagic, instance);
    wrongMagic[5] ^= 0xFF;
    FrameCodec::Buffer dataBeforeJoin;
    FrameCodec::AppendData(dataBeforeJoin, 5, 0, "abcd", 4);
    FrameCodec::Buffer spoofedSystemMessage = joinAndPlayer();
    const DWORD fakeType = DPSYS_SESSIONLOST;
    FrameCodec::AppendData(spoofedSystemMessage, DPID_SYSMSG, 0, &fakeType, 4);

    // Each connection's end leaves a debug line with its reason.
    const struct {
        const char* what;
        FrameCodec::Buffer bytes;
        const char* traced;
    } cases[] = {
        {"length far above the cap", bytes({0xFF, 0xFF, 0xFF, 0x7F, 6}), "malformed frame"},
        {"zero length", bytes({0, 0, 0, 0}), "malformed frame"},
        {"unknown type", bytes({1, 0, 0, 0, 99}), "malformed frame"},
        {"join body too short", bytes({5, 0, 0, 0, 1, 0x46, 0x57, 0x53, 0x4A}), "malformed frame"},
        {"join with wrong magic", wrongMagic, "first frame is no join"},
        {"data before join", dataBeforeJoin, "data before the join"},
        {"data posing as a system message", spoofedSystemMessage, "data posing as a system message"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DplayTrace trace;
        const int fd = ConnectRaw(p.host->HostPort());
        ASSERT_GE(fd, 0);
        SendBytes(fd, c.bytes);
        EXPECT_TRUE(ClosedByPeer(fd));
        EXPECT_TRUE(trace.Has(std::string("connection dropped: ") + c.traced));
        close(fd);
    }
    // Data from the peer's own player, but for one that is not in the session: nothing here
    // passes messages on, so it makes no sense and ends the connection.
    {
        DplayTrace trace;
        const int fd = ConnectRaw(p.host->HostPort());
        ASSERT_GE(fd, 0);
        SendBytes(fd, joinAndPlayer());
        std::optional<DPID> own;
        std::vector<unsigned char> rx;
        while (!own && ReceiveSome(fd, rx)) {
            FrameCodec::View v;
            std::size_t consumed = 0;
            while (FrameCodec::Next(rx.data(), rx.size(), v, consumed) == FrameCodec::Status::Frame) {
                if (const auto created = FrameCodec::DecodePlayerCreated(v))
                    own = created->id;
                rx.erase(rx.begin(), rx.begin() + std::ptrdiff_t(consumed));
            }
        }
        ASSERT_TRUE(own);
        FrameCodec::Buffer toNobody;
        FrameCodec::AppendData(toNobody, *own, 0x00DEAD00, "abcd", 4);
        SendBytes(fd, toNobody);
        EXPECT_TRUE(ClosedByPeer(fd));
        EXPECT_TRUE(trace.Has("connection dropped: data for a player that is not here"));
        close(fd);
    }
    // Nothing but the spoofers' own players came and went; no fake session loss was queued.
    Message m;
    while (ReceiveOne(*p.host, *p.hostEvent, m, 300ms))
        EXPECT_NE(m.Type(), DPSYS_SESSIONLOST);

    // The host still takes a real client.
    auto client = NewService();
    ASSERT_EQ(Search(*client, p.app).size(), 1u);
    DPSESSIONDESC2 join{};
    join.dwSize = DPSESSIONDESC2_SIZE;
    join.guidInstance = instance;
    ASSERT_EQ(client->Open(&join, DPOPEN_JOIN), DP_OK);
    DPID id;
    EXPECT_EQ(client->CreatePlayer(&id, nullptr, p.clientEvent, nullptr, 0, 0), DP_OK);
}

TEST_F(DplayLoopback, MalformedDatagramsAreIgnored)
{
    const GUID app = RandomGuid();
    const std::uint16_t port = DiscoveryPortInUse();
    // A responder on the discovery port that answers each request with junk and one good reply.
    const int responder = socket(AF_INET, SOCK_DGRAM, 0);
    const int one = 1;
    setsockopt(responder, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(responder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);

    DiscoveryMessage good;
    good.kind = DiscoveryMessage::Kind::Reply;
    good.instance = RandomGuid();
    good.application = app;
    good.tcpPort = 9;
    good.maxPlayers = 2;
    good.currentPlayers = 1;
    good.name = "real";
    auto truncated = good.Encode();
    truncated.pop_back();
    auto badMagic = good.Encode();
    badMagic[0] ^= 1;
    auto hugeName = good.Encode();
    hugeName[42] = 0xFF;
    hugeName[43] = 0xFF;
    DiscoveryMessage portZero = good;
    portZero.instance = RandomGuid();
    auto zeroPort = portZero.Encode();
    zeroPort[40] = zeroPort[41] = 0;
    const std::vector<std::vector<unsigned char>> junk{{}, {1, 2, 3}, truncated, badMagic, hugeName, zeroPort};

    std::atomic<bool> stop{false};
    std::thread answer([&] {
        unsigned char buf[2048];
        while (!stop) {
            pollfd pf{responder, POLLIN, 0};
            if (poll(&pf, 1, 50) <= 0)
                continue;
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t n = recvfrom(responder, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
            const auto request = DiscoveryMessage::Decode(buf, n > 0 ? std::size_t(n) : 0);
            if (!request || request->application != app)
                continue;
            for (const auto& j : junk)
                sendto(responder, j.data(), j.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
            const auto g = good.Encode();
            sendto(responder, g.data(), g.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
        }
    });
    auto searcher = NewService();
    const auto found = Search(*searcher, app);
    // A search long enough for the junk to arrive after the good reply as well.
    const auto again = Listen(*searcher, app, 300ms).sessions;
    stop = true;
    answer.join();
    close(responder);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].name, "real");
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].instance, good.instance);
}

TEST_F(DplayLoopback, SearchReportTellsWhomItAskedAndWhatCameBack)
{
    const GUID app = RandomGuid();
    const GUID otherApp = RandomGuid();
    const std::uint16_t port = DiscoveryPortInUse();
    // A full session: one place, taken by the host's own player.
    auto host = NewService();
    ASSERT_TRUE(host);
    auto desc = HostDesc(app, "busy#/srv", 1);
    DPID hostId = 0;
    ASSERT_EQ(host->Open(&desc, DPOPEN_CREATE), DP_OK);
    ASSERT_EQ(host->CreatePlayer(&hostId, nullptr, std::make_shared<AutoResetEvent>(), nullptr, 0, 0), DP_OK);
    // Another program on the discovery port, answering with junk and a reply for another application.
    const int other = socket(AF_INET, SOCK_DGRAM, 0);
    const int one = 1;
    setsockopt(other, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(other, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);

    auto searcher = NewService();
    ASSERT_TRUE(searcher);
    EXPECT_TRUE(Poll(*searcher, app).sessions.empty()); // starts the search
    unsigned char buf[2048];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    pollfd pf{other, POLLIN, 0};
    ASSERT_EQ(poll(&pf, 1, 5000), 1);
    const ssize_t n = recvfrom(other, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    const auto request = DiscoveryMessage::Decode(buf, n > 0 ? std::size_t(n) : 0);
    ASSERT_TRUE(request);
    // Full sessions too, so that busy can be told from none; and what each host offers.
    EXPECT_EQ(request->requestFlags, DiscoveryMessage::kIncludeFull | DiscoveryMessage::kWantUserData);
    DiscoveryMessage foreign;
    foreign.kind = DiscoveryMessage::Kind::Reply;
    foreign.instance = RandomGuid();
    foreign.application = otherApp;
    foreign.tcpPort = 9;
    foreign.name = "game";
    const auto reply = foreign.Encode();
    const unsigned char junk[] = {'h', 'e', 'l', 'l', 'o'};
    sendto(other, junk, sizeof junk, 0, reinterpret_cast<sockaddr*>(&from), len);
    sendto(other, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), len);

    SearchReport report;
    const auto heardAll = [&] {
        report = searcher->LastSearch();
        return report.notReplies >= 1 && report.heard.size() >= 2;
    };
    EXPECT_TRUE(WaitUntil(heardAll));
    close(other);

    ASSERT_EQ(report.asked.size(), 1u);
    EXPECT_EQ(report.asked[0].address.sin_addr.s_addr, htonl(0x7FFFFFFF));
    EXPECT_EQ(ntohs(report.asked[0].address.sin_port), port);
    EXPECT_EQ(report.asked[0].sendError, 0);
    EXPECT_GE(report.datagrams, 3u);
    ASSERT_EQ(report.notReplySenders.size(), 1u);
    EXPECT_EQ(ntohs(report.notReplySenders[0].sin_port), port);
    bool busySeen = false, foreignSeen = false;
    for (const auto& session : report.heard) {
        busySeen |= session.application == app && session.currentPlayers == 1 && session.maxPlayers == 1;
        foreignSeen |= session.application == otherApp && session.name == "game";
    }
    EXPECT_TRUE(busySeen);
    EXPECT_TRUE(foreignSeen);
    // Lists of free sessions still leave the full one out.
    EXPECT_TRUE(Poll(*searcher, app).sessions.empty());
    EXPECT_EQ(Poll(*searcher, app, DPENUMSESSIONS_ALL).sessions.size(), 1u);
}

TEST_F(DplayLoopback, HostileHostAnswersFailTheJoinCleanly)
{
    // A fake host: it answers searches for its application and greets every connection with
    // the bytes of the current case.
    const GUID app = RandomGuid();
    const GUID instance = RandomGuid();
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY); // the searcher joins whichever address answered
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    listen(listener, 4);
    const int udp = socket(AF_INET, SOCK_DGRAM, 0);
    const int one = 1;
    setsockopt(udp, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in u{};
    u.sin_family = AF_INET;
    u.sin_port = htons(DiscoveryPortInUse());
    u.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(udp, reinterpret_cast<sockaddr*>(&u), sizeof u), 0);

    DiscoveryMessage reply;
    reply.kind = DiscoveryMessage::Kind::Reply;
    reply.instance = instance;
    reply.application = app;
    reply.tcpPort = ntohs(a.sin_port);
    reply.maxPlayers = 2;
    reply.currentPlayers = 1;
    reply.name = "fake";

    FrameCodec::Buffer refusedFull, refusedWithSuccess, otherInstance, lyingName;
    FrameCodec::AppendRefused(refusedFull, DPERR_ACCESSDENIED);
    FrameCodec::AppendRefused(refusedWithSuccess, 1);
    FrameCodec::AppendJoined(otherInstance, {RandomGuid(), app, 0, 2, 1, "other"});
    FrameCodec::AppendJoined(lyingName, {instance, app, 0, 2, 1, "name"});
    lyingName[FrameCodec::kHeader + 44] = 0xFF; // name length beyond the frame
    const struct {
        const char* what;
        FrameCodec::Buffer greeting;
        HRESULT expected;
    } cases[] = {
        {"session full", refusedFull, DPERR_ACCESSDENIED},
        {"refusal that claims success", refusedWithSuccess, DPERR_NOCONNECTION},
        {"length far above the cap", {0xFF, 0xFF, 0xFF, 0xFF, 2}, DPERR_NOCONNECTION},
        {"joined for another session", otherInstance, DPERR_NOCONNECTION},
        {"name length beyond the frame", lyingName, DPERR_NOCONNECTION},
        {"closes without a word", {}, DPERR_NOCONNECTION},
    };
    std::atomic<int> current{0};
    std::atomic<bool> stop{false};
    std::thread fake([&] {
        unsigned char buf[2048];
        while (!stop) {
            pollfd fds[2] = {{udp, POLLIN, 0}, {listener, POLLIN, 0}};
            if (poll(fds, 2, 50) <= 0)
                continue;
            if (fds[0].revents & POLLIN) {
                sockaddr_in from{};
                socklen_t fl = sizeof from;
                const ssize_t n = recvfrom(udp, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fl);
                const auto request = DiscoveryMessage::Decode(buf, n > 0 ? std::size_t(n) : 0);
                if (request && request->application == app) {
                    const auto bytes = reply.Encode();
                    sendto(udp, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&from), fl);
                }
            }
            if (fds[1].revents & POLLIN) {
                const int fd = accept(listener, nullptr, nullptr);
                // Take the join first, as a host does, so that closing resets nothing.
                pollfd pf{fd, POLLIN, 0};
                if (poll(&pf, 1, 2000) > 0)
                    recv(fd, buf, sizeof buf, 0);
                const auto& greeting = cases[current].greeting;
                if (!greeting.empty())
                    send(fd, greeting.data(), greeting.size(), MSG_NOSIGNAL);
                close(fd);
            }
        }
    });

    auto client = NewService();
    ASSERT_EQ(Search(*client, app).size(), 1u);
    DPSESSIONDESC2 join{};
    join.dwSize = DPSESSIONDESC2_SIZE;
    join.guidInstance = instance;
    for (int i = 0; i < int(std::size(cases)); ++i) {
        SCOPED_TRACE(cases[i].what);
        current = i;
        EXPECT_EQ(client->Open(&join, DPOPEN_JOIN), cases[i].expected);
    }
    stop = true;
    fake.join();
    close(listener);
    close(udp);
}

TEST_F(DplayLoopback, AsyncSearchReportsAtOnceAndSessionsAgeOut)
{
    auto host = NewService();
    auto searcher = NewService();
    const GUID app = RandomGuid();
    const GUID other = RandomGuid();

    // Nothing known yet: the call returns at once with just the closing callback.
    EnumRecord first = Poll(*searcher, app);
    EXPECT_TRUE(first.sessions.empty());
    EXPECT_TRUE(first.timedOutLast);

    auto desc = HostDesc(app, "A#/a", 2);
    ASSERT_EQ(host->Open(&desc, DPOPEN_CREATE), DP_OK);
    auto hostOther = NewService();
    auto descOther = HostDesc(other, "B#/b", 2);
    ASSERT_EQ(hostOther->Open(&descOther, DPOPEN_CREATE), DP_OK);

    const auto found = Search(*searcher, app);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].name, "A#/a");
    EnumRecord rec = Poll(*searcher, app);
    EXPECT_TRUE(rec.timedOutLast);
    EXPECT_EQ(rec.callsAfterTimeout, 0);

    // A host that goes away is no longer heard from and drops out of the list.
    host.reset();
    EXPECT_TRUE(SearchUntilGone(*searcher, app));
    DPSESSIONDESC2 d{};
    d.dwSize = DPSESSIONDESC2_SIZE;
    d.guidApplication = app;
    EXPECT_EQ(searcher->EnumSessions(&d, 0, nullptr, nullptr, DPENUMSESSIONS_STOPASYNC), DP_OK);

    // A synchronous search waits for its timeout and lists what answered.
    d.guidApplication = other;
    EnumRecord sync;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(searcher->EnumSessions(&d, 300, Collect, &sync, DPENUMSESSIONS_AVAILABLE), DP_OK);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
    ASSERT_EQ(sync.sessions.size(), 1u);
    EXPECT_EQ(sync.sessions[0].name, "B#/b");
    EXPECT_TRUE(sync.timedOutLast);
}

TEST_F(DplayLoopback, ASessionWhoseHostEndedDropsOutOfARunningSearch)
{
    const GUID app = RandomGuid();
    auto host = NewService();
    auto searcher = NewService();
    auto desc = HostDesc(app, "ending", 2);
    ASSERT_EQ(host->Open(&desc, DPOPEN_CREATE), DP_OK);
    ASSERT_TRUE(WaitUntil([&] { return Poll(*searcher, app).sessions.size() == 1; }));

    // While its host lives, every poll of the search lists it, round after round.
    const std::size_t listedFrom = searcher->LastSearch().requests;
    while (searcher->LastSearch().requests < listedFrom + 6) {
        ASSERT_EQ(Poll(*searcher, app).sessions.size(), 1u);
        std::this_thread::sleep_for(20ms);
    }

    // Its host ends while the search goes on: the session drops out after the next few
    // requests go unanswered, and no poll after that lists it again.
    const std::size_t endedAt = searcher->LastSearch().requests;
    host.reset();
    ASSERT_TRUE(WaitUntil([&] { return Poll(*searcher, app).sessions.empty(); }));
    EXPECT_LE(searcher->LastSearch().requests - endedAt, 3u);
    EXPECT_TRUE(searcher->LastSearch().heard.empty());
    const std::size_t droppedAt = searcher->LastSearch().requests;
    while (searcher->LastSearch().requests < droppedAt + 3) {
        ASSERT_TRUE(Poll(*searcher, app).sessions.empty());
        std::this_thread::sleep_for(20ms);
    }
}

TEST_F(DplayLoopback, ANewSearchOffersOnlySessionsThatAnswerIt)
{
    const GUID app = RandomGuid();
    auto staying = NewService();
    auto ending = NewService();
    auto searcher = NewService();
    auto stayingDesc = HostDesc(app, "staying", 2);
    auto endingDesc = HostDesc(app, "ending", 2);
    ASSERT_EQ(staying->Open(&stayingDesc, DPOPEN_CREATE), DP_OK);
    ASSERT_EQ(ending->Open(&endingDesc, DPOPEN_CREATE), DP_OK);
    ASSERT_TRUE(WaitUntil([&] { return Poll(*searcher, app).sessions.size() == 2; }));
    DPSESSIONDESC2 d{};
    d.dwSize = DPSESSIONDESC2_SIZE;
    d.guidApplication = app;
    ASSERT_EQ(searcher->EnumSessions(&d, 0, nullptr, nullptr, DPENUMSESSIONS_STOPASYNC), DP_OK);

    // One host ends between two searches: the next search never offers its session from
    // what the last one heard, and lists the other once it answers.
    ending.reset();
    bool offeredTheEnded = false;
    ASSERT_TRUE(WaitUntil([&] {
        const auto listed = Poll(*searcher, app).sessions;
        for (const Found& f : listed)
            offeredTheEnded |= f.name == "ending";
        return listed.size() == 1 && listed.front().name == "staying";
    }));
    EXPECT_FALSE(offeredTheEnded);
}

TEST_F(DplayLoopback, UnicastSearchAsksTheNamedHost)
{
    const GUID app = RandomGuid();
    auto host = NewService();
    auto desc = HostDesc(app, "direct", 2);
    ASSERT_EQ(host->Open(&desc, DPOPEN_CREATE), DP_OK);
    auto searcher = NewService("127.0.0.1");
    ASSERT_TRUE(searcher);
    const auto found = Search(*searcher, app);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].name, "direct");

    // A host listening on another discovery port is asked there when the address names it.
    const std::uint16_t ownPort = DiscoveryPortInUse();
    const std::uint16_t otherPort = std::uint16_t(ownPort + 1);
    setenv("FERROWARDEN_DISCOVERY_PORT", std::to_string(otherPort).c_str(), 1);
    auto movedHost = NewService();
    UseOwnDiscoveryPort();
    const GUID movedApp = RandomGuid();
    auto movedDesc = HostDesc(movedApp, "moved", 2);
    ASSERT_EQ(movedHost->Open(&movedDesc, DPOPEN_CREATE), DP_OK);
    auto portSearcher = NewService("localhost", otherPort);
    ASSERT_TRUE(portSearcher);
    const auto moved = Search(*portSearcher, movedApp);
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_EQ(moved[0].name, "moved");
}

TEST_F(DplayLoopback, CallsOutOfOrderFailCleanly)
{
    auto dp = CreateDirectPlay();
    DPCAPS caps{};
    caps.dwSize = DPCAPS_SIZE;
    EXPECT_EQ(dp->GetCaps(&caps, 0), DPERR_UNINITIALIZED);
    auto ipx = MakeAddress(DPSPGUID_IPX);
    EXPECT_EQ(dp->InitializeConnection(ipx.data(), 0), DPERR_UNAVAILABLE);
    std::vector<unsigned char> notAnAddress(64, 0xAB);
    EXPECT_EQ(dp->InitializeConnection(notAnAddress.data(), 0), DPERR_INVALIDPARAMS);
    EXPECT_EQ(dp->InitializeConnection(nullptr, 0), DPERR_INVALIDPARAMS);

    auto tcp = NewService();
    DPID id = 0;
    EXPECT_EQ(tcp->CreatePlayer(&id, nullptr, nullptr, nullptr, 0, 0), DPERR_NOCONNECTION);
    char data[8] = {};
    EXPECT_EQ(tcp->SendEx(1, 0, DPSEND_GUARANTEED, data, 8, 0, 0, nullptr, nullptr), DPERR_NOCONNECTION);
    DPSESSIONDESC2 unknown{};
    unknown.dwSize = DPSESSIONDESC2_SIZE;
    unknown.guidInstance = RandomGuid();
    EXPECT_EQ(tcp->Open(&unknown, DPOPEN_JOIN), DPERR_NOSESSIONS);
    auto address = MakeAddress(DPSPGUID_TCPIP);
    EXPECT_EQ(tcp->InitializeConnection(address.data(), 0), DPERR_ALREADYINITIALIZED);
}
