#pragma once

// Small POSIX socket helpers of the session service: IPv4 only, every socket non-blocking
// and close-on-exec. None of them logs or knows about sessions.

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

void CloseFd(int& fd);

// An IPv4 address of an interface that is up, with the broadcast address of its network.
// An address configured without a broadcast address (the system then names the address
// itself in its place), or a /32, has none: nothing sent there reaches another PC.
struct InterfaceAddress {
    std::string interfaceName;
    in_addr address{};
    int prefixLength = 0;
    std::optional<in_addr> broadcast;
};
std::vector<InterfaceAddress> InterfaceAddresses();

// The first IPv4 address of `host` with `port`; nullopt when the name does not resolve.
std::optional<sockaddr_in> ResolveIPv4(const std::string& host, std::uint16_t port);

// A UDP socket bound to `port` on every interface (0: any port); -1 on failure.
// `shared` lets several hosts of one machine listen on one discovery port.
int OpenUdp(std::uint16_t port, bool shared);

// A TCP socket listening on an ephemeral port of every interface; -1 on failure.
int ListenTcp(std::uint16_t& port);

// The next pending connection on `listenFd`, with Nagle off; -1 when none waits.
int AcceptTcp(int listenFd);

// Starts a connection to `address` (Nagle off); -1 when it cannot even start.
int ConnectTcp(const sockaddr_in& address);

// Writes all of `data` to a non-blocking socket before `deadline`.
bool SendAll(int fd, const unsigned char* data, std::size_t size, std::chrono::steady_clock::time_point deadline);

// Waits until `fd` is readable, or the deadline passes (false).
bool WaitReadable(int fd, std::chrono::steady_clock::time_point deadline);

// "address:port" of the other end of a connected socket, or of `address`; for log lines.
std::string PeerName(int fd);
// The IPv4 address of the other end of a connected socket (network order); 0 when unknown.
std::uint32_t PeerAddress(int fd);
std::string AddressText(const sockaddr_in& address);

// An eventfd that wakes a thread sleeping in poll(); Wake() may be called from any thread.
class WakeupFd {
public:
    WakeupFd();
    ~WakeupFd();
    WakeupFd(const WakeupFd&) = delete;
    WakeupFd& operator=(const WakeupFd&) = delete;

    bool IsValid() const { return m_fd >= 0; }
    int Fd() const { return m_fd; }
    void Wake() const;
    // Takes the wake-ups that poll() reported.
    void Clear() const;

private:
    int m_fd = -1;
};
