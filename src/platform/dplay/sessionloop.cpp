// The session service's network thread: the poll loop over every socket, what each peer's
// frames mean for the session and its players, and peers that come and go. The operations
// callers make are in sessionservice.cpp.

#include "platform/dplay/sessionservice.h"

#include "platform/dplay/discoveryresponder.h"
#include "platform/dplay/joinhandshake.h"
#include "platform/logging.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

// Handles every whole frame in the peer's read buffer under one lock; data frames stay in
// the buffer, which goes to the receive queue as it is. Returns why the peer broke the
// protocol, or nullptr.
const char* SessionService::ParseReceived(Peer& p)
{
    ReadBuffer& rx = p.link.Received();
    std::size_t pos = 0;
    const char* broken = nullptr;
    bool hasData = false;
    bool wholeFrames = false;
    {
        std::lock_guard lock(m_mutex);
        const bool host = m_role == Role::Host;
        while (!broken) {
            FrameCodec::View v;
            std::size_t consumed = 0;
            const auto status = FrameCodec::Next(rx.bytes.data() + pos, rx.end - pos, v, consumed);
            if (status == FrameCodec::Status::NeedMore)
                break;
            if (status == FrameCodec::Status::Malformed) {
                broken = "malformed frame (length, type or body size)";
                break;
            }
            wholeFrames = true;
            const auto step = FrameRules::StepFor(v.type, host, p.joined, p.closing);
            if (step == FrameRules::Step::Data) {
                broken = CheckDataLocked(p, v);
                if (!broken) {
                    hasData = true;
                    pos += consumed;
                }
                continue;
            }
            if (v.type != FrameCodec::Ping && hasData) {
                // Messages this frame makes must come after the data before it.
                m_received.HandOver(rx, pos);
                pos = 0;
                hasData = false;
                continue;
            }
            broken = HandleFrameLocked(p, v, step);
            pos += consumed;
        }
        if (hasData) {
            m_received.HandOver(rx, pos);
            pos = 0;
        }
    }
    m_cond.notify_all();
    if (pos) {
        std::memmove(rx.bytes.data(), rx.bytes.data() + pos, rx.end - pos);
        rx.end -= pos;
    }
    p.link.Parsed(Clock::now(), wholeFrames, rx.end > 0);
    return broken;
}

// Why the peer may not send this data frame (see FrameRules::DataRefusal), or nullptr.
const char* SessionService::CheckDataLocked(const Peer& p, const FrameCodec::View& v) const
{
    const DPID to = FrameCodec::DataTo(v);
    return FrameRules::DataRefusal(m_role == Role::Host, p.joined, m_players.RemoteOf(p.number),
                                   FrameCodec::DataFrom(v), to, m_players.IsLocal(to));
}

// Does what `step` (FrameRules::StepFor) says of the frame. Returns why the frame breaks the
// protocol (the connection then ends), or nullptr.
const char* SessionService::HandleFrameLocked(Peer& p, const FrameCodec::View& v, FrameRules::Step step)
{
    FrameCodec::Buffer reply;
    switch (step) {
    case FrameRules::Step::Ignore:
    case FrameRules::Step::Data: // checked and delivered by ParseReceived
        return nullptr;
    case FrameRules::Step::AnswerJoin: {
        const auto answer = AnswerJoin(v, m_session.instance, FrameRules::Full(Occupancy(), m_session.maxPlayers));
        if (!answer)
            return "first frame is no join";
        if (FAILED(*answer)) {
            qCDebug(lcDplay, "%s: join refused: %s", p.link.Name().c_str(),
                    *answer == DPERR_NOSESSIONS ? "asks for another session" : "session full");
            FrameCodec::AppendRefused(reply, *answer);
            p.closing = true;
        } else {
            p.joined = true;
            p.joinedAt = Clock::now();
            FrameCodec::JoinedInfo joined = m_session.Joined();
            joined.currentPlayers = Occupancy();
            FrameCodec::AppendJoined(reply, joined);
        }
        p.link.QueueFrames(reply, false);
        return nullptr;
    }
    case FrameRules::Step::CreatePlayer: {
        const auto request = FrameCodec::DecodeCreatePlayer(v);
        if (!request)
            return "malformed player request";
        FrameCodec::PlayerCreatedInfo created;
        created.request = request->request;
        created.result =
            FrameRules::AdmitPlayer(m_players.RemoteOf(p.number).size(), Occupancy(), m_session.maxPlayers);
        if (SUCCEEDED(created.result)) {
            created.id = m_players.NextId();
            m_players.AddRemote(p.number, created.id);
            // Kept past the connection, for a front end that names the player's address
            // when its messages are handled, perhaps after it left.
            m_players.RememberAddress(created.id, p.link.Name());
            QueueSystemCreate(created.id, request->name);
        }
        FrameCodec::AppendPlayerCreated(reply, created);
        p.link.QueueFrames(reply, false);
        return nullptr;
    }
    case FrameRules::Step::PlayerCreated: {
        const auto created = FrameCodec::DecodePlayerCreated(v);
        if (!created)
            return "malformed player reply";
        if (!m_players.Answer(*created))
            return "player reply nobody asked for";
        return nullptr;
    }
    case FrameRules::Step::OutOfPlace:
        break;
    }
    return "frame out of place";
}

