// Session endpoint throughput on loopback: 2060-byte guaranteed messages from one endpoint's
// Send to another endpoint's OnUserMsg on the main thread (receive thread, batched hand-over
// and delivery included), against the session service alone (SendEx to Receive on a plain
// thread) measured in the same run.
//
//   endpoint_bench [MiB per run, default 512] [rounds, default 3]
//
// Prints the median MB/s of each and their ratio. The sender runs on its own thread, as the
// sending PC would; the search asks 127.0.0.1 by name, so nothing leaves the machine.

#include "net/sessionaddress.h"
#include "net/tdplayer.h"
#include "platform/apperror.h"
#include "platform/autoresetevent.h"
#include "platform/dplay/dplay.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

constexpr DWORD kMessage = 2060;
constexpr GUID kApplication = {0x5D3A1F70, 0x2B84, 0x4C19, {0x9E, 0x6D, 0x7A, 0x0F, 0x31, 0xC8, 0xB4, 0x52}};

std::shared_ptr<IDirectPlay4A> LoopbackObject()
{
    auto object = CreateDirectPlay();
    QByteArray address = MakeTcpIpAddress(QStringLiteral("127.0.0.1"));
    if (FAILED(object->InitializeConnection(address.data(), 0)))
        return nullptr;
    return object;
}

BOOL TakeFirst(LPCDPSESSIONDESC2 desc, DWORD*, DWORD flags, void* context)
{
    if (flags & DPESC_TIMEDOUT)
        return FALSE;
    *static_cast<GUID*>(context) = desc->guidInstance;
    return FALSE;
}

