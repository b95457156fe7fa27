#pragma once

// Small helpers shared by the session service tests: addresses, set-up, searching and
// receiving with deadlines.

#include "platform/dplay/dplay.h"
#include "platform/dplay/sessionservice.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QLoggingCategory>
#include <QString>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace dplaytest {

using namespace std::chrono_literals;

// Each test program searches on its own discovery port, so programs run side by side.
inline void UseOwnDiscoveryPort()
{
    // Below the ephemeral range, so no socket of the system can hold it by chance.
    const int port = 24000 + int(getpid() % 6000);
    setenv("FERROWARDEN_DISCOVERY_PORT", std::to_string(port).c_str(), 1);
}

inline std::uint16_t DiscoveryPortInUse()
{
    return std::uint16_t(std::atoi(std::getenv("FERROWARDEN_DISCOVERY_PORT")));
}

inline GUID RandomGuid()
{
    std::random_device rd;
    GUID g;
    std::uint32_t words[4] = {rd(), rd(), rd(), rd()};
    std::memcpy(&g, words, sizeof g);
    return g;
}

inline std::vector<unsigned char> MakeAddress(const GUID& provider, const std::string& host = {},
                                              std::uint16_t port = 0)
{
    auto lobby = CreateDirectPlayLobby();
    GUID sp = provider;
    std::vector<DPCOMPOUNDADDRESSELEMENT> elements{{DPAID_ServiceProvider, sizeof(GUID), &sp}};
    std::string text = host;
    if (provider == DPSPGUID_TCPIP)
        elements.push_back({DPAID_INet, DWORD(text.size() + 1), text.data()});
    WORD p = port;
    if (port)
        elements.push_back({DPAID_INetPort, 2, &p});
    DWORD size = 0;
    if (lobby->CreateCompoundAddress(elements.data(), DWORD(elements.size()), nullptr, &size) != DPERR_BUFFERTOOSMALL)
        return {};
    std::vector<unsigned char> block(size);
    if (lobby->CreateCompoundAddress(elements.data(), DWORD(elements.size()), block.data(), &size) != DP_OK)
        return {};
    return block;
}

// Searches broadcast on loopback only (127.255.255.255) unless a test names another host; an
// empty host broadcasts on every interface, which only the namespace test may do.
inline std::shared_ptr<SessionService> NewService(const std::string& host = "127.255.255.255", std::uint16_t port = 0)
{
    auto dp = std::static_pointer_cast<SessionService>(CreateDirectPlay());
    auto address = MakeAddress(DPSPGUID_TCPIP, host, port);
    if (dp->InitializeConnection(address.data(), 0) != DP_OK)
        return nullptr;
    return dp;
}

inline DPSESSIONDESC2 HostDesc(const GUID& app, const char* name, DWORD maxPlayers,
                               DWORD flags = DPSESSION_KEEPALIVE | DPSESSION_DIRECTPLAYPROTOCOL)
{
    DPSESSIONDESC2 d{};
    d.dwSize = DPSESSIONDESC2_SIZE;
    d.dwFlags = flags;
    d.guidApplication = app;
    d.dwMaxPlayers = maxPlayers;
    d.lpszSessionNameA = const_cast<char*>(name);
    return d;
}

// Collects the session service's debug lines (category fw.dplay) while it lives.
class DplayTrace {
public:
    DplayTrace()
    {
        std::lock_guard lock(Mutex());
        Current() = this;
        m_previous = qInstallMessageHandler(&DplayTrace::Handle);
        QLoggingCategory::setFilterRules(QStringLiteral("fw.dplay.debug=true"));
    }
    ~DplayTrace()
    {
        QLoggingCategory::setFilterRules(QString());
        std::lock_guard lock(Mutex());
        qInstallMessageHandler(m_previous);
        Current() = nullptr;
    }
    DplayTrace(const DplayTrace&) = delete;
    DplayTrace& operator=(const DplayTrace&) = delete;

