// The auto-reset event that the session service sets when messages wait.

#include "platform/autoresetevent.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using Result = AutoResetEvent::WaitResult;

TEST(DplayEvent, OneSetLetsOneWaitThrough)
{
    AutoResetEvent e;
    EXPECT_EQ(e.WaitFor(0ms), Result::TimedOut);
    e.Set();
    e.Set(); // still one signal
    EXPECT_EQ(e.WaitFor(0ms), Result::Signalled);
    EXPECT_EQ(e.WaitFor(0ms), Result::TimedOut);

    std::atomic<bool> woke{false};
    std::thread waiter([&] { woke = e.Wait() == Result::Signalled; });
    e.Set();
    waiter.join();
    EXPECT_TRUE(woke);
}

TEST(DplayEvent, CloseWakesEveryWaiterWithFailure)
{
    AutoResetEvent e;
    std::atomic<int> closed{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] {
            if (e.Wait() == Result::Closed)
                ++closed;
        });
    e.Close();
    for (auto& t : waiters)
        t.join();
    EXPECT_EQ(closed, 3);
    e.Set();
    EXPECT_EQ(e.WaitFor(0ms), Result::Closed);
    EXPECT_TRUE(e.IsClosed());
}
