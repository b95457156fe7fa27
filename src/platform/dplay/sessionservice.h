#pragma once

#include "platform/dplay/dplay.h"
#include "platform/dplay/framecodec.h"

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// The session object of the TCP/IP provider: UDP discovery, one TCP connection per joined
// peer, and a network thread that does all socket work in batches (see dplay.h for the API).
//
// Messages are queued in both directions as byte records, so neither SendEx nor Receive
// allocates per message, and both queues are bounded: SendEx waits for room, and the network
// thread stops reading from the socket while the receive queue is full.
class SessionService final : public IDirectPlay4A {
public:
    // Used when FERROWARDEN_DISCOVERY_PORT does not name a port.
    static constexpr std::uint16_t kDefaultDiscoveryPort = 31847;

    SessionService();
    ~SessionService() override;

    HRESULT InitializeConnection(void* lpConnection, DWORD dwFlags) override;
    HRESULT GetCaps(LPDPCAPS lpDPCaps, DWORD dwFlags) override;
    HRESULT EnumSessions(LPDPSESSIONDESC2 lpsd, DWORD dwTimeout,
                         LPDPENUMSESSIONSCALLBACK2 lpEnumSessionsCallback2, void* lpContext,
                         DWORD dwFlags) override;
    HRESULT Open(LPDPSESSIONDESC2 lpsd, DWORD dwFlags) override;
    HRESULT CreatePlayer(DPID* lpidPlayer, LPDPNAME lpPlayerName,
                         std::shared_ptr<AutoResetEvent> hEvent, void* lpData, DWORD dwDataSize,
                         DWORD dwFlags) override;
    HRESULT GetSessionDesc(void* lpData, DWORD* lpdwDataSize) override;
    HRESULT Receive(DPID* lpidFrom, DPID* lpidTo, DWORD dwFlags, void* lpData,
                    DWORD* lpdwDataSize) override;
    HRESULT SendEx(DPID idFrom, DPID idTo, DWORD dwFlags, void* lpData, DWORD dwDataSize,
                   DWORD dwPriority, DWORD dwTimeout, void* lpContext,
                   DWORD* lpdwMsgID) override;

    // The TCP port a hosted session takes players on; 0 when not hosting.
    std::uint16_t HostPort() const;
    // The UDP port this object's discovery uses (valid after InitializeConnection).
    std::uint16_t DiscoveryPort() const;

private:
    using Clock = std::chrono::steady_clock;
    using Buffer = FrameCodec::Buffer;
    enum class Role { None, Joining, Host, Client };

    struct Connection {
        int fd = -1;
        bool joined = false;
        bool closing = false; // refused: close once everything queued is sent
        bool dead = false;
        bool parsePending = false; // bytes that arrived with the join reply
        std::vector<DPID> players; // host side: the peer's players
        // Under m_mutex: what SendEx queued and the network thread has not taken yet.
        Buffer txPending;
        bool wakeQueued = false;
        // While set, the network thread looks at this connection at least every
        // millisecond, so SendEx need not wake it for every small message.
        bool streaming = false;
        // Network thread only.
        Buffer txWriting;
        std::size_t txPos = 0;
        Buffer rx;
        std::size_t rxEnd = 0;
        Clock::time_point opened;
        Clock::time_point lastHeard;
        Clock::time_point lastSent;
    };

    struct FoundSession {
        sockaddr_in address{};
        GUID application = GUID_NULL;
        DWORD flags = 0;
        DWORD maxPlayers = 0;
        DWORD currentPlayers = 0;
        std::string name;
        Clock::time_point lastSeen;
    };

    struct SessionInfo {
        GUID instance = GUID_NULL;
        GUID application = GUID_NULL;
        DWORD flags = 0;
        DWORD maxPlayers = 0;
        DWORD currentPlayers = 0; // client side: as the host last told us
        std::string name;
        std::string password;
    };

    // Network thread.
    void NetworkLoop();
    bool ServiceWrites(Connection& c);
    bool ServiceReads(Connection& c);
    bool ParseBuffered(Connection& c);
    bool HandleFrame(Connection& c, const FrameCodec::View& v);
    void HandleDiscoveryRequests();
    void HandleDiscoveryReplies();
    void DropConnection(const std::shared_ptr<Connection>& c);
    void Linger(const std::vector<std::shared_ptr<Connection>>& conns);

    // Callers hold m_mutex.
    void QueueMessage(DPID from, DPID to, const void* data, std::size_t size,
                      const void* tail = nullptr, std::size_t tailSize = 0);
    void HandOverLocked(Connection& c, std::size_t validBytes);
    bool CheckDataLocked(const Connection& c, const FrameCodec::View& v) const;
    void QueueSystemCreate(DPID id, const std::string& name);
    void QueueSystemDestroy(DPID id);
    void QueueSessionLost();
    void SetEvents();
    void WakeLocked(Connection& c, bool lazy = false);
    DWORD Occupancy() const;
    bool IsLocalPlayer(DPID id) const;
    DPID NextPlayerId();

    void Wake();
    void SendDiscoveryRequests();
    HRESULT HostSession(const DPSESSIONDESC2& desc);
    HRESULT JoinSession(const GUID& instance);

    mutable std::mutex m_mutex;
    std::condition_variable m_cond;   // replies, session state
    std::condition_variable m_txRoom; // send queues drained
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    int m_wakeFd = -1;
    int m_enumFd = -1;      // searcher's UDP socket
    int m_discoveryFd = -1; // host's UDP socket on the discovery port
    int m_listenFd = -1;

    bool m_initialized = false;
    std::uint16_t m_discoveryPort = kDefaultDiscoveryPort; // where a hosted session listens
    std::uint16_t m_requestPort = kDefaultDiscoveryPort;   // where searches ask
    bool m_unicast = false;
    sockaddr_in m_unicastAddress{};

    Role m_role = Role::None;
    bool m_sessionLost = false;
    SessionInfo m_session;
    std::uint16_t m_hostPort = 0;
    std::vector<DPID> m_localPlayers;
    std::vector<std::shared_ptr<AutoResetEvent>> m_events;
    DPID m_nextPlayerId = 0;
    std::uint32_t m_nextRequest = 0;
    std::map<std::uint32_t, std::optional<FrameCodec::PlayerCreatedInfo>> m_playerReplies;
    DWORD m_nextMessageId = 0;
    std::vector<std::shared_ptr<Connection>> m_connections;

    bool m_enumActive = false;
    Clock::time_point m_enumSyncUntil;
    Clock::time_point m_lastEnumRequest;
    GUID m_enumApplication = GUID_NULL;
    bool m_enumIncludeFull = false;
    std::map<std::string, FoundSession> m_found; // by instance GUID bytes
    std::map<std::string, sockaddr_in> m_known;  // every instance ever heard of

    // Receive queue: chunks of frames exactly as they came off the socket (already checked),
    // handed over whole, so a message is copied once more only when Receive takes it.
    // Messages made here (system messages, sends to a local player) are chunks of their own.
    struct RxChunk {
        Buffer bytes;
        std::size_t pos = 0;
        std::size_t end = 0;
    };
    std::deque<RxChunk> m_rxChunks; // under m_mutex
    std::size_t m_rxQueued = 0;     // bytes in m_rxChunks
    std::vector<Buffer> m_rxPool;   // under m_mutex: read buffers to reuse
    bool m_rxPaused = false;        // the network thread stops reading while the queue is full
    std::atomic<DPID> m_firstLocalPlayer{0};
    std::mutex m_rxMutex;           // the consumer's side
    RxChunk m_rxReading;
};
