// Messages that share a socket write: many small ones queued at once, rooms and single
// messages mixed, and the small answers a busy connection sends back, which may wait a
// moment for company but never stay behind.

#include "dplayhelpers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

using namespace dplaytest;

namespace {

class DplayBatching : public ::testing::Test {
protected:
    static void SetUpTestSuite() { UseOwnDiscoveryPort(); }
};

std::size_t SizeOf(std::uint32_t seq)
{
    static const std::size_t sizes[] = {4, 81, 300, 4, 10240 + 60, 2000, 4};
    return sizes[seq % 7];
}

// Thousands of small messages, each a room of its own or copied in, sent faster than one
// write a message while the receiving program takes nothing for a while: they leave many
// at a time, and every one arrives once, whole and in order.
TEST_F(DplayBatching, ManySmallMessagesQueuedAtOnceArriveWholeAndInOrder)
{
    Pair p;
    ASSERT_EQ(p.Connect(), "");
    ASSERT_TRUE(WaitForSystem(*p.host, *p.hostEvent, DPSYS_CREATEPLAYERORGROUP));

    const std::uint32_t count = 5000;
    std::atomic<HRESULT> sendResult{DP_OK};
    std::thread sender([&] {
        for (std::uint32_t seq = 0; seq < count && sendResult == DP_OK; ++seq) {
            const auto payload = Payload(seq, SizeOf(seq));
            if (seq % 3 == 0) {
                sendResult = Send(*p.client, p.clientId, payload);
                continue;
            }
            std::uint8_t* base = nullptr;
            std::size_t stride = 0;
            HRESULT hr = p.client->ReserveSend(p.clientId, DPID_ALLPLAYERS, DWORD(payload.size()), 1, &base, &stride);
            if (hr == DP_OK) {
                std::memcpy(base, payload.data(), payload.size());
                hr = p.client->SendReserved();
            }
            sendResult = hr;
        }
    });
    std::this_thread::sleep_for(300ms); // the queues fill meanwhile
    std::uint32_t next = 0;
    Message m;
    while (next < count && ReceiveOne(*p.host, *p.hostEvent, m)) {
        ASSERT_EQ(m.from, p.clientId);
        ASSERT_TRUE(m.data == Payload(next, SizeOf(next))) << "message " << next;
        ++next;
    }
    if (next < count)
        p.host.reset(); // lets a sender waiting for room go
    sender.join();
    EXPECT_EQ(sendResult, DP_OK);
    EXPECT_EQ(next, count);
}

// A receiver that answers every message with a small one, as it answers every file: the
// answers arrive in order, and the last one, after which nothing more comes, arrives too.
TEST_F(DplayBatching, AnswersOfABusyConnectionAllArriveTheLastToo)
{
    Pair p;
    ASSERT_EQ(p.Connect(), "");
    ASSERT_TRUE(WaitForSystem(*p.host, *p.hostEvent, DPSYS_CREATEPLAYERORGROUP));

    const std::uint32_t count = 2000;
    std::atomic<HRESULT> sendResult{DP_OK};
    std::thread sender([&] {
        for (std::uint32_t seq = 0; seq < count && sendResult == DP_OK; ++seq)
            sendResult = Send(*p.client, p.clientId, Payload(seq, 10240));
    });
    std::uint32_t answered = 0;
    Message m;
    while (answered < count && ReceiveOne(*p.host, *p.hostEvent, m)) {
        ASSERT_EQ(m.from, p.clientId);
        ASSERT_TRUE(m.data == Payload(answered, 10240)) << "message " << answered;
        ASSERT_EQ(Send(*p.host, p.hostId, Payload(answered, 81)), DP_OK);
        ++answered;
    }
    sender.join();
    ASSERT_EQ(sendResult, DP_OK);
    ASSERT_EQ(answered, count);
    std::uint32_t next = 0;
    while (next < count && ReceiveOne(*p.client, *p.clientEvent, m)) {
        if (m.from == DPID_SYSMSG)
            continue;
        ASSERT_TRUE(m.data == Payload(next, 81)) << "answer " << next;
        ++next;
    }
    EXPECT_EQ(next, count);
}

} // namespace
