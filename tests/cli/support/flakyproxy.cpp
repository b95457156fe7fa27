#include "flakyproxy.h"

#include <QtEndian>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace {

sockaddr_in loopback(std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

void nonBlocking(int fd)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

void resetAndClose(int fd)
{
    const linger abort{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    ::close(fd);
}

// One direction of a relayed connection.
struct Direction {
    int from = -1;
    int to = -1;
    QByteArray pending;
    bool ended = false; // `from` has closed; `to` is shut down once `pending` is written
};

struct Relay {
    Direction up;   // client to server
    Direction down; // server to client
    bool closed = false;
    bool reset = false; // one end reset its connection: so does the other
    // Relayed frame by frame: the data packet of this number goes twice (0: none).
    int duplicatePacket = 0;
    int dataPackets = 0;
    FlakyProxy::Edit edit;
    int messages = 0;
    QByteArray partialFrame; // the start of a frame from the client not yet passed on
};

// Session frames: length u32 (type and body), type u8, body. A data frame's body is the
// sender's and receiver's ids (u32 each) and the transfer message, whose first u32 is its type.
constexpr std::uint8_t kDataFrame = 6;
constexpr std::uint32_t kDataPacketMessage = 3;
constexpr std::uint32_t kSealedRecordMessage = 23; // a secure copy's record, client to server
constexpr std::uint32_t kSealedGroupMessage = 24;  // one holding several messages
constexpr qsizetype kFrameHead = 5;
constexpr qsizetype kMessageAt = kFrameHead + 8;

// Passes the whole frames of `relay.partialFrame` on to the server; true when one of them
// went twice.
bool passFrames(Relay& relay)
{
    bool duplicated = false;
    QByteArray& held = relay.partialFrame;
    while (held.size() >= kFrameHead) {
        const auto length = qsizetype(qFromLittleEndian<std::uint32_t>(held.constData()));
        if (length == 0 || length > (1 << 20)) {
            // Not a frame the session protocol knows: the rest goes on as it is.
            relay.up.pending.append(held);
            held.clear();
            relay.duplicatePacket = 0;
            relay.edit = nullptr;
            break;
        }
        if (held.size() < 4 + length)
            break;
        const QByteArrayView frame(held.constData(), 4 + length);
        if (relay.edit && std::uint8_t(frame[4]) == kDataFrame && frame.size() > kMessageAt) {
            const QByteArray head = frame.first(kMessageAt).toByteArray();
            for (const QByteArray& message : relay.edit(relay.messages++, frame.sliced(kMessageAt).toByteArray())) {
                QByteArray edited = head + message;
                qToLittleEndian(std::uint32_t(edited.size() - 4), edited.data());
                relay.up.pending.append(edited);
            }
            held.remove(0, 4 + length);
            continue;
        }
        relay.up.pending.append(frame);
        if (std::uint8_t(frame[4]) == kDataFrame && frame.size() >= kMessageAt + 4
            && (qFromLittleEndian<std::uint32_t>(frame.data() + kMessageAt) == kDataPacketMessage
                || qFromLittleEndian<std::uint32_t>(frame.data() + kMessageAt) == kSealedRecordMessage
                || qFromLittleEndian<std::uint32_t>(frame.data() + kMessageAt) == kSealedGroupMessage)
            && ++relay.dataPackets == relay.duplicatePacket) {
            relay.up.pending.append(frame);
            duplicated = true;
        }
        held.remove(0, 4 + length);
    }
    return duplicated;
}

} // namespace

FlakyProxy::FlakyProxy(std::uint16_t discoveryPort, std::uint16_t serverDiscoveryPort, std::uint32_t seed)
    : m_serverDiscoveryPort(serverDiscoveryPort), m_seed(seed)
{
    m_udpFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const sockaddr_in udp = loopback(discoveryPort);
    if (::bind(m_udpFd, reinterpret_cast<const sockaddr*>(&udp), sizeof udp) != 0) {
        ::close(m_udpFd);
        m_udpFd = -1;
    }
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in tcp = loopback(0);
    socklen_t length = sizeof tcp;
    if (::bind(m_listenFd, reinterpret_cast<const sockaddr*>(&tcp), sizeof tcp) != 0 || ::listen(m_listenFd, 16) != 0
        || ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&tcp), &length) != 0) {
        ::close(m_listenFd);
        m_listenFd = -1;
    }
    m_tcpPort = ntohs(tcp.sin_port);
    if (Listening())
        m_thread = std::thread([this] { run(); });
}

FlakyProxy::~FlakyProxy()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    if (m_udpFd >= 0)
        ::close(m_udpFd);
    if (m_listenFd >= 0)
        ::close(m_listenFd);
}

void FlakyProxy::EditMessages(Edit edit)
{
    std::lock_guard lock(m_shapeMutex);
    m_edit = std::move(edit);
}

void FlakyProxy::SetShape(Shape shape)
{
    std::lock_guard lock(m_shapeMutex);
    m_shape = shape;
}

