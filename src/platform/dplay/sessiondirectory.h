#pragma once

#include "platform/dplay/discoverymessage.h"
#include "platform/dplay/dplay.h"
#include "platform/dplay/sessionrecord.h"

#include <netinet/in.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// What searching has heard: the sessions that answered lately (for lists) and the address of
// every session ever heard of (for joins). Both are capped, so a flood of forged replies
// cannot grow them without bound. All methods may be called from any thread.
//
// A list holds only sessions that are still answering: one heard before the current search
// began shows again once it answers this search, and one that leaves kMissedRounds requests
// in a row unanswered (each out for kAnswerTime at least) drops out, so a session whose host
// has ended is not offered for long, even while a search that heard it goes on.
class SessionDirectory {
public:
    using Clock = std::chrono::steady_clock;

    // Sessions not heard from for this long drop out of lists.
    static constexpr auto kAge = std::chrono::milliseconds(1000);
    static constexpr std::size_t kMaxSessions = 4096;
    // A host answers a request within this time (on a LAN, within a few milliseconds).
    static constexpr auto kAnswerTime = std::chrono::milliseconds(100);
    static constexpr std::size_t kMissedRounds = 2;

    struct Listing : SessionRecord {
        sockaddr_in address{}; // where to join: the host's address and TCP port
    };

    // A new search begins at `now` (not one carried on).
    void BeginSearch(Clock::time_point now);
    // A request went out at `now`.
    void Asked(Clock::time_point now);
    // Records a host's reply that came from `from` (the reply names its TCP port).
    void Record(const DiscoveryMessage& reply, const sockaddr_in& from);
    // Sessions of `application` (GUID_NULL: any) heard from lately; full ones only with
    // `includeFull`.
    std::vector<Listing> Listed(const GUID& application, bool includeFull) const;
    // Where to join `instance`; nullopt when it was never heard of.
    std::optional<sockaddr_in> Address(const GUID& instance) const;
    // The user fields `instance` was last heard with (all 0 when it sent none or was never
    // heard of).
    std::array<DWORD, 4> UserFields(const GUID& instance) const;
    // Waits until a session of `application` has answered at or after `since`, or until
    // `deadline`.
    void WaitForAnswer(const GUID& application, Clock::time_point since, Clock::time_point deadline);

private:
    struct Found {
        Listing listing;
        Clock::time_point lastSeen;
    };
    // Whether `s` has stopped answering, or was heard only before the current search.
    bool Quiet(const Found& s, Clock::time_point now) const;

    struct Known {
        sockaddr_in address{};
        std::array<DWORD, 4> user{};
    };

    mutable std::mutex m_mutex;
    std::condition_variable m_answered;
    std::map<std::string, Found> m_found; // by instance GUID bytes
    std::map<std::string, Known> m_known; // every instance ever heard of
    Clock::time_point m_searchBegan;
    // When the latest requests went out, the latest last.
    std::deque<Clock::time_point> m_requests;
};