    // True when a line so far holds `text`.
    bool Has(const std::string& text) const
    {
        std::lock_guard lock(Mutex());
        for (const auto& line : m_lines)
            if (line.find(text) != std::string::npos)
                return true;
        return false;
    }

private:
    static std::mutex& Mutex()
    {
        static std::mutex mutex;
        return mutex;
    }
    static DplayTrace*& Current()
    {
        static DplayTrace* current = nullptr;
        return current;
    }
    static void Handle(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        std::lock_guard lock(Mutex());
        if (!Current())
            return;
        if (context.category && std::strcmp(context.category, "fw.dplay") == 0)
            Current()->m_lines.push_back(message.toStdString());
        else if (Current()->m_previous)
            Current()->m_previous(type, context, message);
    }

    QtMessageHandler m_previous = nullptr;
    std::vector<std::string> m_lines;
};

struct Found {
    std::string name;
    GUID instance;
    DWORD current;
    DWORD max;
    DWORD user1 = 0;
};

struct EnumRecord {
    std::vector<Found> sessions;
    bool timedOutLast = false;
    int callsAfterTimeout = 0;
};

inline BOOL Collect(LPCDPSESSIONDESC2 sd, DWORD*, DWORD flags, void* context)
{
    auto* rec = static_cast<EnumRecord*>(context);
    if (rec->timedOutLast)
        ++rec->callsAfterTimeout;
    if (flags & DPESC_TIMEDOUT) {
        rec->timedOutLast = true;
        return FALSE;
    }
    rec->sessions.push_back(
        {sd->lpszSessionNameA, sd->guidInstance, sd->dwCurrentPlayers, sd->dwMaxPlayers, sd->dwUser1});
    return TRUE;
}

// One asynchronous poll.
inline EnumRecord Poll(IDirectPlay4A& dp, const GUID& app, DWORD flags = DPENUMSESSIONS_AVAILABLE)
{
    DPSESSIONDESC2 d{};
    d.dwSize = DPSESSIONDESC2_SIZE;
    d.guidApplication = app;
    EnumRecord rec;
    dp.EnumSessions(&d, 0, Collect, &rec, flags | DPENUMSESSIONS_ASYNC);
    return rec;
}

// One synchronous search: asks, waits `period` on the service's own clock while the answers
// come in, then lists.
inline EnumRecord Listen(IDirectPlay4A& dp, const GUID& app, std::chrono::milliseconds period,
                         DWORD flags = DPENUMSESSIONS_AVAILABLE)
{
    DPSESSIONDESC2 d{};
    d.dwSize = DPSESSIONDESC2_SIZE;
    d.guidApplication = app;
    EnumRecord rec;
    dp.EnumSessions(&d, DWORD(period.count()), Collect, &rec, flags);
    return rec;
}

// Searches in rounds of 100 ms until what is listed satisfies `done`, or `timeout` passes;
// returns the last list.
template <class Done>
std::vector<Found> SearchUntil(IDirectPlay4A& dp, const GUID& app, Done done, DWORD flags = DPENUMSESSIONS_AVAILABLE,
                               std::chrono::milliseconds timeout = 5000ms)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::vector<Found> found;
    do
        found = Listen(dp, app, 100ms, flags).sessions;
    while (!done(found) && std::chrono::steady_clock::now() < deadline);
    return found;
}

// Searches until `count` sessions of the application are listed.
inline std::vector<Found> Search(IDirectPlay4A& dp, const GUID& app, std::size_t count = 1,
                                 DWORD flags = DPENUMSESSIONS_AVAILABLE)
{
    return SearchUntil(
        dp, app, [&](const std::vector<Found>& found) { return found.size() >= count; }, flags);
}

// Searches until no session of the application is listed; true when none is.
inline bool SearchUntilGone(IDirectPlay4A& dp, const GUID& app)
{
    return SearchUntil(dp, app, [](const std::vector<Found>& found) { return found.empty(); }).empty();
}

struct Message {
    DPID from = 0;
    DPID to = 0;
    std::vector<unsigned char> data;
    DWORD Type() const
    {
        DWORD t = 0;
        if (data.size() >= 4)
            std::memcpy(&t, data.data(), 4);
        return t;
    }
};

