#pragma once

#include "platform/dplay/dplay.h"
#include "platform/dplay/searchreport.h"
#include "platform/dplay/sessiondirectory.h"

#include <netinet/in.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <vector>

class WakeupFd;

// The searching side of discovery: the UDP socket that asks for sessions, whom it asks (one
// named host, or the broadcast address of every interface), how often, and the directory the
// answers fill. Requests always ask hosts to answer even when their session is full, and
// the directory leaves full sessions out of the lists that do not want them, so that a
// busy session can be told from none. Open once, before the network thread starts; then any thread may begin or
// stop a search while the network thread asks again and reads the answers.
class SessionSearch {
public:
    using Clock = std::chrono::steady_clock;
    // While a search runs, requests go out this often.
    static constexpr auto kPeriod = std::chrono::milliseconds(250);

    // `wakeup` wakes the network thread, so that it takes up a new search at once.
    explicit SessionSearch(const WakeupFd& wakeup);
    ~SessionSearch();
    SessionSearch(const SessionSearch&) = delete;
    SessionSearch& operator=(const SessionSearch&) = delete;

    // Asks `host` when given, else broadcasts to `requestPort` on every interface.
    bool Open(std::uint16_t requestPort, std::optional<sockaddr_in> host);
    int Fd() const { return m_fd; }

    // One poll of a search for `application` (GUID_NULL: any), as EnumSessions makes it: an
    // asynchronous search keeps asking in the background until StopAsync and answers at once
    // with what was heard lately; another asks for `timeout` and then answers. Blocks the
    // caller for a synchronous search, and up to a few hundredths of a second for the first
    // poll of a search of one named host.
    std::vector<SessionDirectory::Listing> Poll(const GUID& application, bool includeFull, bool async,
                                                std::chrono::milliseconds timeout);
    void StopAsync();

    // Network thread: true while a search runs; asks again once kPeriod has passed.
    bool Tick(Clock::time_point now);
    // Network thread: reads the answers waiting on the socket into the directory.
    void ReadAnswers();

    SessionDirectory& Directory() { return m_directory; }
    // What the current (or last) search asked and heard.
    SearchReport Report() const;

private:
    // Starts a search, or carries one on; true when what is asked changed (or nothing was
    // asked yet).
    bool Begin(const GUID& application, bool async, Clock::time_point syncUntil);
    // Sends the current request now.
    void Ask();

    const WakeupFd& m_wakeup;
    int m_fd = -1;
    std::uint16_t m_requestPort = 0;
    std::optional<sockaddr_in> m_host;

    mutable std::mutex m_mutex;
    bool m_active = false;
    Clock::time_point m_syncUntil;
    Clock::time_point m_lastRequest;
    GUID m_application = GUID_NULL;
    SearchReport m_report; // without `heard`, which the directory knows

    SessionDirectory m_directory;
};
