#pragma once

// A session peer of our own, written from docs/session-protocol.md rather than from the
// program's code, that can say anything: the hostile client of the end-to-end tests. Plain
// blocking sockets with deadlines; every call returns instead of hanging.

#include <QByteArray>

#include <cstdint>
#include <optional>

namespace rawsession {

// The application GUID every Ferrowarden session carries, as its 16 wire bytes.
QByteArray ApplicationGuid();

// Session discovery (UDP).
QByteArray DiscoveryRequest(const QByteArray& application, std::uint32_t flags = 0);
struct Reply {
    QByteArray instance;
    std::uint16_t tcpPort = 0;
    QByteArray name;
};
// Asks 127.0.0.1 at `port` until a host answers or `timeoutMs` passes.
std::optional<Reply> Discover(std::uint16_t port, int timeoutMs = 3000);
// Sends one datagram to 127.0.0.1 at `port`.
void SendDatagram(std::uint16_t port, const QByteArray& bytes);

// Session frames (TCP): length u32 (type and body), type u8, body.
enum FrameType : std::uint8_t {
    Join = 1,
    Joined = 2,
    Refused = 3,
    CreatePlayer = 4,
    PlayerCreated = 5,
    Data = 6,
    Ping = 7
};
QByteArray Frame(std::uint8_t type, const QByteArray& body);
QByteArray JoinFrame(const QByteArray& instance);
QByteArray CreatePlayerFrame(std::uint32_t request, const QByteArray& name);
QByteArray DataFrame(std::uint32_t from, std::uint32_t to, const QByteArray& message);

// Transfer messages (src/transfer/messages.h), built byte by byte so that any field can
// hold any value.
QByteArray SessionDataMessage(std::int32_t files, std::int32_t totalSize, std::int16_t blockSize,
                              bool encrypted = false, std::uint16_t key = 0);
// `nameField` fills the 256-byte name field from its start (cut to 256 bytes).
QByteArray FileHeaderMessage(const QByteArray& nameField, std::int32_t size, std::int32_t number);
// `valid` bytes go into the data area; `count` and `checksum` are written as given, the
// checksum by default the true one of the first `count` bytes (at most 2048).
QByteArray DataPacketMessage(const QByteArray& valid, std::int32_t count,
                             std::optional<std::uint32_t> checksum = std::nullopt);

// The extension's messages (docs/transfer-extension.md), byte by byte.
QByteArray CopyStartMessage(std::uint32_t files, std::uint32_t folders, std::uint64_t totalSize,
                            std::int16_t blockSize = 2048);
QByteArray FileEntryMessage(std::uint32_t entry, std::uint64_t size, const QByteArray& path);
QByteArray FolderEntryMessage(std::uint32_t entry, const QByteArray& path);
QByteArray ZeroRunMessage(std::uint64_t count);
QByteArray CopyEndMessage(std::uint32_t entries);
// The fields of a receipt the tests look at; nullopt for anything else.
struct ReceiptFields {
    std::uint32_t entry = 0;
    std::uint8_t kind = 0;
    std::uint8_t outcome = 0;
    std::uint8_t detail = 0;
};
std::optional<ReceiptFields> ParseReceipt(const QByteArray& message);
bool IsSummary(const QByteArray& message);

// One TCP connection to a host.
class Peer {
public:
    Peer() = default;
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    // From `source`, a loopback address (127.0.0.2 stands for another PC of the LAN).
    bool Connect(std::uint16_t tcpPort, const char* source = "127.0.0.1");
    // Join, CreatePlayer: true / the new player's id once the host has answered.
    bool JoinSession(const QByteArray& instance, int timeoutMs = 3000);
    std::optional<std::uint32_t> MakePlayer(const QByteArray& name, int timeoutMs = 3000);
    // Discovers the host at `discoveryPort`, connects, joins and makes a player.
    std::optional<std::uint32_t> Enter(std::uint16_t discoveryPort, const QByteArray& name = "raw");

    // False when the connection is gone, or took nothing for `timeoutMs`.
    bool Send(const QByteArray& bytes, int timeoutMs = 5000);
    bool SendData(const QByteArray& message, int timeoutMs = 5000)
    {
        return Send(DataFrame(m_player, 0, message), timeoutMs);
    }
    // The next message the host sends to this peer (Data frames only), or nullopt when none
    // comes within `timeoutMs`.
    std::optional<QByteArray> ReceiveMessage(int timeoutMs = 3000);
    // True when the host ends the connection within `timeoutMs` (pings are read and dropped).
    bool ClosedByHost(int timeoutMs);
    void Close();

    std::uint32_t Player() const { return m_player; }
    int Fd() const { return m_fd; }

private:
    // The next frame from the host (type, body), or nullopt on close or timeout.
    std::optional<std::pair<std::uint8_t, QByteArray>> readFrame(int timeoutMs);

    int m_fd = -1;
    QByteArray m_rx;
    std::uint32_t m_player = 0;
    std::uint32_t m_nextRequest = 1;
};

} // namespace rawsession