// Hosts on `host`, finds and joins it with `client`; false on failure.
bool Pair(IDirectPlay4A& host, IDirectPlay4A& client)
{
    QByteArray name("Bench#/tmp");
    DPSESSIONDESC2 desc{};
    desc.dwSize = DPSESSIONDESC2_SIZE;
    desc.dwFlags = DPSESSION_KEEPALIVE | DPSESSION_DIRECTPLAYPROTOCOL;
    desc.guidApplication = kApplication;
    desc.dwMaxPlayers = 2;
    desc.lpszSessionNameA = name.data();
    if (FAILED(host.Open(&desc, DPOPEN_CREATE)))
        return false;
    DPSESSIONDESC2 search{};
    search.dwSize = DPSESSIONDESC2_SIZE;
    search.guidApplication = kApplication;
    GUID found = GUID_NULL;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (found == GUID_NULL && Clock::now() < deadline) {
        client.EnumSessions(&search, 0, TakeFirst, &found, DPENUMSESSIONS_AVAILABLE | DPENUMSESSIONS_ASYNC);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    client.EnumSessions(&search, 0, nullptr, nullptr, DPENUMSESSIONS_STOPASYNC);
    if (found == GUID_NULL)
        return false;
    DPSESSIONDESC2 join{};
    join.dwSize = DPSESSIONDESC2_SIZE;
    join.guidInstance = found;
    return SUCCEEDED(client.Open(&join, DPOPEN_JOIN));
}

std::vector<unsigned char> Packet()
{
    std::vector<unsigned char> bytes(kMessage);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<unsigned char>(i * 13);
    bytes[0] = 3;
    return bytes;
}

double MBps(std::uint64_t bytes, Clock::duration d)
{
    return double(bytes) / 1e6 / std::chrono::duration<double>(d).count();
}

// Endpoint to endpoint; delivery on this (the main) thread.
double EndpointRun(std::uint64_t count)
{
    QObject hostOwner, clientOwner;
    auto* host = new TDPlayer(&hostOwner);
    auto* client = new TDPlayer(&clientOwner);
    host->DirectPlay = LoopbackObject();
    client->DirectPlay = LoopbackObject();
    if (!host->DirectPlay || !client->DirectPlay || !Pair(*host->DirectPlay, *client->DirectPlay))
        return 0;
    if (FAILED(host->Connect(QStringLiteral("Bench#/tmp"), nullptr, 0, 0))
        || FAILED(client->Connect(QStringLiteral("FerrowardenClient"), nullptr, 0, 0)))
        return 0;

    QEventLoop loop;
    std::uint64_t received = 0;
    std::uint64_t checksum = 0;
    host->OnUserMsg = [&](TDPlayer* p) {
        checksum += p->ReceiveBuffer()[p->ReceiveSize() - 1];
        if (++received == count)
            loop.quit();
    };
    const std::vector<unsigned char> packet = Packet();
    const auto start = Clock::now();
    std::thread sender([&] {
        try {
            for (std::uint64_t i = 0; i < count; ++i)
                client->Send(DPID_ALLPLAYERS, DPSEND_GUARANTEED, packet.data(), kMessage);
        } catch (const AppError& error) {
            std::fprintf(stderr, "%s\n", qUtf8Printable(error.message()));
        }
    });
    QTimer::singleShot(120000, &loop, &QEventLoop::quit); // never hang the run
    loop.exec();
    const auto elapsed = Clock::now() - start;
    // Nobody delivers the host's messages any more: a sender still waiting for room is let
    // go by losing the session.
    if (received != count)
        delete host;
    sender.join();
    if (received != count)
        return 0;
    return MBps(count * kMessage, elapsed);
}

// The session service alone: SendEx on one thread, Receive on another.
double ServiceRun(std::uint64_t count)
{
    auto host = LoopbackObject();
    auto client = LoopbackObject();
    if (!host || !client || !Pair(*host, *client))
        return 0;
    auto hostEvent = std::make_shared<AutoResetEvent>();
    auto clientEvent = std::make_shared<AutoResetEvent>();
    DPID hostId = 0, clientId = 0;
    char hostName[] = "Bench#/tmp";
    char clientName[] = "FerrowardenClient";
    DPNAME hn{DPNAME_SIZE, 0, hostName, nullptr};
    DPNAME cn{DPNAME_SIZE, 0, clientName, nullptr};
    if (FAILED(host->CreatePlayer(&hostId, &hn, hostEvent, nullptr, 0, 0))
        || FAILED(client->CreatePlayer(&clientId, &cn, clientEvent, nullptr, 0, 0)))
        return 0;

    const std::vector<unsigned char> packet = Packet();
    const auto start = Clock::now();
    std::thread sender([&] {
        for (std::uint64_t i = 0; i < count; ++i) {
            DWORD id = 0;
            client->SendEx(clientId, DPID_ALLPLAYERS, DPSEND_GUARANTEED, const_cast<unsigned char*>(packet.data()),
                           kMessage, 0, 0, nullptr, &id);
        }
    });
    std::vector<unsigned char> buffer(64 * 1024);
    std::uint64_t received = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(120);
    while (received < count && Clock::now() < deadline) {
        DPID from = 0, to = 0;
        DWORD size = DWORD(buffer.size());
        if (SUCCEEDED(host->Receive(&from, &to, DPRECEIVE_ALL, buffer.data(), &size))) {
            if (from != DPID_SYSMSG)
                ++received;
            continue;
        }
        hostEvent->WaitFor(std::chrono::milliseconds(100));
    }
    const auto elapsed = Clock::now() - start;
    if (received != count)
        host.reset(); // lets a sender waiting for room go
    sender.join();
    if (received != count)
        return 0;
    return MBps(count * kMessage, elapsed);
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 512;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const std::uint64_t count = mib * 1024 * 1024 / kMessage;
    qputenv("FERROWARDEN_DISCOVERY_PORT", QByteArray::number(61000 + int(getpid() % 4500)));

    std::vector<double> endpoint, service;
    for (int round = 0; round < rounds; ++round) {
        service.push_back(ServiceRun(count));
        endpoint.push_back(EndpointRun(count));
        std::printf("round %d: service %.0f MB/s, endpoint %.0f MB/s\n", round + 1, service.back(), endpoint.back());
    }
    const double e = Median(endpoint);
    const double s = Median(service);
    std::printf("%llu messages of %u bytes per run, median of %d rounds\n", static_cast<unsigned long long>(count),
                kMessage, rounds);
    std::printf("session service alone: %.0f MB/s\n", s);
    std::printf("endpoint to OnUserMsg: %.0f MB/s (%.0f%% of the service alone)\n", e, s > 0 ? 100.0 * e / s : 0.0);
    return e > 0 && s > 0 ? 0 : 1;
}
