#pragma once

#include "platform/dplay/dplay.h"
#include "platform/dplay/framecodec.h"
#include "platform/dplay/framerules.h"
#include "platform/dplay/peerconnection.h"
#include "platform/dplay/playerroster.h"
#include "platform/dplay/receivequeue.h"
#include "platform/dplay/sessionrecord.h"
#include "platform/dplay/sessionsearch.h"
#include "platform/dplay/socketutil.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class DiscoveryResponder;
struct DiscoveryMessage;

// The session object of the TCP/IP provider (see dplay.h for the API): the adapter between
// the API and the parts that hold the state, with the network thread that drives them: the
// session (sessionrecord.h) and its players (playerroster.h), the search and its directory
// (sessionsearch.h), the discovery responder of a hosted session, one PeerConnection per
// peer, and the receive queue that Receive takes from. What a host does with each
// connection and frame is in framerules.h.
//
// Threads: every method may be called from any thread. The network thread, started by
// InitializeConnection, does the steady socket work: it writes what SendEx queued, reads and
// checks frames, answers searches, asks again while a search runs, takes new players and
// keeps connections alive. The calls that set something up do their own socket work on the
// caller's thread: InitializeConnection and Open(DPOPEN_CREATE) open sockets, EnumSessions
// sends its first request, and Open(DPOPEN_JOIN) connects and waits for the host's answer.
//
// Locks: m_mutex guards the session, its players and its peers; the search, the directory,
// the receive queue and each connection have their own lock for their own state. m_mutex
// may be held while taking a part's lock, never the other way round.
class SessionService final : public IDirectPlay4A {
public:
    // Used when FERROWARDEN_DISCOVERY_PORT does not name a port.
    static constexpr std::uint16_t kDefaultDiscoveryPort = 31847;

    SessionService();
    ~SessionService() override;

    HRESULT InitializeConnection(void* lpConnection, DWORD dwFlags) override;
    HRESULT GetCaps(LPDPCAPS lpDPCaps, DWORD dwFlags) override;
    HRESULT EnumSessions(LPDPSESSIONDESC2 lpsd, DWORD dwTimeout, LPDPENUMSESSIONSCALLBACK2 lpEnumSessionsCallback2,
                         void* lpContext, DWORD dwFlags) override;
    HRESULT Open(LPDPSESSIONDESC2 lpsd, DWORD dwFlags) override;
    HRESULT CreatePlayer(DPID* lpidPlayer, LPDPNAME lpPlayerName, std::shared_ptr<AutoResetEvent> hEvent, void* lpData,
                         DWORD dwDataSize, DWORD dwFlags) override;
    HRESULT GetSessionDesc(void* lpData, DWORD* lpdwDataSize) override;
    HRESULT Receive(DPID* lpidFrom, DPID* lpidTo, DWORD dwFlags, void* lpData, DWORD* lpdwDataSize) override;
    // Hands over the receive queue's buffers themselves: no message is copied.
    HRESULT ReceiveBatch(ReceivedMessages& batch, std::size_t maxMessages, std::size_t maxBytes) override;
    HRESULT SendEx(DPID idFrom, DPID idTo, DWORD dwFlags, void* lpData, DWORD dwDataSize, DWORD dwPriority,
                   DWORD dwTimeout, void* lpContext, DWORD* lpdwMsgID) override;
    HRESULT ReserveSend(DPID idFrom, DPID idTo, DWORD size, DWORD count, std::uint8_t** base,
                        std::size_t* stride) override;
    HRESULT SendReserved() override;
    void CancelReserved() override;
    HRESULT Close() override;
    HRESULT DropPlayer(DPID id) override;

    // The discovery port: FERROWARDEN_DISCOVERY_PORT when it names one (decimal, 1 to 65535),
    // kDefaultDiscoveryPort when it is not set, and nullopt when it is set to anything else;
    // InitializeConnection then fails with DPERR_INVALIDPARAMS rather than guess.
    static std::optional<std::uint16_t> DiscoveryPortFromEnvironment();