void FlakyProxy::run()
{
    std::mt19937 random(m_seed);
    std::vector<std::unique_ptr<Relay>> relays;
    sockaddr_in searcher{};
    bool searcherKnown = false;
    std::uint16_t serverTcpPort = 0;
    char buffer[65536];

    // Writes a random piece of `d.pending`; false when the connection broke.
    const auto writePiece = [&](Direction& d, const Shape& shape) {
        if (d.pending.isEmpty())
            return true;
        if (shape.delayMicroseconds > 0 && random() % 8 == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(shape.delayMicroseconds));
        const auto most = std::min<qsizetype>(d.pending.size(), shape.maxPiece);
        const auto piece = std::size_t(1 + random() % std::uint32_t(most));
        const ssize_t n = ::send(d.to, d.pending.constData(), piece, MSG_NOSIGNAL);
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        d.pending.remove(0, n);
        return true;
    };

    while (!m_stop) {
        std::vector<pollfd> fds{{m_udpFd, POLLIN, 0}, {m_listenFd, POLLIN, 0}};
        const bool stalled = m_stalled;
        if (!stalled) {
            for (const auto& r : relays) {
                for (Direction* d : {&r->up, &r->down}) {
                    short events = 0;
                    if (!d->ended && d->pending.size() < (1 << 20))
                        events |= POLLIN;
                    fds.push_back({d->from, events, 0});
                    fds.push_back({d->to, short(d->pending.isEmpty() ? 0 : POLLOUT), 0});
                }
            }
        }
        ::poll(fds.data(), fds.size(), 10);

        // Discovery: requests go on to the server, replies come back naming our TCP port.
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        ssize_t n;
        while ((n = ::recvfrom(m_udpFd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength))
               > 0) {
            QByteArray datagram(buffer, n);
            if (ntohs(from.sin_port) == m_serverDiscoveryPort) {
                if (!searcherKnown || datagram.size() < 56)
                    continue;
                serverTcpPort = qFromLittleEndian<std::uint16_t>(datagram.constData() + 40);
                qToLittleEndian<std::uint16_t>(m_tcpPort, datagram.data() + 40);
                const qsizetype nameLength = qFromLittleEndian<std::uint16_t>(datagram.constData() + 42);
                if (m_stripOffer && datagram.size() == 56 + nameLength + 16)
                    std::memset(datagram.data() + 56 + nameLength, 0, 16);
                ::sendto(m_udpFd, datagram.constData(), std::size_t(datagram.size()), 0,
                         reinterpret_cast<const sockaddr*>(&searcher), sizeof searcher);
            } else {
                searcher = from;
                searcherKnown = true;
                const sockaddr_in server = loopback(m_serverDiscoveryPort);
                ::sendto(m_udpFd, datagram.constData(), std::size_t(datagram.size()), 0,
                         reinterpret_cast<const sockaddr*>(&server), sizeof server);
            }
            fromLength = sizeof from;
        }

        for (int client; (client = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0;) {
            const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const sockaddr_in to = loopback(serverTcpPort);
            if (serverTcpPort == 0 || ::connect(server, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
                ::close(server);
                ::close(client);
                continue;
            }
            nonBlocking(server);
            auto relay = std::make_unique<Relay>();
            relay->duplicatePacket = m_duplicatePacket;
            {
                std::lock_guard lock(m_shapeMutex);
                relay->edit = m_edit;
            }
            relay->up.from = relay->down.to = client;
            relay->up.to = relay->down.from = server;
            relays.push_back(std::move(relay));
            ++m_accepted;
        }

        if (m_cut.exchange(false)) {
            for (const auto& r : relays) {
                resetAndClose(r->up.from);
                resetAndClose(r->up.to);
            }
            relays.clear();
        }
        if (stalled)
            continue;

        Shape shape;
        {
            std::lock_guard lock(m_shapeMutex);
            shape = m_shape;
        }
        for (const auto& r : relays) {
            for (Direction* d : {&r->up, &r->down}) {
                if (!d->ended && d->pending.size() < (1 << 20)) {
                    const ssize_t got = ::recv(d->from, buffer, sizeof buffer, MSG_DONTWAIT);
                    if (got > 0) {
                        if (d == &r->up && (r->duplicatePacket > 0 || r->edit || !r->partialFrame.isEmpty())) {
                            r->partialFrame.append(buffer, got);
                            if (passFrames(*r))
                                ++m_duplicated;
                        } else {
                            d->pending.append(buffer, got);
                        }
                        if (d == &r->up)
                            m_relayed += got;
                    } else if (got == 0) {
                        d->ended = true;
                        if (d == &r->up) {
                            d->pending.append(r->partialFrame); // a frame cut short goes on as it is
                            r->partialFrame.clear();
                        }
                    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                        r->reset = true;
                    }
                }
                // A few pieces per round, so that a slow direction does not starve the other.
                for (int i = 0; i < 64 && !d->pending.isEmpty(); ++i) {
                    const qsizetype before = d->pending.size();
                    if (!writePiece(*d, shape)) {
                        r->reset = true;
                        break;
                    }
                    if (d->pending.size() == before)
                        break;
                }
                if (d->ended && d->pending.isEmpty())
                    ::shutdown(d->to, SHUT_WR);
            }
            // A server that ends while bytes for it are still on the way never reads them: its
            // end of a real link would answer them with a reset.
            int unread = 0;
            if (r->down.ended
                && (!r->up.pending.isEmpty() || (::ioctl(r->up.from, FIONREAD, &unread) == 0 && unread > 0)))
                r->reset = true;
            if ((r->up.ended && r->down.ended && r->up.pending.isEmpty() && r->down.pending.isEmpty()))
                r->closed = true;
        }
        for (auto it = relays.begin(); it != relays.end();) {
            if ((*it)->reset) {
                resetAndClose((*it)->up.from);
                resetAndClose((*it)->up.to);
                it = relays.erase(it);
            } else if ((*it)->closed) {
                ::close((*it)->up.from);
                ::close((*it)->up.to);
                it = relays.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const auto& r : relays) {
        ::close(r->up.from);
        ::close(r->up.to);
    }
}