void SessionService::QueueSystemCreate(DPID id, const std::string& name)
{
    DPMSG_CREATEPLAYERORGROUP m{};
    m.dwType = DPSYS_CREATEPLAYERORGROUP;
    m.dwPlayerType = DPPLAYERTYPE_PLAYER;
    m.dpId = id;
    m.dwCurrentPlayers = Occupancy();
    m.dpnName.dwSize = DPNAME_SIZE;
    m_received.Push(DPID_SYSMSG, m_players.First(), &m, sizeof m, name.c_str(), name.size() + 1);
}

void SessionService::QueueSystemDestroy(DPID id)
{
    DPMSG_DESTROYPLAYERORGROUP m{};
    m.dwType = DPSYS_DESTROYPLAYERORGROUP;
    m.dwPlayerType = DPPLAYERTYPE_PLAYER;
    m.dpId = id;
    m.dpnName.dwSize = DPNAME_SIZE;
    m_received.Push(DPID_SYSMSG, m_players.First(), &m, sizeof m);
}

void SessionService::QueueSessionLost()
{
    DPMSG_SESSIONLOST m{DPSYS_SESSIONLOST};
    m_received.Push(DPID_SYSMSG, m_players.First(), &m, sizeof m);
}

void SessionService::DropPeer(const std::shared_ptr<Peer>& p, const char* why)
{
    qCDebug(lcDplay, "%s: connection dropped: %s", p->link.Name().c_str(), why);
    {
        std::lock_guard lock(m_mutex);
        p->dead = true;
        m_peers.erase(std::remove(m_peers.begin(), m_peers.end(), p), m_peers.end());
        const std::vector<DPID> players = m_players.ForgetConnection(p->number);
        if (m_role == Role::Host) {
            for (DPID id : players)
                QueueSystemDestroy(id);
        } else if (m_role == Role::Client && !m_sessionLost && !m_stop) {
            m_sessionLost = true;
            QueueSessionLost();
        }
    }
    p->link.Close();
    m_cond.notify_all();
}

bool SessionService::CarriesPlayer(const Peer& p) const
{
    std::lock_guard lock(m_mutex);
    return !m_players.RemoteOf(p.number).empty();
}

void SessionService::AcceptPeers(int listenFd)
{
    for (int i = 0; i < 8; ++i) {
        int fd = AcceptTcp(listenFd);
        if (fd < 0)
            break;
        std::shared_ptr<Peer> oldest;
        {
            std::lock_guard lock(m_mutex);
            // m_peers is in the order of arrival: the first waiting one is the oldest.
            const std::uint32_t address = PeerAddress(fd);
            std::size_t waiting = 0;
            for (const auto& p : m_peers) {
                if (!p->joined && p->address == address) {
                    if (!oldest)
                        oldest = p;
                    ++waiting;
                }
            }
            const auto admission = FrameRules::AdmitConnection(m_peers.size(), waiting);
            if (admission == FrameRules::Connection::Refuse) {
                qCDebug(lcDplay, "%s: connection refused: %zu connections already", PeerName(fd).c_str(),
                        m_peers.size());
                CloseFd(fd);
                continue;
            }
            if (admission == FrameRules::Connection::Take)
                oldest.reset();
        }
        if (oldest)
            DropPeer(oldest, "the oldest of too many from there that have not joined yet");
        std::lock_guard lock(m_mutex);
        m_peers.push_back(std::make_shared<Peer>(++m_peerCount, fd, m_wakeup));
    }
}

