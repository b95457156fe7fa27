#include "platform/dplay/sessionservice.h"

#include "platform/dplay/discoverymessage.h"
#include "platform/dplay/dplaylobby.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <linux/sockios.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <random>
#include <set>

using namespace std::chrono_literals;

namespace {

// A search spreads six polls over this time; hosts are asked again every kEnumPeriod and
// drop out of the list when not heard from for kEnumAge.
constexpr DWORD kSearchTimeoutMs = 1000;
constexpr auto kEnumPeriod = 250ms;
constexpr auto kEnumAge = 1000ms;
// With DPSESSION_KEEPALIVE an idle connection is pinged; a peer silent for kDeadAfter is gone.
constexpr auto kPingAfter = 1000ms;
constexpr auto kDeadAfter = 4000ms;
// A connection must have joined within this time; a join or a player must be answered.
constexpr auto kHandshakeTimeout = 5000ms;
// On release: how long to wait for a peer to take what is still queued, and for its close.
constexpr auto kLingerNoProgress = 3000ms;
constexpr auto kLingerClose = 5000ms;

constexpr std::size_t kTxCap = 512 * 1024;
// While a connection streams, SendEx wakes the network thread only once this much waits.
constexpr std::size_t kLazyWakeLimit = 64 * 1024;
// How long the first poll of a search of one named host waits for its answer.
constexpr auto kFirstAnswerWait = 30ms;
// A connection stops streaming when nothing was sent for this long.
constexpr auto kStreamingIdle = 20ms;
constexpr std::size_t kRxCap = 4 * 1024 * 1024;
constexpr std::size_t kReadChunk = 1024 * 1024;
constexpr std::size_t kRxBufferSize = kReadChunk + FrameCodec::kHeader + FrameCodec::kMaxBody;
constexpr std::size_t kMaxRxChunks = 8;
constexpr std::size_t kSmallHandOver = 64 * 1024;
constexpr std::size_t kRxPoolSize = kMaxRxChunks + 2; // so that steady reading never allocates
constexpr std::size_t kMaxConnections = 16;
constexpr int kMaxDatagramsPerRound = 64;
constexpr std::size_t kMaxFound = 4096;
constexpr std::size_t kMaxPlayersPerPeer = 64;

std::string GuidKey(const GUID& g)
{
    return std::string(reinterpret_cast<const char*>(&g), sizeof g);
}

GUID RandomGuid()
{
    std::random_device rd;
    GUID g;
    unsigned char bytes[16];
    for (int i = 0; i < 16; i += 4) {
        const std::uint32_t r = rd();
        std::memcpy(bytes + i, &r, 4);
    }
    std::memcpy(&g, bytes, 16);
    return g;
}

bool DescSizeOk(const DPSESSIONDESC2* d)
{
    return d && (d->dwSize == DPSESSIONDESC2_SIZE || d->dwSize == sizeof(DPSESSIONDESC2));
}

void CloseFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

std::uint16_t DiscoveryPortFromEnvironment()
{
    if (const char* text = std::getenv("FERROWARDEN_DISCOVERY_PORT")) {
        char* end = nullptr;
        const long port = std::strtol(text, &end, 10);
        if (end != text && *end == '\0' && port > 0 && port < 65536)
            return static_cast<std::uint16_t>(port);
    }
    return SessionService::kDefaultDiscoveryPort;
}

// The broadcast address of every IPv4 interface that is up, loopback included.
std::vector<in_addr> BroadcastAddresses()
{
    std::set<std::uint32_t> seen;
    std::vector<in_addr> out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (ifaddrs* i = list; i; i = i->ifa_next) {
            if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP))
                continue;
            std::uint32_t bcast;
            if ((i->ifa_flags & IFF_BROADCAST) && i->ifa_broadaddr) {
                bcast = reinterpret_cast<sockaddr_in*>(i->ifa_broadaddr)->sin_addr.s_addr;
            } else if (i->ifa_netmask) {
                const auto addr = reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
                const auto mask = reinterpret_cast<sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr;
                bcast = addr | ~mask;
            } else {
                continue;
            }
            if (seen.insert(bcast).second)
                out.push_back(in_addr{bcast});
        }
        freeifaddrs(list);
    }
    if (seen.insert(htonl(0x7FFFFFFF)).second)
        out.push_back(in_addr{htonl(0x7FFFFFFF)});
    return out;
}

// Writes all of `data` to a non-blocking socket before `deadline`.
bool SendAll(int fd, const unsigned char* data, std::size_t size, std::chrono::steady_clock::time_point deadline)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::send(fd, data + done, size - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += std::size_t(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, int(left.count()));
    }
    return true;
}

} // namespace

SessionService::SessionService() = default;

SessionService::~SessionService()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_cond.notify_all();
    m_txRoom.notify_all();
    Wake();
    if (m_thread.joinable())
        m_thread.join();
    for (auto& c : m_connections)
        CloseFd(c->fd);
    CloseFd(m_listenFd);
    CloseFd(m_discoveryFd);
    CloseFd(m_enumFd);
    CloseFd(m_wakeFd);
}

std::uint16_t SessionService::HostPort() const
{
    std::lock_guard lock(m_mutex);
    return m_role == Role::Host ? m_hostPort : 0;
}

std::uint16_t SessionService::DiscoveryPort() const
{
    std::lock_guard lock(m_mutex);
    return m_discoveryPort;
}

// ---- set-up ------------------------------------------------------------------------------

