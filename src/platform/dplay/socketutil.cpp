#include "platform/dplay/socketutil.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace {

void SetNoDelay(int fd)
{
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

sockaddr_in AnyAddress(std::uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(port);
    return a;
}

int MillisecondsUntil(std::chrono::steady_clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return int(left.count());
}

} // namespace

void CloseFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

std::vector<InterfaceAddress> InterfaceAddresses()
{
    std::vector<InterfaceAddress> out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return out;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP))
            continue;
        InterfaceAddress entry;
        entry.interfaceName = i->ifa_name ? i->ifa_name : "";
        entry.address = reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr;
        const std::uint32_t address = entry.address.s_addr;
        std::uint32_t mask = 0xFFFFFFFF;
        if (i->ifa_netmask)
            mask = reinterpret_cast<sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr;
        entry.prefixLength = __builtin_popcount(mask);
        std::optional<std::uint32_t> broadcast;
        if (i->ifa_flags & IFF_BROADCAST) {
            if (i->ifa_broadaddr)
                broadcast = reinterpret_cast<sockaddr_in*>(i->ifa_broadaddr)->sin_addr.s_addr;
        } else if (i->ifa_netmask) {
            // Loopback and point-to-point links: the top of the network.
            broadcast = address | ~mask;
        }
        if (broadcast && *broadcast != address && *broadcast != 0)
            entry.broadcast = in_addr{*broadcast};
        out.push_back(std::move(entry));
    }
    freeifaddrs(list);
    return out;
}

std::optional<sockaddr_in> ResolveIPv4(const std::string& host, std::uint16_t port)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* res = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res)
        return std::nullopt;
    sockaddr_in address = *reinterpret_cast<sockaddr_in*>(res->ai_addr);
    freeaddrinfo(res);
    address.sin_port = htons(port);
    return address;
}

int OpenUdp(std::uint16_t port, bool shared)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int one = 1;
    if (shared)
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    const sockaddr_in a = AnyAddress(port);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
        CloseFd(fd);
    return fd;
}

int ListenTcp(std::uint16_t& port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = AnyAddress(0);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 8) != 0
        || getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        CloseFd(fd);
        return -1;
    }
    port = ntohs(a.sin_port);
    return fd;
}

int AcceptTcp(int listenFd)
{
    const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0)
        SetNoDelay(fd);
    return fd;
}

int ConnectTcp(const sockaddr_in& address)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 && errno != EINPROGRESS) {
        CloseFd(fd);
        return -1;
    }
    SetNoDelay(fd);
    return fd;
}

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
        const int left = MillisecondsUntil(deadline);
        if (left <= 0)
            return false;
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, left);
    }
    return true;
}

bool WaitReadable(int fd, std::chrono::steady_clock::time_point deadline)
{
    const int left = MillisecondsUntil(deadline);
    if (left <= 0)
        return false;
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, left) > 0;
}

std::string AddressText(const sockaddr_in& address)
{
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ':' + std::to_string(ntohs(address.sin_port));
}

std::string PeerName(int fd)
{
    sockaddr_in address{};
    socklen_t len = sizeof address;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&address), &len) != 0 || address.sin_family != AF_INET)
        return "unknown peer";
    return AddressText(address);
}

std::uint32_t PeerAddress(int fd)
{
    sockaddr_in address{};
    socklen_t len = sizeof address;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&address), &len) != 0 || address.sin_family != AF_INET)
        return 0;
    return address.sin_addr.s_addr;
}

WakeupFd::WakeupFd() : m_fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

WakeupFd::~WakeupFd()
{
    CloseFd(m_fd);
}

void WakeupFd::Wake() const
{
    if (m_fd >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(m_fd, &one, sizeof one);
    }
}

void WakeupFd::Clear() const
{
    std::uint64_t count;
    [[maybe_unused]] const auto n = ::read(m_fd, &count, sizeof count);
}