// Timers, bytes that wait to be parsed, and writes; drops a peer that is gone.
void SessionService::KeepUp(const std::shared_ptr<Peer>& p, Clock::time_point now, bool paused, bool keepAlive,
                            bool host)
{
    PeerConnection& c = p->link;
    if (paused)
        c.HoldSilenceClock(now);
    if (p->parsePending) {
        p->parsePending = false;
        if (const char* broken = ParseReceived(*p)) {
            DropPeer(p, broken);
            return;
        }
    }
    const char* gone = nullptr;
    if (!c.Write())
        gone = "write failed";
    else if (const char* expired = c.Expired(now, p->joined, keepAlive))
        gone = expired;
    else if (host && p->joined && now - p->joinedAt > PeerConnection::kJoinTimeout && !CarriesPlayer(*p))
        gone = "no player in time"; // a joined peer holds a place: it must use it
    else if (p->closing && c.AllSent())
        gone = p->joined ? "dropped by the host" : "its join was refused";
    if (gone) {
        if (p->dropped) {
            // A reset, so that the client cannot take the end for one in order, even when it
            // had sent everything already.
            const linger reset{1, 0};
            ::setsockopt(p->link.Fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        }
        DropPeer(p, gone);
        return;
    }
    if (p->joined && keepAlive)
        c.PingIfIdle(now);
}

void SessionService::ServiceSocket(const std::shared_ptr<Peer>& p, short revents)
{
    if (p->dead || !revents)
        return;
    const char* gone = nullptr;
    if (revents & (POLLIN | POLLHUP | POLLERR)) {
        switch (p->link.Read()) {
        case PeerConnection::ReadResult::Nothing:
            break;
        case PeerConnection::ReadResult::Data:
            gone = ParseReceived(*p);
            break;
        case PeerConnection::ReadResult::DataThenEnd:
            // What came before the end is still delivered.
            gone = ParseReceived(*p);
            if (!gone)
                gone = "closed by the peer";
            break;
        case PeerConnection::ReadResult::Ended:
            gone = "closed by the peer";
            break;
        case PeerConnection::ReadResult::Failed:
            gone = "read failed";
            break;
        }
    }
    if (!gone && (revents & POLLOUT) && !p->link.Write())
        gone = "write failed";
    if (gone)
        DropPeer(p, gone);
}

void SessionService::NetworkLoop()
{
    std::vector<pollfd> fds;
    std::vector<std::shared_ptr<Peer>> peers;
    while (!m_stop) {
        const auto now = Clock::now();
        const bool paused = m_received.Paused();
        bool keepAlive;
        bool host;
        DiscoveryResponder* responder;
        int listenFd;
        {
            std::lock_guard lock(m_mutex);
            peers = m_peers;
            responder = m_responder.get();
            listenFd = m_listenFd;
            keepAlive = (m_session.flags & DPSESSION_KEEPALIVE) != 0;
            host = m_role == Role::Host;
        }
        const bool searching = m_search.Tick(now);
        for (const auto& p : peers)
            KeepUp(p, now, paused, keepAlive, host);

        bool streaming = false;
        {
            std::lock_guard lock(m_mutex);
            peers = m_peers;
        }
        fds.clear();
        fds.push_back({m_wakeup.Fd(), POLLIN, 0});
        fds.push_back({m_search.Fd(), POLLIN, 0});
        fds.push_back({responder ? responder->Fd() : -1, POLLIN, 0});
        fds.push_back({listenFd, POLLIN, 0});
        for (const auto& p : peers) {
            streaming = streaming || p->link.Streaming();
            short events = paused ? 0 : POLLIN;
            if (p->link.Writing())
                events |= POLLOUT;
            fds.push_back({p->link.Fd(), events, 0});
        }
        // Timers only need this much precision; an idle object wakes once a second.
        const int timeout = streaming ? 1 : searching ? 50 : !peers.empty() ? 250 : 1000;
        if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR)
            break;

        if (fds[0].revents & POLLIN)
            m_wakeup.Clear();
        if (fds[1].revents & POLLIN)
            m_search.ReadAnswers();
        if (responder && (fds[2].revents & POLLIN))
            responder->AnswerRequests();
        if (listenFd >= 0 && (fds[3].revents & POLLIN))
            AcceptPeers(listenFd);
        for (std::size_t i = 0; i < peers.size(); ++i)
            ServiceSocket(peers[i], fds[4 + i].revents);
    }
    std::vector<PeerConnection*> joined;
    {
        std::lock_guard lock(m_mutex);
        peers = m_peers;
    }
    for (const auto& p : peers)
        if (p->joined)
            joined.push_back(&p->link);
    m_delivered = PeerConnection::Linger(joined);
    // Senders still waiting for room learn that the session is over.
    for (const auto& p : peers)
        p->link.Close();
}
