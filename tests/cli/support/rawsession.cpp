#include "rawsession.h"

#include "transfer/blockchecksum.h"

#include <QtEndian>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace rawsession {

namespace {

using Clock = std::chrono::steady_clock;

template <typename T>
void put(QByteArray& out, T value)
{
    char bytes[sizeof(T)];
    qToLittleEndian<T>(value, bytes);
    out.append(bytes, sizeof(T));
}

template <typename T>
T get(const QByteArray& bytes, qsizetype offset)
{
    return qFromLittleEndian<T>(bytes.constData() + offset);
}

sockaddr_in loopback(std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int millisecondsLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? int(left.count()) : 0;
}

constexpr std::uint32_t kDiscoveryMagic = 0x44535746; // "FWSD"
constexpr std::uint32_t kJoinMagic = 0x4A535746;      // "FWSJ"

} // namespace

QByteArray ApplicationGuid()
{
    // {5D3A1F70-2B84-4C19-9E6D-7A0F31C8B452}
    QByteArray guid;
    put<std::uint32_t>(guid, 0x5D3A1F70);
    put<std::uint16_t>(guid, 0x2B84);
    put<std::uint16_t>(guid, 0x4C19);
    guid.append("\x9E\x6D\x7A\x0F\x31\xC8\xB4\x52", 8);
    return guid;
}

QByteArray DiscoveryRequest(const QByteArray& application, std::uint32_t flags)
{
    QByteArray request;
    put<std::uint32_t>(request, kDiscoveryMagic);
    request.append(char(1)); // version
    request.append(char(1)); // kind: request
    put<std::uint16_t>(request, 0);
    request.append(application);
    put<std::uint32_t>(request, flags);
    return request;
}

void SendDatagram(std::uint16_t port, const QByteArray& bytes)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in to = loopback(port);
    ::sendto(fd, bytes.constData(), std::size_t(bytes.size()), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    ::close(fd);
}

std::optional<Reply> Discover(std::uint16_t port, int timeoutMs)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in to = loopback(port);
    const QByteArray request = DiscoveryRequest(ApplicationGuid());
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::optional<Reply> found;
    while (!found && millisecondsLeft(deadline) > 0) {
        ::sendto(fd, request.constData(), std::size_t(request.size()), 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to);
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, std::min(250, millisecondsLeft(deadline))) <= 0)
            continue;
        QByteArray reply(65536, Qt::Uninitialized);
        const ssize_t n = ::recv(fd, reply.data(), std::size_t(reply.size()), 0);
        if (n < 56)
            continue;
        reply.truncate(n);
        if (get<std::uint32_t>(reply, 0) != kDiscoveryMagic || reply[5] != 2 || reply.mid(24, 16) != ApplicationGuid())
            continue;
        const std::uint16_t length = get<std::uint16_t>(reply, 42);
        if (reply.size() != 56 + length)
            continue;
        found = Reply{reply.mid(8, 16), get<std::uint16_t>(reply, 40), reply.mid(56)};
    }
    ::close(fd);
    return found;
}

QByteArray Frame(std::uint8_t type, const QByteArray& body)
{
    QByteArray frame;
    put<std::uint32_t>(frame, std::uint32_t(body.size() + 1));
    frame.append(char(type));
    frame.append(body);
    return frame;
}

QByteArray JoinFrame(const QByteArray& instance)
{
    QByteArray body;
    put<std::uint32_t>(body, kJoinMagic);
    put<std::uint16_t>(body, 1);
    put<std::uint16_t>(body, 0);
    body.append(instance);
    return Frame(Join, body);
}

QByteArray CreatePlayerFrame(std::uint32_t request, const QByteArray& name)
{
    QByteArray body;
    put<std::uint32_t>(body, request);
    put<std::uint16_t>(body, std::uint16_t(name.size()));
    body.append(name);
    return Frame(CreatePlayer, body);
}

QByteArray DataFrame(std::uint32_t from, std::uint32_t to, const QByteArray& message)
{
    QByteArray body;
    put<std::uint32_t>(body, from);
    put<std::uint32_t>(body, to);
    body.append(message);
    return Frame(Data, body);
}

QByteArray SessionDataMessage(std::int32_t files, std::int32_t totalSize, std::int16_t blockSize, bool encrypted,
                              std::uint16_t key)
{
    QByteArray message;
    put<std::uint32_t>(message, 1);
    put<std::int32_t>(message, files);
    put<std::int32_t>(message, totalSize);
    put<std::int16_t>(message, blockSize);
    message.append(char(encrypted ? 1 : 0));
    message.append(char(0));
    put<std::uint16_t>(message, key);
    put<std::uint16_t>(message, 0);
    return message;
}

QByteArray FileHeaderMessage(const QByteArray& nameField, std::int32_t size, std::int32_t number)
{
    QByteArray message;
    put<std::uint32_t>(message, 2);
    QByteArray field = nameField.left(256);
    field.append(QByteArray(256 - field.size(), '\0'));
    message.append(field);
    put<std::int32_t>(message, size);
    put<std::int32_t>(message, number);
    return message;
}

QByteArray DataPacketMessage(const QByteArray& valid, std::int32_t count, std::optional<std::uint32_t> checksum)
{
    QByteArray area = valid.left(2048);
    area.append(QByteArray(2048 - area.size(), '\0'));
    const std::size_t summed = std::size_t(std::clamp(count, 0, 2048));
    QByteArray message;
    put<std::uint32_t>(message, 3);
    message.append(area);
    put<std::int32_t>(message, count);
    put<std::uint32_t>(message, checksum.value_or(BlockChecksum(kChecksumStart, area.constData(), summed)));
    return message;
}