HRESULT SessionService::InitializeConnection(void* lpConnection, DWORD dwFlags)
{
    if (!lpConnection || dwFlags != 0)
        return DPERR_INVALIDPARAMS;
    const auto elements = ParseCompoundAddress(lpConnection);
    if (!elements)
        return DPERR_INVALIDPARAMS;

    std::optional<GUID> provider;
    std::string host;
    std::optional<std::uint16_t> port;
    for (const auto& e : *elements) {
        if (e.type == DPAID_ServiceProvider && e.data.size() == sizeof(GUID)) {
            GUID g;
            std::memcpy(&g, e.data.data(), sizeof g);
            provider = g;
        } else if (e.type == DPAID_INet) {
            host.assign(reinterpret_cast<const char*>(e.data.data()), e.data.size());
            host = host.substr(0, host.find('\0'));
        } else if (e.type == DPAID_INetPort && e.data.size() == 2) {
            std::uint16_t p;
            std::memcpy(&p, e.data.data(), 2);
            port = p;
        }
    }
    if (!provider)
        return DPERR_INVALIDPARAMS;
    if (*provider == DPSPGUID_IPX || *provider != DPSPGUID_TCPIP)
        return DPERR_UNAVAILABLE; // Linux has no IPX

    std::lock_guard lock(m_mutex);
    if (m_initialized)
        return DPERR_ALREADYINITIALIZED;

    m_discoveryPort = DiscoveryPortFromEnvironment();
    // A port in the address is where the other side's discovery listens.
    m_requestPort = port && *port ? *port : m_discoveryPort;
    if (!host.empty()) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_DGRAM;
        addrinfo* res = nullptr;
        if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res)
            return DPERR_INVALIDPARAMS;
        m_unicastAddress = *reinterpret_cast<sockaddr_in*>(res->ai_addr);
        freeaddrinfo(res);
        m_unicastAddress.sin_port = htons(m_requestPort);
        m_unicast = true;
    }

    m_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    m_enumFd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_wakeFd < 0 || m_enumFd < 0) {
        CloseFd(m_wakeFd);
        CloseFd(m_enumFd);
        return DPERR_GENERIC;
    }
    const int one = 1;
    setsockopt(m_enumFd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    bind(m_enumFd, reinterpret_cast<sockaddr*>(&any), sizeof any);

    m_initialized = true;
    m_thread = std::thread([this] { NetworkLoop(); });
    return DP_OK;
}

HRESULT SessionService::GetCaps(LPDPCAPS lpDPCaps, DWORD)
{
    if (!lpDPCaps || (lpDPCaps->dwSize != DPCAPS_SIZE && lpDPCaps->dwSize != sizeof(DPCAPS)))
        return DPERR_INVALIDPARAMS;
    std::lock_guard lock(m_mutex);
    if (!m_initialized)
        return DPERR_UNINITIALIZED;
    const DWORD size = lpDPCaps->dwSize;
    std::memset(lpDPCaps, 0, sizeof(DPCAPS));
    lpDPCaps->dwSize = size;
    lpDPCaps->dwFlags = m_role == Role::Host ? DPCAPS_ISHOST : 0;
    lpDPCaps->dwMaxBufferSize = FrameCodec::kMaxMessage;
    lpDPCaps->dwMaxQueueSize = kTxCap;
    lpDPCaps->dwMaxPlayers = 65535;
    lpDPCaps->dwHundredBaud = 0;
    lpDPCaps->dwLatency = 1;
    lpDPCaps->dwMaxLocalPlayers = 65535;
    lpDPCaps->dwHeaderLength = FrameCodec::kHeader + FrameCodec::kDataHeader;
    lpDPCaps->dwTimeout = kSearchTimeoutMs;
    return DP_OK;
}

// ---- discovery -----------------------------------------------------------------------------

void SessionService::SendDiscoveryRequests()
{
    DiscoveryMessage m;
    m.kind = DiscoveryMessage::Kind::Request;
    bool unicast;
    sockaddr_in target;
    {
        std::lock_guard lock(m_mutex);
        m.application = m_enumApplication;
        m.requestFlags = m_enumIncludeFull ? DiscoveryMessage::kIncludeFull : 0;
        m_lastEnumRequest = Clock::now();
        unicast = m_unicast;
        target = m_unicastAddress;
    }
    const auto bytes = m.Encode();
    auto sendTo = [&](const sockaddr_in& to) {
        ::sendto(m_enumFd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    };
    if (unicast) {
        sendTo(target);
        return;
    }
    for (const in_addr& a : BroadcastAddresses()) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr = a;
        to.sin_port = htons(m_requestPort);
        sendTo(to);
    }
}

HRESULT SessionService::EnumSessions(LPDPSESSIONDESC2 lpsd, DWORD dwTimeout,
                                     LPDPENUMSESSIONSCALLBACK2 callback, void* context,
                                     DWORD dwFlags)
{
    if (!DescSizeOk(lpsd))
        return DPERR_INVALIDPARAMS;
    {
        std::lock_guard lock(m_mutex);
        if (!m_initialized)
            return DPERR_UNINITIALIZED;
        if (dwFlags & DPENUMSESSIONS_STOPASYNC) {
            m_enumActive = false;
            return DP_OK;
        }
    }
    if (!callback)
        return DPERR_INVALIDPARAMS;

    const GUID application = lpsd->guidApplication;
    const bool includeFull = (dwFlags & DPENUMSESSIONS_ALL) != 0;
    bool sendNow = false;
    {
        std::lock_guard lock(m_mutex);
        if (!m_enumActive || m_enumApplication != application || m_enumIncludeFull != includeFull)
            sendNow = true;
        m_enumApplication = application;
        m_enumIncludeFull = includeFull;
        if (dwFlags & DPENUMSESSIONS_ASYNC)
            m_enumActive = true;
        else
            m_enumSyncUntil = Clock::now() + std::chrono::milliseconds(dwTimeout ? dwTimeout : kSearchTimeoutMs);
    }
    const auto asked = Clock::now();
    if (sendNow || !(dwFlags & DPENUMSESSIONS_ASYNC))
        SendDiscoveryRequests();
    Wake();

    // A search that asks one named host gives it a moment to answer before the first poll
    // returns, so that this poll can already list it. A broadcast search never waits: it
    // cannot know who else is still to answer.
    if (sendNow && (dwFlags & DPENUMSESSIONS_ASYNC)) {
        std::unique_lock lock(m_mutex);
        if (m_unicast) {
            m_cond.wait_until(lock, asked + kFirstAnswerWait, [&] {
                if (m_stop)
                    return true;
                for (const auto& entry : m_found) {
                    const FoundSession& found = entry.second;
                    if (found.lastSeen >= asked
                        && (application == GUID_NULL || found.application == application))
                        return true;
                }
                return false;
            });
        }
    }

    if (!(dwFlags & DPENUMSESSIONS_ASYNC)) {
        std::unique_lock lock(m_mutex);
        const auto until = m_enumSyncUntil;
        m_cond.wait_until(lock, until, [this] { return m_stop.load(); });
    }

    struct Listed {
        FoundSession session;
        GUID instance;
    };
    std::vector<Listed> listed;
    {
        std::lock_guard lock(m_mutex);
        const auto now = Clock::now();
        for (const auto& [key, s] : m_found) {
            if (now - s.lastSeen > kEnumAge)
                continue;
            if (application != GUID_NULL && s.application != application)
                continue;
            if (!includeFull && s.maxPlayers != 0 && s.currentPlayers >= s.maxPlayers)
                continue;
            GUID instance;
            std::memcpy(&instance, key.data(), sizeof instance);
            listed.push_back({s, instance});
        }
    }
    DWORD timeout = kSearchTimeoutMs;
    for (auto& l : listed) {
        DPSESSIONDESC2 d{};
        d.dwSize = sizeof(DPSESSIONDESC2);
        d.dwFlags = l.session.flags;
        d.guidInstance = l.instance;
        d.guidApplication = l.session.application;
        d.dwMaxPlayers = l.session.maxPlayers;
        d.dwCurrentPlayers = l.session.currentPlayers;
        d.lpszSessionNameA = l.session.name.data();
        if (!callback(&d, &timeout, 0, context))
            return DP_OK;
    }
    callback(nullptr, &timeout, DPESC_TIMEDOUT, context);
    return DP_OK;
}

