#include "platform/dplay/sessionsearch.h"

#include "platform/dplay/discoverymessage.h"
#include "platform/dplay/socketutil.h"
#include "platform/logging.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {
constexpr int kMaxDatagramsPerRound = 64;
// How long the first poll of a search of one named host waits for its answer.
constexpr auto kFirstAnswerWait = 30ms;
} // namespace

SessionSearch::SessionSearch(const WakeupFd& wakeup)
    : m_wakeup(wakeup)
{
}

SessionSearch::~SessionSearch()
{
    CloseFd(m_fd);
}

bool SessionSearch::Open(std::uint16_t requestPort, std::optional<sockaddr_in> host)
{
    m_requestPort = requestPort;
    m_host = host;
    m_fd = OpenUdp(0, false);
    return m_fd >= 0;
}

bool SessionSearch::Begin(const GUID& application, bool includeFull, bool async,
                          Clock::time_point syncUntil)
{
    std::lock_guard lock(m_mutex);
    const bool changed = !m_active || m_application != application || m_includeFull != includeFull;
    m_application = application;
    m_includeFull = includeFull;
    if (async)
        m_active = true;
    else
        m_syncUntil = syncUntil;
    return changed;
}

std::vector<SessionDirectory::Listing> SessionSearch::Poll(const GUID& application, bool includeFull,
                                                          bool async, std::chrono::milliseconds timeout)
{
    const auto asked = Clock::now();
    const bool changed = Begin(application, includeFull, async, asked + timeout);
    if (changed || !async)
        Ask();
    m_wakeup.Wake();
    if (!async) {
        std::this_thread::sleep_until(asked + timeout);
    } else if (changed && m_host) {
        // A search that asks one named host gives it a moment to answer before the first
        // poll returns, so that this poll can already list it. A broadcast search never
        // waits: it cannot know who else is still to answer.
        m_directory.WaitForAnswer(application, asked, asked + kFirstAnswerWait);
    }
    return m_directory.Listed(application, includeFull);
}

void SessionSearch::StopAsync()
{
    std::lock_guard lock(m_mutex);
    m_active = false;
}

void SessionSearch::Ask()
{
    DiscoveryMessage m;
    m.kind = DiscoveryMessage::Kind::Request;
    {
        std::lock_guard lock(m_mutex);
        m.application = m_application;
        m.requestFlags = m_includeFull ? DiscoveryMessage::kIncludeFull : 0;
        m_lastRequest = Clock::now();
    }
    const auto bytes = m.Encode();
    auto sendTo = [&](const sockaddr_in& to) {
        ::sendto(m_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    };
    if (m_host) {
        sendTo(*m_host);
        return;
    }
    for (const in_addr& a : BroadcastAddresses()) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr = a;
        to.sin_port = htons(m_requestPort);
        sendTo(to);
    }
}

bool SessionSearch::Tick(Clock::time_point now)
{
    bool due;
    {
        std::lock_guard lock(m_mutex);
        if (!m_active && now >= m_syncUntil)
            return false;
        due = now - m_lastRequest >= kPeriod;
    }
    if (due)
        Ask();
    return true;
}

void SessionSearch::ReadAnswers()
{
    static thread_local std::vector<unsigned char> buf(64 * 1024);
    for (int i = 0; i < kMaxDatagramsPerRound; ++i) {
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        const ssize_t n = ::recvfrom(m_fd, buf.data(), buf.size(), MSG_TRUNC,
                                     reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n < 0)
            return;
        if (std::size_t(n) > buf.size() || fromLen != sizeof from || from.sin_family != AF_INET)
            continue;
        const auto reply = DiscoveryMessage::Decode(buf.data(), std::size_t(n));
        if (!reply || reply->kind != DiscoveryMessage::Kind::Reply) {
            qCDebug(lcDplay, "%s: datagram ignored: not a discovery reply", AddressText(from).c_str());
            continue;
        }
        m_directory.Record(*reply, from);
    }
}
