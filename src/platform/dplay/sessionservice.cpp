// The session service's operations, as callers make them: set-up, search, hosting, joining
// and players. What players send and receive is in sessionmessages.cpp, the network
// thread's side in sessionloop.cpp.

#include "platform/dplay/sessionservice.h"

#include "platform/dplay/discoverymessage.h"
#include "platform/dplay/discoveryresponder.h"
#include "platform/dplay/dplaylobby.h"
#include "platform/dplay/joinhandshake.h"
#include "platform/logging.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <random>
#include <utility>

using namespace std::chrono_literals;

namespace {

// A search spreads six polls over this time.
constexpr DWORD kSearchTimeoutMs = 1000;
// A player must be answered within this time.
constexpr auto kPlayerTimeout = 5000ms;

GUID RandomGuid()
{
    std::random_device rd;
    GUID g;
    std::uint32_t words[4] = {rd(), rd(), rd(), rd()};
    std::memcpy(&g, words, sizeof g);
    return g;
}

bool DescSizeOk(const DPSESSIONDESC2* d)
{
    return d && (d->dwSize == DPSESSIONDESC2_SIZE || d->dwSize == sizeof(DPSESSIONDESC2));
}

} // namespace

SessionService::SessionService() : m_received([this] { m_wakeup.Wake(); }), m_search(m_wakeup) {}

std::optional<std::uint16_t> SessionService::DiscoveryPortFromEnvironment()
{
    const char* text = std::getenv("FERROWARDEN_DISCOVERY_PORT");
    if (!text)
        return kDefaultDiscoveryPort;
    char* end = nullptr;
    errno = 0;
    const long port = std::strtol(text, &end, 10);
    // Digits only: no sign, no blanks, nothing after them.
    if (!std::isdigit(static_cast<unsigned char>(*text)) || *end != '\0' || errno != 0 || port < 1 || port > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(port);
}

SessionService::~SessionService()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_cond.notify_all();
    m_wakeup.Wake();
    if (m_thread.joinable())
        m_thread.join();
    CloseFd(m_listenFd);
}

HRESULT SessionService::DropPlayer(DPID id)
{
    {
        std::lock_guard lock(m_mutex);
        const auto carrier = m_players.Carrier(id);
        const auto holder = std::find_if(m_peers.begin(), m_peers.end(),
                                         [&](const std::shared_ptr<Peer>& p) { return p->number == carrier; });
        if (m_role != Role::Host || holder == m_peers.end())
            return DPERR_INVALIDPLAYER;
        (*holder)->closing = true;
        (*holder)->dropped = true;
    }
    m_wakeup.Wake();
    return DP_OK;
}

HRESULT SessionService::Close()
{
    {
        std::lock_guard lock(m_mutex);
        if (!m_initialized)
            return DP_OK;
        m_stop = true;
    }
    m_cond.notify_all();
    m_wakeup.Wake();
    // The network thread sends what is queued, closes and waits for the peers' close.
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id())
        m_thread.join();
    if (m_sessionLost || !m_delivered)
        return DPERR_SESSIONLOST;
    return DP_OK;
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

std::string SessionService::PlayerAddress(DPID player) const
{
    std::lock_guard lock(m_mutex);
    return m_players.Address(player);
}

// ---- set-up ------------------------------------------------------------------------------

HRESULT SessionService::InitializeConnection(void* lpConnection, DWORD dwFlags)
{
    if (!lpConnection || dwFlags != 0)
        return DPERR_INVALIDPARAMS;
    const auto address = ReadProviderAddress(lpConnection);
    if (!address || !address->provider)
        return DPERR_INVALIDPARAMS;
    if (*address->provider != DPSPGUID_TCPIP)
        return DPERR_UNAVAILABLE; // Linux has no IPX

    std::lock_guard lock(m_mutex);
    if (m_initialized)
        return DPERR_ALREADYINITIALIZED;
    const auto discoveryPort = DiscoveryPortFromEnvironment();
    if (!discoveryPort) {
        qCDebug(lcDplay, "FERROWARDEN_DISCOVERY_PORT names no port from 1 to 65535");
        return DPERR_INVALIDPARAMS;
    }
    m_discoveryPort = *discoveryPort;
    // A port in the address is where the other side's discovery listens.
    const std::uint16_t requestPort = address->port ? address->port : m_discoveryPort;
    std::optional<sockaddr_in> host;
    if (!address->host.empty()) {
        host = ResolveIPv4(address->host, requestPort);
        if (!host)
            return DPERR_INVALIDPARAMS;
    }
    if (!m_wakeup.IsValid() || !m_search.Open(requestPort, host))
        return DPERR_GENERIC;
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
    lpDPCaps->dwMaxQueueSize = PeerConnection::kSendCap;
    lpDPCaps->dwMaxPlayers = 65535;
    lpDPCaps->dwHundredBaud = 0;
    lpDPCaps->dwLatency = 1;
    lpDPCaps->dwMaxLocalPlayers = 65535;
    lpDPCaps->dwHeaderLength = FrameCodec::kHeader + FrameCodec::kDataHeader;
    lpDPCaps->dwTimeout = kSearchTimeoutMs;
    return DP_OK;
}

