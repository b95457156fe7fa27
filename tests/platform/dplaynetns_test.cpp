// Two network namespaces joined by a veth pair: a host in one is found by broadcast from the
// other, and messages cross both ways. The test re-runs its own binary inside each namespace
// (ip netns exec) in a role given by the environment.

#include "dplayhelpers.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

extern char** environ;

using namespace dplaytest;

namespace {

const char* const kRoleVar = "FERROWARDEN_NETNS_ROLE";
const char* const kAppVar = "FERROWARDEN_NETNS_APP";

int RunCommand(const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

pid_t Start(const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    return pid;
}

// Exit code of the child, or -1 when it had to be killed at the deadline. Waits on the
// child's pidfd, which becomes readable when it exits.
int Finish(pid_t pid, std::chrono::milliseconds timeout)
{
    const int pidfd = int(syscall(SYS_pidfd_open, pid, 0));
    pollfd exited{pidfd, POLLIN, 0};
    const bool done = pidfd >= 0 && poll(&exited, 1, int(timeout.count())) == 1;
    if (pidfd >= 0)
        close(pidfd);
    int status = 0;
    if (!done) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string GuidText(const GUID& g)
{
    char text[64];
    std::snprintf(text, sizeof text, "%08x-%04x-%04x-%02x%02x%02x%02x%02x%02x%02x%02x", g.Data1, g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

GUID GuidFromText(const char* text)
{
    GUID g{};
    unsigned d4[8];
    std::sscanf(text, "%08x-%04hx-%04hx-%02x%02x%02x%02x%02x%02x%02x%02x", &g.Data1, &g.Data2, &g.Data3, &d4[0], &d4[1],
                &d4[2], &d4[3], &d4[4], &d4[5], &d4[6], &d4[7]);
    for (int i = 0; i < 8; ++i)
        g.Data4[i] = std::uint8_t(d4[i]);
    return g;
}

const std::string kGreeting = "block from the other namespace";
const std::string kAnswer = "answer from the host";

std::vector<unsigned char> Bytes(const std::string& s)
{
    return {s.begin(), s.end()};
}

} // namespace

// One side of the pair; does nothing unless started by the test below in a namespace.
TEST(DplayNetnsRole, Run)
{
    const char* role = std::getenv(kRoleVar);
    if (!role)
        GTEST_SKIP() << "runs only inside a namespace started by DplayNetns";
    const GUID app = GuidFromText(std::getenv(kAppVar));
    auto dp = NewService(std::string()); // inside the test's own namespace: broadcast
    ASSERT_TRUE(dp);
    auto event = std::make_shared<AutoResetEvent>();
    DPID me = 0;
    Message m;
    if (std::string(role) == "host") {
        auto desc = HostDesc(app, "netns#/srv", 2);
        ASSERT_EQ(dp->Open(&desc, DPOPEN_CREATE), DP_OK);
        ASSERT_EQ(dp->CreatePlayer(&me, nullptr, event, nullptr, 0, 0), DP_OK);
        ASSERT_TRUE(WaitForSystem(*dp, *event, DPSYS_CREATEPLAYERORGROUP, nullptr, 20000ms));
        ASSERT_TRUE(ReceiveOne(*dp, *event, m, 10000ms));
        ASSERT_EQ(m.data, Bytes(kGreeting));
        auto answer = Bytes(kAnswer);
        ASSERT_EQ(dp->SendEx(me, DPID_ALLPLAYERS, DPSEND_GUARANTEED, answer.data(), DWORD(answer.size()), 0, 0, nullptr,
                             nullptr),
                  DP_OK);
        // Stay until the client has taken the answer and left.
        EXPECT_TRUE(WaitForSystem(*dp, *event, DPSYS_DESTROYPLAYERORGROUP, nullptr, 10000ms));
        return;
    }
    const auto found = Search(*dp, app, 1);
    ASSERT_EQ(found.size(), 1u);
    ASSERT_EQ(found[0].name, "netns#/srv");
    DPSESSIONDESC2 join{};
    join.dwSize = DPSESSIONDESC2_SIZE;
    join.guidInstance = found[0].instance;
    ASSERT_EQ(dp->Open(&join, DPOPEN_JOIN), DP_OK);
    ASSERT_EQ(dp->CreatePlayer(&me, nullptr, event, nullptr, 0, 0), DP_OK);
    auto greeting = Bytes(kGreeting);
    ASSERT_EQ(dp->SendEx(me, DPID_ALLPLAYERS, DPSEND_GUARANTEED, greeting.data(), DWORD(greeting.size()), 0, 0, nullptr,
                         nullptr),
              DP_OK);
    ASSERT_TRUE(ReceiveOne(*dp, *event, m, 10000ms));
    EXPECT_EQ(m.data, Bytes(kAnswer));
}

TEST(DplayNetns, HostInOneNamespaceIsFoundByBroadcastFromAnother)
{
    const std::string id = std::to_string(getpid());
    const std::string nsA = "fwdpa" + id, nsB = "fwdpb" + id;
    const std::string vethA = "fwa" + id, vethB = "fwb" + id;
    if (RunCommand({"ip", "netns", "add", nsA}) != 0)
        GTEST_SKIP() << "cannot create network namespaces here (ip netns add needs root or CAP_SYS_ADMIN)";
    const std::vector<std::vector<std::string>> setup{
        {"ip", "netns", "add", nsB},
        {"ip", "link", "add", vethA, "type", "veth", "peer", "name", vethB},
        {"ip", "link", "set", vethA, "netns", nsA},
        {"ip", "link", "set", vethB, "netns", nsB},
        {"ip", "-n", nsA, "addr", "add", "10.213.7.1/24", "broadcast", "+", "dev", vethA},
        {"ip", "-n", nsB, "addr", "add", "10.213.7.2/24", "broadcast", "+", "dev", vethB},
        {"ip", "-n", nsA, "link", "set", vethA, "up"},
        {"ip", "-n", nsB, "link", "set", vethB, "up"},
        {"ip", "-n", nsA, "link", "set", "lo", "up"},
        {"ip", "-n", nsB, "link", "set", "lo", "up"},
        {"ip", "netns", "exec", nsA, "true"}, // entering a namespace can be refused too
    };
    auto cleanup = [&] {
        RunCommand({"ip", "netns", "del", nsA});
        RunCommand({"ip", "netns", "del", nsB});
    };
    for (const auto& step : setup) {
        if (RunCommand(step) != 0) {
            cleanup();
            GTEST_SKIP() << "cannot set up a veth pair between namespaces: " << step[1] << " " << step[2];
        }
    }

    UseOwnDiscoveryPort();
    setenv(kAppVar, GuidText(RandomGuid()).c_str(), 1);
    char path[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", path, sizeof path - 1), 0);
    const std::string self = path;
    auto role = [&](const std::string& ns, const char* name) {
        return std::vector<std::string>{"ip",   "netns",
                                        "exec", ns,
                                        "env",  std::string(kRoleVar) + "=" + name,
                                        self,   "--gtest_filter=DplayNetnsRole.Run"};
    };
    const pid_t host = Start(role(nsA, "host"));
    const pid_t client = Start(role(nsB, "client"));
    const int clientResult = Finish(client, 30000ms);
    const int hostResult = Finish(host, 30000ms);
    cleanup();
    EXPECT_EQ(clientResult, 0) << "the client in " << nsB << " failed";
    EXPECT_EQ(hostResult, 0) << "the host in " << nsA << " failed";
}