void SessionService::HandleDiscoveryRequests()
{
    unsigned char buf[2048];
    for (int i = 0; i < kMaxDatagramsPerRound; ++i) {
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        const ssize_t n = ::recvfrom(m_discoveryFd, buf, sizeof buf, MSG_TRUNC,
                                     reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n < 0)
            return;
        if (std::size_t(n) > sizeof buf || fromLen != sizeof from || from.sin_family != AF_INET)
            continue;
        const auto request = DiscoveryMessage::Decode(buf, std::size_t(n));
        if (!request || request->kind != DiscoveryMessage::Kind::Request)
            continue;
        DiscoveryMessage reply;
        {
            std::lock_guard lock(m_mutex);
            if (m_role != Role::Host)
                return;
            if (request->application != GUID_NULL && request->application != m_session.application)
                continue;
            const DWORD occupied = Occupancy();
            const bool full = m_session.maxPlayers != 0 && occupied >= m_session.maxPlayers;
            if (full && !(request->requestFlags & DiscoveryMessage::kIncludeFull))
                continue;
            reply.kind = DiscoveryMessage::Kind::Reply;
            reply.instance = m_session.instance;
            reply.application = m_session.application;
            reply.tcpPort = m_hostPort;
            reply.sessionFlags = m_session.flags;
            reply.maxPlayers = m_session.maxPlayers;
            reply.currentPlayers = occupied;
            reply.name = m_session.name;
        }
        const auto bytes = reply.Encode();
        ::sendto(m_discoveryFd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
    }
}

void SessionService::HandleDiscoveryReplies()
{
    static thread_local std::vector<unsigned char> buf(64 * 1024);
    for (int i = 0; i < kMaxDatagramsPerRound; ++i) {
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        const ssize_t n = ::recvfrom(m_enumFd, buf.data(), buf.size(), MSG_TRUNC,
                                     reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n < 0)
            return;
        if (std::size_t(n) > buf.size() || fromLen != sizeof from || from.sin_family != AF_INET)
            continue;
        const auto reply = DiscoveryMessage::Decode(buf.data(), std::size_t(n));
        if (!reply || reply->kind != DiscoveryMessage::Kind::Reply)
            continue;
        sockaddr_in address = from;
        address.sin_port = htons(reply->tcpPort);
        std::lock_guard lock(m_mutex);
        const std::string key = GuidKey(reply->instance);
        if (m_found.size() >= kMaxFound && !m_found.count(key)) {
            // A flood of replies: forget what has gone quiet, and take no more than the cap.
            const auto now = Clock::now();
            for (auto it = m_found.begin(); it != m_found.end();)
                it = now - it->second.lastSeen > kEnumAge ? m_found.erase(it) : std::next(it);
            if (m_found.size() >= kMaxFound)
                continue;
        }
        FoundSession& s = m_found[key];
        s.address = address;
        s.application = reply->application;
        s.flags = reply->sessionFlags;
        s.maxPlayers = reply->maxPlayers;
        s.currentPlayers = reply->currentPlayers;
        s.name = reply->name;
        s.lastSeen = Clock::now();
        if (m_known.size() < kMaxFound || m_known.count(key))
            m_known[key] = address;
        m_cond.notify_all();
    }
}

// ---- sessions ------------------------------------------------------------------------------

HRESULT SessionService::Open(LPDPSESSIONDESC2 lpsd, DWORD dwFlags)
{
    if (!DescSizeOk(lpsd))
        return DPERR_INVALIDPARAMS;
    if (dwFlags != DPOPEN_CREATE && dwFlags != DPOPEN_JOIN)
        return DPERR_INVALIDFLAGS;
    {
        std::lock_guard lock(m_mutex);
        if (!m_initialized)
            return DPERR_UNINITIALIZED;
        if (m_role != Role::None)
            return DPERR_ALREADYINITIALIZED;
        m_role = Role::Joining;
    }
    const HRESULT hr = dwFlags == DPOPEN_CREATE ? HostSession(*lpsd) : JoinSession(lpsd->guidInstance);
    if (FAILED(hr)) {
        std::lock_guard lock(m_mutex);
        m_role = Role::None;
    }
    return hr;
}

HRESULT SessionService::HostSession(const DPSESSIONDESC2& desc)
{
    int listenFd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int udpFd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    auto fail = [&] {
        CloseFd(listenFd);
        CloseFd(udpFd);
        return DPERR_CANTCREATESESSION;
    };
    if (listenFd < 0 || udpFd < 0)
        return fail();
    const int one = 1;
    setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(udpFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(udpFd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = 0;
    if (bind(listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listenFd, 8) != 0)
        return fail();
    socklen_t len = sizeof addr;
    getsockname(listenFd, reinterpret_cast<sockaddr*>(&addr), &len);
    const std::uint16_t tcpPort = ntohs(addr.sin_port);

    sockaddr_in udp{};
    udp.sin_family = AF_INET;
    udp.sin_addr.s_addr = htonl(INADDR_ANY);
    udp.sin_port = htons(DiscoveryPort());
    if (bind(udpFd, reinterpret_cast<sockaddr*>(&udp), sizeof udp) != 0)
        return fail();

    {
        std::lock_guard lock(m_mutex);
        m_session = SessionInfo{};
        m_session.instance = RandomGuid();
        m_session.application = desc.guidApplication;
        m_session.flags = desc.dwFlags;
        m_session.maxPlayers = desc.dwMaxPlayers;
        if (desc.lpszSessionNameA)
            m_session.name = desc.lpszSessionNameA;
        if (desc.lpszPasswordA)
            m_session.password = desc.lpszPasswordA;
        m_hostPort = tcpPort;
        m_listenFd = listenFd;
        m_discoveryFd = udpFd;
        std::random_device rd;
        m_nextPlayerId = 0x10000 + (rd() & 0x00FFFFFF);
        m_role = Role::Host;
    }
    Wake();
    return DP_OK;
}

HRESULT SessionService::JoinSession(const GUID& instance)
{
    sockaddr_in address;
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_known.find(GuidKey(instance));
        if (it == m_known.end())
            return DPERR_NOSESSIONS;
        address = it->second;
    }
    const auto deadline = Clock::now() + kHandshakeTimeout;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return DPERR_NOCONNECTION;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 && errno != EINPROGRESS) {
        CloseFd(fd);
        return DPERR_NOCONNECTION;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    Buffer out;
    FrameCodec::AppendJoin(out, instance);
    // SendAll waits for the connection to complete before its first write succeeds.
    if (!SendAll(fd, out.data(), out.size(), deadline)) {
        CloseFd(fd);
        return DPERR_NOCONNECTION;
    }

    auto c = std::make_shared<Connection>();
    c->rx.resize(kRxBufferSize);
    std::optional<FrameCodec::JoinedInfo> joined;
    HRESULT refused = DP_OK;
    std::size_t consumed = 0;
    while (!joined && refused == DP_OK) {
        FrameCodec::View v;
        const auto status = FrameCodec::Next(c->rx.data(), c->rxEnd, v, consumed);
        if (status == FrameCodec::Status::Malformed) {
            refused = DPERR_NOCONNECTION;
            break;
        }
        if (status == FrameCodec::Status::Frame) {
            if (v.type == FrameCodec::Joined)
                joined = FrameCodec::DecodeJoined(v);
            else if (v.type == FrameCodec::Refused)
                refused = FrameCodec::DecodeRefused(v).value_or(DPERR_NOCONNECTION);
            if (!joined && refused == DP_OK)
                refused = DPERR_NOCONNECTION;
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            refused = DPERR_TIMEOUT;
            break;
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, int(left.count())) <= 0)
            continue;
        const ssize_t n = ::recv(fd, c->rx.data() + c->rxEnd, c->rx.size() - c->rxEnd, 0);
        if (n <= 0 && !(n < 0 && (errno == EAGAIN || errno == EINTR))) {
            refused = DPERR_NOCONNECTION;
            break;
        }
        if (n > 0)
            c->rxEnd += std::size_t(n);
    }
    if (!joined || joined->instance != instance) {
        CloseFd(fd);
        return refused != DP_OK ? refused : DPERR_NOCONNECTION;
    }
    // Keep whatever followed the reply for the network thread.
    std::memmove(c->rx.data(), c->rx.data() + consumed, c->rxEnd - consumed);
    c->rxEnd -= consumed;
    c->fd = fd;
    c->joined = true;
    c->parsePending = c->rxEnd > 0;
    c->opened = c->lastHeard = c->lastSent = Clock::now();
    {
        std::lock_guard lock(m_mutex);
        if (m_stop) {
            CloseFd(c->fd);
            return DPERR_NOCONNECTION;
        }
        m_session = SessionInfo{};
        m_session.instance = joined->instance;
        m_session.application = joined->application;
        m_session.flags = joined->flags;
        m_session.maxPlayers = joined->maxPlayers;
        m_session.currentPlayers = joined->currentPlayers;
        m_session.name = joined->name;
        m_connections.push_back(c);
        m_role = Role::Client;
    }
    Wake();
    return DP_OK;
}

DWORD SessionService::Occupancy() const
{
    std::size_t n = m_localPlayers.size();
    for (const auto& c : m_connections)
        if (c->joined && !c->dead)
            n += std::max<std::size_t>(1, c->players.size());
    return DWORD(n);
}

bool SessionService::IsLocalPlayer(DPID id) const
{
    return std::find(m_localPlayers.begin(), m_localPlayers.end(), id) != m_localPlayers.end();
}

DPID SessionService::NextPlayerId()
{
    DPID id;
    do {
        id = m_nextPlayerId++;
    } while (id == DPID_SYSMSG || id == DPID_SERVERPLAYER || id == DPID_UNKNOWN);
    return id;
}

HRESULT SessionService::CreatePlayer(DPID* lpidPlayer, LPDPNAME lpPlayerName,
                                     std::shared_ptr<AutoResetEvent> hEvent, void*, DWORD, DWORD)
{
    if (!lpidPlayer)
        return DPERR_INVALIDPARAMS;
    std::string name;
    if (lpPlayerName && lpPlayerName->lpszShortNameA)
        name = lpPlayerName->lpszShortNameA;
    if (name.size() > FrameCodec::kMaxName)
        name.resize(FrameCodec::kMaxName);

    std::unique_lock lock(m_mutex);
    if (m_role != Role::Host && m_role != Role::Client)
        return DPERR_NOCONNECTION;
    if (m_sessionLost)
        return DPERR_SESSIONLOST;

    DPID id;
    if (m_role == Role::Host) {
        if (m_session.maxPlayers != 0 && Occupancy() >= m_session.maxPlayers)
            return DPERR_CANTCREATEPLAYER;
        id = NextPlayerId();
    } else {
        if (m_connections.empty())
            return DPERR_SESSIONLOST;
        const auto c = m_connections.front();
        const std::uint32_t request = ++m_nextRequest;
        m_playerReplies[request].reset(); // only awaited requests take a reply
        FrameCodec::AppendCreatePlayer(c->txPending, request, name);
        WakeLocked(*c);
        m_cond.wait_for(lock, kHandshakeTimeout, [&] {
            return m_playerReplies[request].has_value() || m_sessionLost || m_stop;
        });
        const auto answer = m_playerReplies[request];
        m_playerReplies.erase(request);
        if (!answer)
            return m_sessionLost || m_stop ? DPERR_SESSIONLOST : DPERR_TIMEOUT;
        const auto reply = *answer;
        if (FAILED(reply.result))
            return reply.result;
        id = reply.id;
        if (!m_localPlayers.empty()) // the host counted our first player's place at the join
            ++m_session.currentPlayers;
    }
    m_localPlayers.push_back(id);
    if (m_localPlayers.size() == 1)
        m_firstLocalPlayer = id;
    if (hEvent) {
        m_events.push_back(hEvent);
        if (!m_rxChunks.empty())
            hEvent->Set();
    }
    *lpidPlayer = id;
    return DP_OK;
}

HRESULT SessionService::GetSessionDesc(void* lpData, DWORD* lpdwDataSize)
{
    if (!lpdwDataSize)
        return DPERR_INVALIDPARAMS;
    std::lock_guard lock(m_mutex);
    if (m_role != Role::Host && m_role != Role::Client)
        return DPERR_NOCONNECTION;
    const std::size_t needed = sizeof(DPSESSIONDESC2) + m_session.name.size() + 1 + m_session.password.size() + 1;
    if (!lpData || *lpdwDataSize < needed) {
        *lpdwDataSize = DWORD(needed);
        return DPERR_BUFFERTOOSMALL;
    }
    auto* base = static_cast<char*>(lpData);
    char* name = base + sizeof(DPSESSIONDESC2);
    char* password = name + m_session.name.size() + 1;
    std::memcpy(name, m_session.name.c_str(), m_session.name.size() + 1);
    std::memcpy(password, m_session.password.c_str(), m_session.password.size() + 1);
    DPSESSIONDESC2 d{};
    d.dwSize = sizeof(DPSESSIONDESC2);
    d.dwFlags = m_session.flags;
    d.guidInstance = m_session.instance;
    d.guidApplication = m_session.application;
    d.dwMaxPlayers = m_session.maxPlayers;
    d.dwCurrentPlayers = m_role == Role::Host ? Occupancy() : m_session.currentPlayers;
    d.lpszSessionNameA = name;
    d.lpszPasswordA = password;
    std::memcpy(base, &d, sizeof d);
    *lpdwDataSize = DWORD(needed);
    return DP_OK;
}

// ---- messages ------------------------------------------------------------------------------

void SessionService::WakeLocked(Connection& c, bool lazy)
{
    if (c.wakeQueued)
        return;
    // A streaming connection is looked at every millisecond anyway: a small backlog waits
    // for that instead of costing a system call (and a contended lock) per message.
    if (lazy && c.streaming && c.txPending.size() < kLazyWakeLimit)
        return;
    c.wakeQueued = true;
    Wake();
}

void SessionService::Wake()
{
    if (m_wakeFd >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(m_wakeFd, &one, sizeof one);
    }
}

HRESULT SessionService::SendEx(DPID idFrom, DPID idTo, DWORD, void* lpData, DWORD dwDataSize,
                               DWORD, DWORD, void*, DWORD* lpdwMsgID)
{
    if (!lpData || dwDataSize == 0)
        return DPERR_INVALIDPARAMS;
    if (dwDataSize > FrameCodec::kMaxMessage)
        return DPERR_SENDTOOBIG;

    std::unique_lock lock(m_mutex);
    if (m_sessionLost)
        return DPERR_SESSIONLOST;
    if (m_role != Role::Host && m_role != Role::Client)
        return DPERR_NOCONNECTION;
    if (!IsLocalPlayer(idFrom))
        return DPERR_INVALIDPLAYER;

    if (idTo != DPID_ALLPLAYERS && IsLocalPlayer(idTo)) {
        QueueMessage(idFrom, idTo, lpData, dwDataSize);
        SetEvents();
        if (lpdwMsgID)
            *lpdwMsgID = ++m_nextMessageId;
        return DP_OK;
    }

    // The message goes to every joined peer, or through the one that owns idTo (a client
    // reaches everyone through the host).
    const auto isTarget = [&](const Connection& c) {
        return c.joined && !c.dead && !c.closing
            && (idTo == DPID_ALLPLAYERS || m_role == Role::Client
                || std::find(c.players.begin(), c.players.end(), idTo) != c.players.end());
    };
    if (idTo != DPID_ALLPLAYERS
        && std::none_of(m_connections.begin(), m_connections.end(), [&](const auto& c) { return isTarget(*c); }))
        return DPERR_INVALIDPLAYER;

    const auto roomEverywhere = [&] {
        for (const auto& c : m_connections)
            if (isTarget(*c) && c->txPending.size() >= kTxCap)
                return false;
        return true;
    };
    if (!roomEverywhere())
        m_txRoom.wait(lock, [&] { return m_stop || m_sessionLost || roomEverywhere(); });
    if (m_sessionLost || m_stop)
        return DPERR_SESSIONLOST;
    for (const auto& c : m_connections) {
        if (!isTarget(*c))
            continue;
        FrameCodec::AppendData(c->txPending, idFrom, idTo, lpData, dwDataSize);
        WakeLocked(*c, true);
    }
    if (lpdwMsgID)
        *lpdwMsgID = ++m_nextMessageId;
    return DP_OK;
}

void SessionService::QueueMessage(DPID from, DPID to, const void* data, std::size_t size,
                                  const void* tail, std::size_t tailSize)
{
    RxChunk chunk;
    FrameCodec::AppendData(chunk.bytes, from, to, data, std::uint32_t(size));
    if (tailSize) {
        // Lengthen the frame to take the tail as part of its payload.
        const auto* t = static_cast<const unsigned char*>(tail);
        chunk.bytes.insert(chunk.bytes.end(), t, t + tailSize);
        const std::uint32_t length = std::uint32_t(chunk.bytes.size() - 4);
        std::memcpy(chunk.bytes.data(), &length, 4); // little-endian host
    }
    chunk.end = chunk.bytes.size();
    m_rxQueued += chunk.end;
    m_rxChunks.push_back(std::move(chunk));
    SetEvents();
}

void SessionService::SetEvents()
{
    for (const auto& e : m_events)
        e->Set();
}

void SessionService::QueueSystemCreate(DPID id, const std::string& name)
{
    DPMSG_CREATEPLAYERORGROUP m{};
    m.dwType = DPSYS_CREATEPLAYERORGROUP;
    m.dwPlayerType = DPPLAYERTYPE_PLAYER;
    m.dpId = id;
    m.dwCurrentPlayers = Occupancy();
    m.dpnName.dwSize = DPNAME_SIZE;
    QueueMessage(DPID_SYSMSG, m_localPlayers.empty() ? 0 : m_localPlayers.front(), &m, sizeof m,
                name.c_str(), name.size() + 1);
}

void SessionService::QueueSystemDestroy(DPID id)
{
    DPMSG_DESTROYPLAYERORGROUP m{};
    m.dwType = DPSYS_DESTROYPLAYERORGROUP;
    m.dwPlayerType = DPPLAYERTYPE_PLAYER;
    m.dpId = id;
    m.dpnName.dwSize = DPNAME_SIZE;
    QueueMessage(DPID_SYSMSG, m_localPlayers.empty() ? 0 : m_localPlayers.front(), &m, sizeof m);
}

void SessionService::QueueSessionLost()
{
    DPMSG_SESSIONLOST m{DPSYS_SESSIONLOST};
    QueueMessage(DPID_SYSMSG, m_localPlayers.empty() ? 0 : m_localPlayers.front(), &m, sizeof m);
}

HRESULT SessionService::Receive(DPID* lpidFrom, DPID* lpidTo, DWORD dwFlags, void* lpData,
                                DWORD* lpdwDataSize)
{
    if (!lpidFrom || !lpidTo || !lpdwDataSize)
        return DPERR_INVALIDPARAMS;
    if (dwFlags & (DPRECEIVE_TOPLAYER | DPRECEIVE_FROMPLAYER))
        return DPERR_UNSUPPORTED; // one queue per object, taken in arrival order

    std::lock_guard consumer(m_rxMutex);
    const unsigned char* frame;
    std::uint32_t length;
    for (;;) {
        RxChunk& r = m_rxReading;
        if (r.pos >= r.end) {
            bool resume = false;
            {
                std::lock_guard lock(m_mutex);
                if (r.bytes.size() == kRxBufferSize && m_rxPool.size() < kRxPoolSize)
                    m_rxPool.push_back(std::move(r.bytes));
                r = RxChunk{};
                if (m_rxChunks.empty())
                    return DPERR_NOMESSAGES;
                r = std::move(m_rxChunks.front());
                m_rxChunks.pop_front();
                m_rxQueued -= r.end - r.pos;
                if (m_rxPaused && m_rxQueued < kRxCap && m_rxChunks.size() < kMaxRxChunks) {
                    m_rxPaused = false;
                    resume = true;
                }
            }
            if (resume)
                Wake();
        }
        // Frames in the queue were checked when they arrived; only data frames are messages.
        frame = r.bytes.data() + r.pos;
        std::memcpy(&length, frame, 4);
        length = qFromLittleEndian(length);
        if (frame[4] == FrameCodec::Data)
            break;
        r.pos += 4 + std::size_t(length);
    }
    DPID from, to;
    std::memcpy(&from, frame + FrameCodec::kHeader, 4);
    std::memcpy(&to, frame + FrameCodec::kHeader + 4, 4);
    from = qFromLittleEndian(from);
    to = qFromLittleEndian(to);
    if (to == DPID_ALLPLAYERS)
        to = m_firstLocalPlayer;
    const std::uint32_t size = length - 1 - FrameCodec::kDataHeader;
    if (!lpData || *lpdwDataSize < size) {
        *lpdwDataSize = size;
        return DPERR_BUFFERTOOSMALL;
    }
    std::memcpy(lpData, frame + FrameCodec::kHeader + FrameCodec::kDataHeader, size);
    *lpdwDataSize = size;
    *lpidFrom = from;
    *lpidTo = to;
    if (from == DPID_SYSMSG && size > sizeof(DPMSG_CREATEPLAYERORGROUP)) {
        DWORD type;
        std::memcpy(&type, lpData, 4);
        if (type == DPSYS_CREATEPLAYERORGROUP) {
            // The name follows the structure; point at it inside the caller's buffer.
            char* name = static_cast<char*>(lpData) + sizeof(DPMSG_CREATEPLAYERORGROUP);
            std::memcpy(static_cast<char*>(lpData) + offsetof(DPMSG_CREATEPLAYERORGROUP, dpnName)
                            + offsetof(DPNAME, lpszShortNameA),
                        &name, sizeof name);
        }
    }
    if (!(dwFlags & DPRECEIVE_PEEK))
        m_rxReading.pos += 4 + std::size_t(length);
    return DP_OK;
}

// ---- network thread ------------------------------------------------------------------------

bool SessionService::ServiceWrites(Connection& c)
{
    // While this thread still has bytes of the connection to write, it comes back for what
    // is queued meanwhile: senders need not wake it (wakeQueued stays set), which saves a
    // system call per message when the writer keeps up.
    for (int round = 0; round < 8; ++round) {
        if (c.txPos == c.txWriting.size()) {
            {
                std::lock_guard lock(m_mutex);
                if (c.txPending.empty()) {
                    c.wakeQueued = false;
                    if (Clock::now() - c.lastSent > kStreamingIdle)
                        c.streaming = false;
                    return true;
                }
                c.txWriting.clear();
                c.txPos = 0;
                std::swap(c.txWriting, c.txPending);
                c.streaming = true;
            }
            m_txRoom.notify_all();
        }
        const ssize_t n = ::send(c.fd, c.txWriting.data() + c.txPos, c.txWriting.size() - c.txPos,
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            c.txPos += std::size_t(n);
            c.lastSent = Clock::now();
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return true;
        return false;
    }
    // Out of rounds with everything written: come straight back for what is queued.
    if (c.txPos == c.txWriting.size())
        Wake();
    return true;
}

bool SessionService::ServiceReads(Connection& c)
{
    // Read what the socket holds (a few calls at most) so that each buffer handed to the
    // receive queue is well filled.
    bool got = false;
    for (int i = 0; i < 4 && c.rx.size() - c.rxEnd >= 64 * 1024; ++i) {
        const ssize_t n = ::recv(c.fd, c.rx.data() + c.rxEnd, std::min(kReadChunk, c.rx.size() - c.rxEnd), MSG_DONTWAIT);
        if (n == 0) {
            if (got)
                ParseBuffered(c); // what came before the end is still delivered
            return false;
        }
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                return false;
            break;
        }
        c.rxEnd += std::size_t(n);
        got = true;
    }
    if (!got)
        return true;
    c.lastHeard = Clock::now();
    return ParseBuffered(c);
}

// Handles every whole frame in the connection's buffer under one lock; data frames stay in
// the buffer, which goes to the receive queue as it is.
bool SessionService::ParseBuffered(Connection& c)
{
    std::size_t pos = 0;
    bool ok = true;
    bool hasData = false;
    {
        std::lock_guard lock(m_mutex);
        while (ok) {
            FrameCodec::View v;
            std::size_t consumed = 0;
            const auto status = FrameCodec::Next(c.rx.data() + pos, c.rxEnd - pos, v, consumed);
            if (status == FrameCodec::Status::NeedMore)
                break;
            if (status == FrameCodec::Status::Malformed) {
                ok = false;
                break;
            }
            if (v.type == FrameCodec::Data && !c.closing) {
                ok = CheckDataLocked(c, v);
                if (ok) {
                    hasData = true;
                    pos += consumed;
                }
                continue;
            }
            if (v.type != FrameCodec::Ping && hasData) {
                // Messages this frame makes must come after the data before it.
                HandOverLocked(c, pos);
                pos = 0;
                hasData = false;
                continue;
            }
            ok = HandleFrame(c, v);
            pos += consumed;
        }
        if (hasData) {
            HandOverLocked(c, pos);
            pos = 0;
        }
    }
    m_cond.notify_all();
    if (pos) {
        std::memmove(c.rx.data(), c.rx.data() + pos, c.rxEnd - pos);
        c.rxEnd -= pos;
    }
    return ok;
}

void SessionService::HandOverLocked(Connection& c, std::size_t validBytes)
{
    // A little data joins the last queued buffer when it has room, so that a trickle does not
    // fill the queue with nearly empty buffers.
    if (validBytes <= kSmallHandOver && !m_rxChunks.empty()) {
        RxChunk& back = m_rxChunks.back();
        if (back.bytes.size() - back.end >= validBytes) {
            std::memcpy(back.bytes.data() + back.end, c.rx.data(), validBytes);
            back.end += validBytes;
            m_rxQueued += validBytes;
            std::memmove(c.rx.data(), c.rx.data() + validBytes, c.rxEnd - validBytes);
            c.rxEnd -= validBytes;
            SetEvents();
            if (m_rxQueued >= kRxCap)
                m_rxPaused = true;
            return;
        }
    }
    Buffer next;
    if (!m_rxPool.empty()) {
        next = std::move(m_rxPool.back());
        m_rxPool.pop_back();
    } else {
        next.resize(kRxBufferSize);
    }
    std::memcpy(next.data(), c.rx.data() + validBytes, c.rxEnd - validBytes);
    m_rxChunks.push_back(RxChunk{std::move(c.rx), 0, validBytes});
    m_rxQueued += validBytes;
    c.rx = std::move(next);
    c.rxEnd -= validBytes;
    SetEvents();
    if (m_rxQueued >= kRxCap || m_rxChunks.size() >= kMaxRxChunks)
        m_rxPaused = true;
}

// A data frame may come only from a joined peer, and only from that peer's own players.
bool SessionService::CheckDataLocked(const Connection& c, const FrameCodec::View& v) const
{
    if (!c.joined)
        return false;
    const DPID from = FrameCodec::DataFrom(v);
    if (from == DPID_SYSMSG)
        return false;
    if (m_role == Role::Host)
        return std::find(c.players.begin(), c.players.end(), from) != c.players.end();
    return true;
}

// Runs with m_mutex held. False: the peer broke the protocol and the connection ends.
bool SessionService::HandleFrame(Connection& c, const FrameCodec::View& v)
{
    if (c.closing)
        return true; // refused; only waiting for the refusal to go out
    if (m_role == Role::Host) {
        if (!c.joined) {
            const auto instance = FrameCodec::DecodeJoin(v);
            if (!instance)
                return false;
            if (*instance != m_session.instance) {
                FrameCodec::AppendRefused(c.txPending, DPERR_NOSESSIONS);
                c.closing = true;
            } else if (m_session.maxPlayers != 0 && Occupancy() >= m_session.maxPlayers) {
                FrameCodec::AppendRefused(c.txPending, DPERR_ACCESSDENIED);
                c.closing = true;
            } else {
                c.joined = true;
                FrameCodec::JoinedInfo info;
                info.instance = m_session.instance;
                info.application = m_session.application;
                info.flags = m_session.flags;
                info.maxPlayers = m_session.maxPlayers;
                info.currentPlayers = Occupancy();
                info.name = m_session.name;
                FrameCodec::AppendJoined(c.txPending, info);
            }
            return true;
        }
        switch (v.type) {
        case FrameCodec::CreatePlayer: {
            const auto request = FrameCodec::DecodeCreatePlayer(v);
            if (!request)
                return false;
            FrameCodec::PlayerCreatedInfo reply;
            reply.request = request->request;
            // The connection already holds one place; a further player needs another.
            if (c.players.size() >= kMaxPlayersPerPeer
                || (!c.players.empty() && m_session.maxPlayers != 0 && Occupancy() >= m_session.maxPlayers)) {
                reply.result = DPERR_CANTCREATEPLAYER;
            } else {
                reply.id = NextPlayerId();
                c.players.push_back(reply.id);
                QueueSystemCreate(reply.id, request->name);
            }
            FrameCodec::AppendPlayerCreated(c.txPending, reply);
            return true;
        }
        case FrameCodec::Ping:
            return true;
        default:
            return false;
        }
    }
    switch (v.type) {
    case FrameCodec::PlayerCreated: {
        const auto reply = FrameCodec::DecodePlayerCreated(v);
        if (!reply)
            return false;
        const auto awaited = m_playerReplies.find(reply->request);
        if (awaited == m_playerReplies.end() || awaited->second)
            return false; // nobody asked for this
        awaited->second = *reply;
        return true;
    }
    case FrameCodec::Ping:
        return true;
    default:
        return false;
    }
}

void SessionService::DropConnection(const std::shared_ptr<Connection>& c)
{
    {
        std::lock_guard lock(m_mutex);
        c->dead = true;
        m_connections.erase(std::remove(m_connections.begin(), m_connections.end(), c), m_connections.end());
        if (m_role == Role::Host) {
            for (DPID id : c->players)
                QueueSystemDestroy(id);
            if (!c->players.empty())
                SetEvents();
        } else if (m_role == Role::Client && !m_sessionLost && !m_stop) {
            m_sessionLost = true;
            QueueSessionLost();
            SetEvents();
        }
    }
    CloseFd(c->fd);
    m_cond.notify_all();
    m_txRoom.notify_all();
}

void SessionService::NetworkLoop()
{
    std::vector<pollfd> fds;
    std::vector<std::shared_ptr<Connection>> conns;
    while (!m_stop) {
        bool paused, keepAlive, enumDue, enumerating;
        int discoveryFd, listenFd;
        const auto now = Clock::now();
        {
            std::lock_guard lock(m_mutex);
            conns = m_connections;
            discoveryFd = m_discoveryFd;
            listenFd = m_listenFd;
            paused = m_rxPaused;
            keepAlive = (m_session.flags & DPSESSION_KEEPALIVE) != 0;
            enumerating = m_enumActive || now < m_enumSyncUntil;
            enumDue = enumerating && now - m_lastEnumRequest >= kEnumPeriod;
        }
        if (enumDue)
            SendDiscoveryRequests();

        for (const auto& c : conns) {
            if (c->rx.empty())
                c->rx.resize(kRxBufferSize);
            if (paused || c->lastHeard == Clock::time_point{})
                c->lastHeard = now; // a reader that is not reading cannot judge its peer
            if (c->parsePending) {
                c->parsePending = false;
                if (!ParseBuffered(*c)) {
                    DropConnection(c);
                    continue;
                }
            }
            const bool lost = !ServiceWrites(*c)
                || (c->joined && keepAlive && now - c->lastHeard > kDeadAfter)
                || (!c->joined && now - c->opened > kHandshakeTimeout);
            bool refusedDone = false;
            if (!lost && c->closing && c->txPos == c->txWriting.size()) {
                std::lock_guard lock(m_mutex);
                refusedDone = c->txPending.empty();
            }
            if (lost || refusedDone) {
                DropConnection(c);
                continue;
            }
            if (c->joined && keepAlive && now - c->lastSent >= kPingAfter && c->txPos == c->txWriting.size()) {
                std::lock_guard lock(m_mutex);
                if (c->txPending.empty()) {
                    FrameCodec::AppendPing(c->txPending);
                    WakeLocked(*c);
                }
            }
        }
        bool streaming = false;
        {
            std::lock_guard lock(m_mutex);
            conns = m_connections;
            for (const auto& c : conns)
                streaming = streaming || c->streaming;
        }

        fds.clear();
        fds.push_back({m_wakeFd, POLLIN, 0});
        fds.push_back({m_enumFd, POLLIN, 0});
        fds.push_back({discoveryFd, POLLIN, 0});
        fds.push_back({listenFd, POLLIN, 0});
        for (const auto& c : conns) {
            short events = paused ? 0 : POLLIN;
            if (c->txPos < c->txWriting.size())
                events |= POLLOUT;
            fds.push_back({c->fd, events, 0});
        }
        // Timers only need this much precision; an idle object wakes once a second.
        const int timeout = streaming ? 1 : enumerating ? 50 : !conns.empty() ? 250 : 1000;
        if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR)
            break;

        if (fds[0].revents & POLLIN) {
            std::uint64_t v;
            [[maybe_unused]] const auto n = ::read(m_wakeFd, &v, sizeof v);
        }
        if (fds[1].revents & POLLIN)
            HandleDiscoveryReplies();
        if (discoveryFd >= 0 && (fds[2].revents & POLLIN))
            HandleDiscoveryRequests();
        if (listenFd >= 0 && (fds[3].revents & POLLIN)) {
            for (int i = 0; i < 8; ++i) {
                const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd < 0)
                    break;
                std::lock_guard lock(m_mutex);
                if (m_connections.size() >= kMaxConnections) {
                    ::close(fd);
                    continue;
                }
                const int one = 1;
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                auto c = std::make_shared<Connection>();
                c->fd = fd;
                c->opened = c->lastHeard = c->lastSent = Clock::now();
                m_connections.push_back(c);
            }
        }
        for (std::size_t i = 0; i < conns.size(); ++i) {
            const auto& c = conns[i];
            const short re = fds[4 + i].revents;
            if (c->dead || !re)
                continue;
            bool ok = true;
            if (re & (POLLIN | POLLHUP | POLLERR))
                ok = ServiceReads(*c);
            if (ok && (re & POLLOUT))
                ok = ServiceWrites(*c);
            if (!ok)
                DropConnection(c);
        }
    }
    std::vector<std::shared_ptr<Connection>> remaining;
    {
        std::lock_guard lock(m_mutex);
        remaining = m_connections;
    }
    Linger(remaining);
}