HRESULT SessionService::EnumSessions(LPDPSESSIONDESC2 lpsd, DWORD dwTimeout, LPDPENUMSESSIONSCALLBACK2 callback,
                                     void* context, DWORD dwFlags)
{
    if (!DescSizeOk(lpsd))
        return DPERR_INVALIDPARAMS;
    {
        std::lock_guard lock(m_mutex);
        if (!m_initialized)
            return DPERR_UNINITIALIZED;
    }
    if (dwFlags & DPENUMSESSIONS_STOPASYNC) {
        m_search.StopAsync();
        return DP_OK;
    }
    if (!callback)
        return DPERR_INVALIDPARAMS;

    auto listed =
        m_search.Poll(lpsd->guidApplication, (dwFlags & DPENUMSESSIONS_ALL) != 0, (dwFlags & DPENUMSESSIONS_ASYNC) != 0,
                      std::chrono::milliseconds(dwTimeout ? dwTimeout : kSearchTimeoutMs));
    DWORD timeout = kSearchTimeoutMs;
    for (auto& l : listed) {
        const DPSESSIONDESC2 d = l.Description(l.name.data(), nullptr);
        if (!callback(&d, &timeout, 0, context))
            return DP_OK;
    }
    callback(nullptr, &timeout, DPESC_TIMEDOUT, context);
    return DP_OK;
}

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
    std::uint16_t tcpPort = 0;
    int listenFd = ListenTcp(tcpPort);
    auto responder = std::make_unique<DiscoveryResponder>([this] { return Advert(); });
    if (listenFd < 0 || !responder->Bind(DiscoveryPort())) {
        CloseFd(listenFd);
        return DPERR_CANTCREATESESSION;
    }
    {
        std::lock_guard lock(m_mutex);
        m_session = SessionRecord::FromDescription(desc);
        m_session.instance = RandomGuid();
        m_hostPort = tcpPort;
        m_listenFd = listenFd;
        m_responder = std::move(responder);
        std::random_device rd;
        m_players.StartIds(0x10000 + (rd() & 0x00FFFFFF));
        m_role = Role::Host;
    }
    m_wakeup.Wake();
    return DP_OK;
}

std::optional<DiscoveryMessage> SessionService::Advert() const
{
    std::lock_guard lock(m_mutex);
    if (m_role != Role::Host)
        return std::nullopt;
    DiscoveryMessage reply = m_session.Advert(m_hostPort);
    reply.currentPlayers = Occupancy();
    return reply;
}

HRESULT SessionService::JoinSession(const GUID& instance)
{
    const auto address = m_search.Directory().Address(instance);
    if (!address)
        return DPERR_NOSESSIONS;
    ReadBuffer received = ReceiveQueue::NewReadBuffer();
    auto joined = JoinHost(*address, instance, received, PeerConnection::kJoinTimeout);
    if (FAILED(joined.result))
        return joined.result;
    auto peer = std::make_shared<Peer>(++m_peerCount, joined.fd, m_wakeup, std::move(received));
    peer->joined = true;
    peer->parsePending = peer->link.Received().end > 0;
    {
        std::lock_guard lock(m_mutex);
        if (m_stop)
            return DPERR_NOCONNECTION;
        m_session = SessionRecord::FromJoined(joined.session);
        m_session.user = m_search.Directory().UserFields(instance);
        m_peers.push_back(peer);
        m_role = Role::Client;
    }
    m_wakeup.Wake();
    return DP_OK;
}

// ---- players -------------------------------------------------------------------------------

DWORD SessionService::Occupancy() const
{
    std::size_t n = m_players.LocalCount();
    for (const auto& p : m_peers)
        if (p->joined && !p->dead)
            n += std::max<std::size_t>(1, m_players.RemoteOf(p->number).size());
    return DWORD(n);
}

HRESULT SessionService::CanSendLocked(DPID from) const
{
    if (m_sessionLost)
        return DPERR_SESSIONLOST;
    if (m_role != Role::Host && m_role != Role::Client)
        return DPERR_NOCONNECTION;
    if (!m_players.IsLocal(from))
        return DPERR_INVALIDPLAYER;
    return DP_OK;
}

bool SessionService::CarriesLocked(const Peer& p, DPID to) const
{
    return p.joined && !p.dead && !p.closing
           && (to == DPID_ALLPLAYERS || m_role == Role::Client || m_players.Carrier(to) == p.number);
}

HRESULT SessionService::CreatePlayer(DPID* lpidPlayer, LPDPNAME lpPlayerName, std::shared_ptr<AutoResetEvent> hEvent,
                                     void*, DWORD, DWORD)
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
        if (FrameRules::Full(Occupancy(), m_session.maxPlayers))
            return DPERR_CANTCREATEPLAYER;
        id = m_players.NextId();
    } else {
        if (m_peers.empty())
            return DPERR_SESSIONLOST;
        const std::uint32_t request = m_players.Ask();
        FrameCodec::Buffer frame;
        FrameCodec::AppendCreatePlayer(frame, request, name);
        m_peers.front()->link.QueueFrames(frame, true);
        m_cond.wait_for(lock, kPlayerTimeout,
                        [&] { return m_players.Reply(request).has_value() || m_sessionLost || m_stop; });
        const auto answer = m_players.Reply(request);
        m_players.Forget(request);
        if (!answer)
            return m_sessionLost || m_stop ? DPERR_SESSIONLOST : DPERR_TIMEOUT;
        if (FAILED(answer->result))
            return answer->result;
        id = answer->id;
        if (m_players.HasLocal()) // the host counted our first player's place at the join
            ++m_session.currentPlayers;
    }
    m_players.AddLocal(id);
    if (hEvent)
        m_received.AddListener(std::move(hEvent));
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
    DPSESSIONDESC2 d = m_session.Description(name, password);
    if (m_role == Role::Host)
        d.dwCurrentPlayers = Occupancy();
    std::memcpy(base, &d, sizeof d);
    *lpdwDataSize = DWORD(needed);
    return DP_OK;
}
