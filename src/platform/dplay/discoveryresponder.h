#pragma once

#include "platform/dplay/discoverymessage.h"

#include <cstdint>
#include <functional>
#include <optional>

// The hosting side of discovery: the UDP socket on the discovery port, and the rule for which
// requests get an answer (the session's application, or any; full sessions only when asked
// for). Bound on the caller's thread when a session is created; answers on the network thread.
class DiscoveryResponder {
public:
    // The reply the session gives right now (with its current player count); nullopt while
    // there is no hosted session to advertise.
    using Advert = std::function<std::optional<DiscoveryMessage>()>;

    explicit DiscoveryResponder(Advert advert);
    ~DiscoveryResponder();
    DiscoveryResponder(const DiscoveryResponder&) = delete;
    DiscoveryResponder& operator=(const DiscoveryResponder&) = delete;

    bool Bind(std::uint16_t port);
    int Fd() const { return m_fd; }
    // Answers the requests waiting on the socket.
    void AnswerRequests();

private:
    const Advert m_advert;
    int m_fd = -1;
};
