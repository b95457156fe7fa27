#include "platform/dplay/sessionsearch.h"

#include "platform/dplay/discoverymessage.h"
#include "platform/dplay/socketutil.h"
#include "platform/logging.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {
constexpr int kMaxDatagramsPerRound = 64;
// How long the first poll of a search of one named host waits for its answer.
constexpr auto kFirstAnswerWait = 30ms;
} // namespace

SessionSearch::SessionSearch(const WakeupFd& wakeup) : m_wakeup(wakeup) {}

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

bool SessionSearch::Begin(const GUID& application, bool async, Clock::time_point syncUntil)
{
    const auto now = Clock::now();
    bool changed;
    bool fresh;
    {
        std::lock_guard lock(m_mutex);
        changed = !m_active || m_application != application;
        fresh = !m_active && now >= m_syncUntil; // a new search, not one carried on
        if (fresh)
            m_report = SearchReport{};
        m_application = application;
        if (async)
            m_active = true;
        else
            m_syncUntil = syncUntil;
    }
    if (fresh)
        m_directory.BeginSearch(now);
    return changed;
}

std::vector<SessionDirectory::Listing> SessionSearch::Poll(const GUID& application, bool includeFull, bool async,
                                                           std::chrono::milliseconds timeout)
{
    const auto asked = Clock::now();
    const bool changed = Begin(application, async, asked + timeout);
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
    // Full sessions answer too: the directory hides them from lists that want free ones.
    // The user fields say what a host offers beyond the session itself.
    m.requestFlags = DiscoveryMessage::kIncludeFull | DiscoveryMessage::kWantUserData;
    const auto now = Clock::now();
    {
        std::lock_guard lock(m_mutex);
        m.application = m_application;
        m_lastRequest = now;
        ++m_report.requests;
    }
    m_directory.Asked(now);
    const auto bytes = m.Encode();

    std::vector<SearchReport::Target> asked;
    std::vector<InterfaceAddress> withoutBroadcast;
    if (m_host) {
        asked.push_back({std::string(), *m_host, 0});
    } else {
        for (InterfaceAddress& i : InterfaceAddresses()) {
            if (!i.broadcast) {
                withoutBroadcast.push_back(std::move(i));
                continue;
            }
            const bool known = std::any_of(asked.begin(), asked.end(), [&](const SearchReport::Target& t) {
                return t.address.sin_addr.s_addr == i.broadcast->s_addr;
            });
            if (known)
                continue;
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_addr = *i.broadcast;
            to.sin_port = htons(m_requestPort);
            asked.push_back({i.interfaceName, to, 0});
        }
        // Sessions of this PC answer on loopback even where its interface is not listed.
        const bool loopback = std::any_of(asked.begin(), asked.end(), [](const SearchReport::Target& t) {
            return t.address.sin_addr.s_addr == htonl(0x7FFFFFFF);
        });
        if (!loopback) {
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_addr.s_addr = htonl(0x7FFFFFFF);
            to.sin_port = htons(m_requestPort);
            asked.push_back({"lo", to, 0});
        }
    }
    for (SearchReport::Target& target : asked) {
        if (::sendto(m_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&target.address),
                     sizeof target.address)
            < 0)
            target.sendError = errno;
    }
    std::lock_guard lock(m_mutex);
    m_report.asked = std::move(asked);
    m_report.withoutBroadcast = std::move(withoutBroadcast);
}

SearchReport SessionSearch::Report() const
{
    SearchReport report;
    {
        std::lock_guard lock(m_mutex);
        report = m_report;
    }
    report.heard = m_directory.Listed(GUID_NULL, true);
    return report;
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
        const ssize_t n =
            ::recvfrom(m_fd, buf.data(), buf.size(), MSG_TRUNC, reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n < 0)
            return;
        if (fromLen != sizeof from || from.sin_family != AF_INET)
            continue;
        const auto reply =
            std::size_t(n) > buf.size() ? std::nullopt : DiscoveryMessage::Decode(buf.data(), std::size_t(n));
        const bool isReply = reply && reply->kind == DiscoveryMessage::Kind::Reply;
        {
            std::lock_guard lock(m_mutex);
            ++m_report.datagrams;
            if (!isReply) {
                ++m_report.notReplies;
                const bool known = std::any_of(
                    m_report.notReplySenders.begin(), m_report.notReplySenders.end(), [&](const sockaddr_in& s) {
                        return s.sin_addr.s_addr == from.sin_addr.s_addr && s.sin_port == from.sin_port;
                    });
                if (!known && m_report.notReplySenders.size() < SearchReport::kMaxSenders)
                    m_report.notReplySenders.push_back(from);
            }
        }
        if (!isReply) {
            qCDebug(lcDplay, "%s: datagram ignored: not a discovery reply", AddressText(from).c_str());
            continue;
        }
        m_directory.Record(*reply, from);
    }
}
