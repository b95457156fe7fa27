#include "platform/dplay/sessiondirectory.h"

#include <arpa/inet.h>

#include <iterator>

namespace {

std::string GuidKey(const GUID& g)
{
    return std::string(reinterpret_cast<const char*>(&g), sizeof g);
}

// Requests remembered: enough for kMissedRounds that have been out long enough, with the
// ones still too young to count beside them.
constexpr std::size_t kRequestsKept = 4;

} // namespace

void SessionDirectory::BeginSearch(Clock::time_point now)
{
    std::lock_guard lock(m_mutex);
    m_searchBegan = now;
}

void SessionDirectory::Asked(Clock::time_point now)
{
    std::lock_guard lock(m_mutex);
    m_requests.push_back(now);
    if (m_requests.size() > kRequestsKept)
        m_requests.pop_front();
}

bool SessionDirectory::Quiet(const Found& s, Clock::time_point now) const
{
    if (now - s.lastSeen > kAge || s.lastSeen < m_searchBegan)
        return true;
    std::size_t missed = 0;
    for (const Clock::time_point asked : m_requests)
        if (asked > s.lastSeen && now - asked >= kAnswerTime)
            ++missed;
    return missed >= kMissedRounds;
}

void SessionDirectory::Record(const DiscoveryMessage& reply, const sockaddr_in& from)
{
    sockaddr_in address = from;
    address.sin_port = htons(reply.tcpPort);
    const std::string key = GuidKey(reply.instance);
    std::lock_guard lock(m_mutex);
    if (m_found.size() >= kMaxSessions && !m_found.count(key)) {
        // A flood of replies: forget what has gone quiet, and take no more than the cap.
        const auto now = Clock::now();
        for (auto it = m_found.begin(); it != m_found.end();)
            it = now - it->second.lastSeen > kAge ? m_found.erase(it) : std::next(it);
        if (m_found.size() >= kMaxSessions)
            return;
    }
    Found& s = m_found[key];
    s.listing = Listing{SessionRecord::FromAdvert(reply), address};
    s.lastSeen = Clock::now();
    if (m_known.size() < kMaxSessions || m_known.count(key))
        m_known[key] = Known{address, s.listing.user};
    m_answered.notify_all();
}

std::vector<SessionDirectory::Listing> SessionDirectory::Listed(const GUID& application, bool includeFull) const
{
    std::vector<Listing> listed;
    std::lock_guard lock(m_mutex);
    const auto now = Clock::now();
    for (const auto& entry : m_found) {
        const Found& s = entry.second;
        if (Quiet(s, now))
            continue;
        if (application != GUID_NULL && s.listing.application != application)
            continue;
        if (!includeFull && s.listing.maxPlayers != 0 && s.listing.currentPlayers >= s.listing.maxPlayers)
            continue;
        listed.push_back(s.listing);
    }
    return listed;
}

std::optional<sockaddr_in> SessionDirectory::Address(const GUID& instance) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_known.find(GuidKey(instance));
    if (it == m_known.end())
        return std::nullopt;
    return it->second.address;
}

std::array<DWORD, 4> SessionDirectory::UserFields(const GUID& instance) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_known.find(GuidKey(instance));
    return it == m_known.end() ? std::array<DWORD, 4>{} : it->second.user;
}

void SessionDirectory::WaitForAnswer(const GUID& application, Clock::time_point since, Clock::time_point deadline)
{
    std::unique_lock lock(m_mutex);
    m_answered.wait_until(lock, deadline, [&] {
        for (const auto& entry : m_found) {
            const Found& found = entry.second;
            if (found.lastSeen >= since && (application == GUID_NULL || found.listing.application == application))
                return true;
        }
        return false;
    });
}