    // The TCP port a hosted session takes players on; 0 when not hosting.
    std::uint16_t HostPort() const;
    // The UDP port this object's discovery uses (valid after InitializeConnection).
    std::uint16_t DiscoveryPort() const;
    // What the current (or last) search asked and heard, to tell why it found nothing.
    SearchReport LastSearch() const { return m_search.Report(); }
    // Host side: "address:port" of the connection a remote player came in on, known still
    // after it left (for the latest PlayerRoster::kMaxAddresses players); empty when unknown.
    std::string PlayerAddress(DPID player) const;

private:
    using Clock = std::chrono::steady_clock;
    enum class Role { None, Joining, Host, Client };

    // A peer as the session sees it: its connection, and whether it joined (its players are
    // in the roster, by `number`).
    struct Peer {
        Peer(std::uint64_t number, int fd, const WakeupFd& wakeup, ReadBuffer received = {})
            : number(number), link(fd, wakeup, std::move(received)), address(PeerAddress(fd))
        {
        }
        const std::uint64_t number; // this object's own count of connections
        PeerConnection link;
        const std::uint32_t address; // IPv4, network order
        // Under m_mutex; written on the network thread only.
        bool joined = false;
        bool closing = false; // refused: close once everything queued is sent
        bool dropped = false; // its player was dropped by the host: reset, not closed in order
        bool dead = false;
        Clock::time_point joinedAt;
        // Network thread: bytes that arrived with the join reply wait to be parsed.
        bool parsePending = false;
    };

    HRESULT HostSession(const DPSESSIONDESC2& desc);
    HRESULT JoinSession(const GUID& instance);
    std::optional<DiscoveryMessage> Advert() const;

    // A system message that names a player gets its name pointer set to the name after it.
    static void PointAtName(void* message, DWORD size);

    // Network thread.
    void NetworkLoop();
    void KeepUp(const std::shared_ptr<Peer>& p, Clock::time_point now, bool paused, bool keepAlive, bool host);
    void ServiceSocket(const std::shared_ptr<Peer>& p, short revents);
    void AcceptPeers(int listenFd);
    const char* ParseReceived(Peer& p);
    void DropPeer(const std::shared_ptr<Peer>& p, const char* why);
    // Whether the peer carries a player yet; takes m_mutex.
    bool CarriesPlayer(const Peer& p) const;

    // Callers hold m_mutex.
    const char* HandleFrameLocked(Peer& p, const FrameCodec::View& v, FrameRules::Step step);
    const char* CheckDataLocked(const Peer& p, const FrameCodec::View& v) const;
    void QueueSystemCreate(DPID id, const std::string& name);
    void QueueSystemDestroy(DPID id);
    void QueueSessionLost();
    DWORD Occupancy() const;
    // Whether a message to `to` goes through the connection of `p`: a joined peer that is
    // not going away, and (on the host) one that carries `to`.
    bool CarriesLocked(const Peer& p, DPID to) const;
    // DP_OK when the local player `from` may send now; else why not.
    HRESULT CanSendLocked(DPID from) const;

    // Declared first: the parts below hold references to it.
    WakeupFd m_wakeup;
    ReceiveQueue m_received;
    SessionSearch m_search;

    mutable std::mutex m_mutex;
    std::condition_variable m_cond; // player replies, a synchronous search's wait
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::unique_ptr<DiscoveryResponder> m_responder; // while hosting
    int m_listenFd = -1;

    bool m_initialized = false;
    std::uint16_t m_discoveryPort = kDefaultDiscoveryPort; // where a hosted session listens

    Role m_role = Role::None;
    std::atomic<bool> m_sessionLost{false}; // written under m_mutex
    SessionRecord m_session;
    std::uint16_t m_hostPort = 0;
    PlayerRoster m_players;
    std::atomic<DWORD> m_nextMessageId{0};
    std::vector<std::shared_ptr<Peer>> m_peers;
    std::atomic<std::uint64_t> m_peerCount{0}; // numbers the peers
    // Set when the network thread ends: whether every peer took all that was sent to it.
    std::atomic<bool> m_delivered{true};
    // The peer whose queue holds the open reservation; the reserving thread only.
    std::shared_ptr<Peer> m_reservedFor;
};
