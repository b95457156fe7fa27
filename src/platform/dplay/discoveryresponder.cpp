#include "platform/dplay/discoveryresponder.h"

#include "platform/dplay/socketutil.h"
#include "platform/logging.h"

#include <netinet/in.h>
#include <sys/socket.h>

namespace {
constexpr int kMaxDatagramsPerRound = 64;
} // namespace

DiscoveryResponder::DiscoveryResponder(Advert advert) : m_advert(std::move(advert)) {}

DiscoveryResponder::~DiscoveryResponder()
{
    CloseFd(m_fd);
}

bool DiscoveryResponder::Bind(std::uint16_t port)
{
    CloseFd(m_fd);
    m_fd = OpenUdp(port, true);
    return m_fd >= 0;
}

void DiscoveryResponder::AnswerRequests()
{
    unsigned char buf[2048];
    for (int i = 0; i < kMaxDatagramsPerRound; ++i) {
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        const ssize_t n = ::recvfrom(m_fd, buf, sizeof buf, MSG_TRUNC, reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n < 0)
            return;
        if (std::size_t(n) > sizeof buf || fromLen != sizeof from || from.sin_family != AF_INET)
            continue;
        const auto request = DiscoveryMessage::Decode(buf, std::size_t(n));
        if (!request || request->kind != DiscoveryMessage::Kind::Request) {
            qCDebug(lcDplay, "%s: datagram ignored: not a discovery request", AddressText(from).c_str());
            continue;
        }
        auto reply = m_advert();
        if (!reply)
            return;
        if (request->application != GUID_NULL && request->application != reply->application)
            continue;
        const bool full = reply->maxPlayers != 0 && reply->currentPlayers >= reply->maxPlayers;
        if (full && !(request->requestFlags & DiscoveryMessage::kIncludeFull))
            continue;
        // Only a searcher that asks for the user fields gets them: an older one takes a
        // reply of any other size for no reply at all.
        if (!(request->requestFlags & DiscoveryMessage::kWantUserData))
            reply->user.reset();
        const auto bytes = reply->Encode();
        ::sendto(m_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
    }
}