QByteArray CopyStartMessage(std::uint32_t files, std::uint32_t folders, std::uint64_t totalSize, std::int16_t blockSize)
{
    QByteArray message;
    put<std::uint32_t>(message, 16);
    put<std::uint16_t>(message, 1); // version
    put<std::int16_t>(message, blockSize);
    put<std::uint32_t>(message, 0); // not encrypted, key 0
    put<std::uint32_t>(message, files);
    put<std::uint32_t>(message, folders);
    put<std::uint64_t>(message, totalSize);
    return message;
}

QByteArray FileEntryMessage(std::uint32_t entry, std::uint64_t size, const QByteArray& path)
{
    QByteArray message;
    put<std::uint32_t>(message, 17);
    put<std::uint32_t>(message, entry);
    put<std::uint64_t>(message, size);
    put<std::uint16_t>(message, std::uint16_t(path.size()));
    put<std::uint16_t>(message, 0);
    return message + path;
}

QByteArray FolderEntryMessage(std::uint32_t entry, const QByteArray& path)
{
    QByteArray message;
    put<std::uint32_t>(message, 18);
    put<std::uint32_t>(message, entry);
    put<std::uint16_t>(message, std::uint16_t(path.size()));
    put<std::uint16_t>(message, 0);
    return message + path;
}

QByteArray ZeroRunMessage(std::uint64_t count)
{
    QByteArray message;
    put<std::uint32_t>(message, 19);
    put<std::uint32_t>(message, 0);
    put<std::uint64_t>(message, count);
    return message;
}

QByteArray CopyEndMessage(std::uint32_t entries)
{
    QByteArray message;
    put<std::uint32_t>(message, 20);
    put<std::uint32_t>(message, entries);
    return message;
}

std::optional<ReceiptFields> ParseReceipt(const QByteArray& message)
{
    if (message.size() < 36 || get<std::uint32_t>(message, 0) != 32)
        return std::nullopt;
    return ReceiptFields{get<std::uint32_t>(message, 4), std::uint8_t(message[8]), std::uint8_t(message[9]),
                         std::uint8_t(message[10])};
}

bool IsSummary(const QByteArray& message)
{
    return message.size() == 32 && get<std::uint32_t>(message, 0) == 33;
}

Peer::~Peer()
{
    Close();
}

void Peer::Close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_rx.clear();
}

bool Peer::Connect(std::uint16_t tcpPort, const char* source)
{
    Close();
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &from.sin_addr);
    const sockaddr_in to = loopback(tcpPort);
    if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0
        || ::connect(m_fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        Close();
        return false;
    }
    return true;
}

bool Peer::Send(const QByteArray& bytes, int timeoutMs)
{
    const char* p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        pollfd out{m_fd, POLLOUT, 0};
        if (m_fd < 0 || ::poll(&out, 1, timeoutMs) <= 0)
            return false;
        const ssize_t n = ::send(m_fd, p, std::size_t(left), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= n;
    }
    return true;
}

std::optional<std::pair<std::uint8_t, QByteArray>> Peer::readFrame(int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (m_rx.size() >= 5) {
            const std::uint32_t length = get<std::uint32_t>(m_rx, 0);
            if (m_rx.size() >= 4 + qsizetype(length)) {
                const auto type = std::uint8_t(m_rx[4]);
                QByteArray body = m_rx.mid(5, qsizetype(length) - 1);
                m_rx.remove(0, 4 + qsizetype(length));
                return std::make_pair(type, body);
            }
        }
        pollfd in{m_fd, POLLIN, 0};
        if (m_fd < 0 || ::poll(&in, 1, millisecondsLeft(deadline)) <= 0)
            return std::nullopt;
        char buffer[65536];
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return std::nullopt;
        m_rx.append(buffer, n);
    }
}

std::optional<QByteArray> Peer::ReceiveMessage(int timeoutMs)
{
    while (const auto frame = readFrame(timeoutMs)) {
        if (frame->first == Data && frame->second.size() >= 8)
            return frame->second.mid(8);
    }
    return std::nullopt;
}

bool Peer::JoinSession(const QByteArray& instance, int timeoutMs)
{
    if (!Send(JoinFrame(instance)))
        return false;
    while (const auto frame = readFrame(timeoutMs)) {
        if (frame->first == Joined)
            return true;
        if (frame->first == Refused)
            return false;
    }
    return false;
}

std::optional<std::uint32_t> Peer::MakePlayer(const QByteArray& name, int timeoutMs)
{
    const std::uint32_t request = m_nextRequest++;
    if (!Send(CreatePlayerFrame(request, name)))
        return std::nullopt;
    while (const auto frame = readFrame(timeoutMs)) {
        if (frame->first != PlayerCreated || frame->second.size() != 12
            || get<std::uint32_t>(frame->second, 0) != request)
            continue;
        if (get<std::int32_t>(frame->second, 4) != 0)
            return std::nullopt;
        m_player = get<std::uint32_t>(frame->second, 8);
        return m_player;
    }
    return std::nullopt;
}

std::optional<std::uint32_t> Peer::Enter(std::uint16_t discoveryPort, const QByteArray& name)
{
    const auto reply = Discover(discoveryPort);
    if (!reply || !Connect(reply->tcpPort) || !JoinSession(reply->instance))
        return std::nullopt;
    return MakePlayer(name);
}

bool Peer::ClosedByHost(int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (millisecondsLeft(deadline) > 0) {
        pollfd in{m_fd, POLLIN, 0};
        if (m_fd < 0)
            return true;
        if (::poll(&in, 1, millisecondsLeft(deadline)) <= 0)
            continue;
        char buffer[65536];
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return true;
    }
    return false;
}

} // namespace rawsession