// Test data of message `seq`: its number in the first four bytes, then a pattern of it.
inline std::vector<unsigned char> Payload(std::uint32_t seq, std::size_t size)
{
    std::vector<unsigned char> data(size);
    for (std::size_t i = 0; i < size; ++i)
        data[i] = static_cast<unsigned char>(seq * 31 + i * 7);
    if (size >= 4)
        std::memcpy(data.data(), &seq, 4);
    return data;
}

// A guaranteed message to every player.
inline HRESULT Send(IDirectPlay4A& dp, DPID from, const std::vector<unsigned char>& data, DWORD timeoutMs = 0)
{
    DWORD id = 0;
    return dp.SendEx(from, DPID_ALLPLAYERS, DPSEND_GUARANTEED, const_cast<unsigned char*>(data.data()),
                     DWORD(data.size()), 0, timeoutMs, reinterpret_cast<void*>(0x11223344), &id);
}

// Takes the next message, waiting on the player's event up to the timeout.
inline bool ReceiveOne(IDirectPlay4A& dp, AutoResetEvent& event, Message& out,
                       std::chrono::milliseconds timeout = 5000ms)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        DWORD size = DWORD(out.data.size());
        HRESULT hr = dp.Receive(&out.from, &out.to, DPRECEIVE_ALL, out.data.empty() ? nullptr : out.data.data(), &size);
        if (hr == DPERR_BUFFERTOOSMALL) {
            out.data.resize(size);
            hr = dp.Receive(&out.from, &out.to, DPRECEIVE_ALL, out.data.data(), &size);
        }
        if (hr == DP_OK) {
            out.data.resize(size);
            return true;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        event.WaitFor(left);
    }
}

// Waits for a system message of the given type, skipping everything else.
inline bool WaitForSystem(IDirectPlay4A& dp, AutoResetEvent& event, DWORD type, Message* out = nullptr,
                          std::chrono::milliseconds timeout = 8000ms)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    Message m;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!ReceiveOne(
                dp, event, m,
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())))
            return false;
        if (m.from == DPID_SYSMSG && m.Type() == type) {
            if (out)
                *out = std::move(m); // moved, so pointers into the buffer stay valid
            return true;
        }
    }
    return false;
}

// A joined pair on loopback: host with its player, client with its player.
struct Pair {
    GUID app = RandomGuid();
    std::shared_ptr<SessionService> host = NewService();
    std::shared_ptr<SessionService> client = NewService();
    std::shared_ptr<AutoResetEvent> hostEvent = std::make_shared<AutoResetEvent>();
    std::shared_ptr<AutoResetEvent> clientEvent = std::make_shared<AutoResetEvent>();
    DPID hostId = 0;
    DPID clientId = 0;
    // The host's dwUser1..4.
    DWORD user[4] = {};

    // Returns an empty text on success, else what failed.
    std::string Connect(DWORD maxPlayers = 2, DWORD flags = DPSESSION_KEEPALIVE | DPSESSION_DIRECTPLAYPROTOCOL)
    {
        if (!host || !client)
            return "InitializeConnection";
        auto desc = HostDesc(app, "Label#/srv/in", maxPlayers, flags);
        desc.dwUser1 = user[0];
        desc.dwUser2 = user[1];
        desc.dwUser3 = user[2];
        desc.dwUser4 = user[3];
        if (host->Open(&desc, DPOPEN_CREATE) != DP_OK)
            return "Open CREATE";
        char hostName[] = "Label#/srv/in";
        DPNAME hn{DPNAME_SIZE, 0, hostName, nullptr};
        if (host->CreatePlayer(&hostId, &hn, hostEvent, nullptr, 0, 0) != DP_OK)
            return "host CreatePlayer";
        const auto found = Search(*client, app);
        if (found.size() != 1)
            return "search";
        DPSESSIONDESC2 join{};
        join.dwSize = DPSESSIONDESC2_SIZE;
        join.guidInstance = found[0].instance;
        if (client->Open(&join, DPOPEN_JOIN) != DP_OK)
            return "Open JOIN";
        char clientName[] = "FerrowardenClient";
        DPNAME cn{DPNAME_SIZE, 0, clientName, nullptr};
        if (client->CreatePlayer(&clientId, &cn, clientEvent, nullptr, 0, 0) != DP_OK)
            return "client CreatePlayer";
        return {};
    }
};

} // namespace dplaytest