// On release: send what is still queued, then close our side and wait for the peer to close
// its own, so that nothing in flight is cut off by a reset.
void SessionService::Linger(const std::vector<std::shared_ptr<Connection>>& conns)
{
    std::vector<std::shared_ptr<Connection>> open;
    for (const auto& c : conns)
        if (c->joined && c->fd >= 0)
            open.push_back(c);
    auto lastProgress = Clock::now();
    std::vector<pollfd> fds;
    while (!open.empty()) {
        bool allSent = true;
        for (const auto& c : open) {
            const std::size_t before = c->txPos;
            if (!ServiceWrites(*c)) {
                CloseFd(c->fd);
                continue;
            }
            if (c->txPos != before)
                lastProgress = Clock::now();
            std::lock_guard lock(m_mutex);
            if (c->txPos < c->txWriting.size() || !c->txPending.empty())
                allSent = false;
        }
        open.erase(std::remove_if(open.begin(), open.end(), [](const auto& c) { return c->fd < 0; }), open.end());
        if (allSent || Clock::now() - lastProgress > kLingerNoProgress)
            break;
        fds.clear();
        for (const auto& c : open)
            fds.push_back({c->fd, POLLOUT, 0});
        ::poll(fds.data(), fds.size(), 100);
    }
    // Wait for the peer's close while it still takes our data (the unacknowledged bytes shrink);
    // a peer that takes nothing for kLingerClose is given up.
    auto deadline = Clock::now() + kLingerClose;
    std::vector<int> unacked(open.size(), -1);
    for (const auto& c : open)
        ::shutdown(c->fd, SHUT_WR);
    unsigned char sink[64 * 1024];
    while (!open.empty() && Clock::now() < deadline) {
        fds.clear();
        for (const auto& c : open)
            fds.push_back({c->fd, POLLIN, 0});
        ::poll(fds.data(), fds.size(), 100);
        for (std::size_t i = 0; i < open.size(); ++i) {
            auto& c = open[i];
            int outq = 0;
            if (ioctl(c->fd, SIOCOUTQ, &outq) == 0 && outq != unacked[i]) {
                if (unacked[i] >= 0)
                    deadline = Clock::now() + kLingerClose;
                unacked[i] = outq;
            }
            const ssize_t n = ::recv(c->fd, sink, sizeof sink, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                CloseFd(c->fd);
        }
        for (std::size_t i = open.size(); i-- > 0;) {
            if (open[i]->fd < 0) {
                open.erase(open.begin() + std::ptrdiff_t(i));
                unacked.erase(unacked.begin() + std::ptrdiff_t(i));
            }
        }
    }
}
