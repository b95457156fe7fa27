// The session service's message operations: what local players send (at once or in a
// reserved room of a connection's send queue) and what they receive, a batch at a time. The
// other operations are in sessionservice.cpp, the network thread's side in sessionloop.cpp.

#include "platform/dplay/sessionservice.h"

#include "platform/dplay/receivedmessages.h"

#include <array>
#include <cstddef>
#include <cstring>
#include <utility>

HRESULT SessionService::SendEx(DPID idFrom, DPID idTo, DWORD, void* lpData, DWORD dwDataSize, DWORD, DWORD dwTimeout,
                               void*, DWORD* lpdwMsgID)
{
    if (!lpData || dwDataSize == 0)
        return DPERR_INVALIDPARAMS;
    if (dwDataSize > FrameCodec::kMaxMessage)
        return DPERR_SENDTOOBIG;

    // The message goes to every joined peer, or through the one that owns idTo (a client
    // reaches everyone through the host).
    std::array<std::shared_ptr<Peer>, FrameRules::kMaxConnections> targets;
    std::size_t count = 0;
    {
        std::lock_guard lock(m_mutex);
        if (const HRESULT hr = CanSendLocked(idFrom); FAILED(hr))
            return hr;
        if (idTo != DPID_ALLPLAYERS && m_players.IsLocal(idTo)) {
            m_received.Push(idFrom, idTo, lpData, dwDataSize);
            if (lpdwMsgID)
                *lpdwMsgID = ++m_nextMessageId;
            return DP_OK;
        }
        for (const auto& p : m_peers) {
            if (count < targets.size() && CarriesLocked(*p, idTo))
                targets[count++] = p;
        }
        if (idTo != DPID_ALLPLAYERS && count == 0)
            return DPERR_INVALIDPLAYER;
    }
    // Waits for room outside m_mutex: the network thread needs it to make room.
    bool timedOut = false;
    for (std::size_t i = 0; i < count; ++i)
        timedOut |= targets[i]->link.QueueData(idFrom, idTo, lpData, dwDataSize, std::chrono::milliseconds(dwTimeout))
                    == PeerConnection::Queued::TimedOut;
    if (m_sessionLost || m_stop)
        return DPERR_SESSIONLOST;
    if (timedOut)
        return DPERR_TIMEOUT;
    if (lpdwMsgID)
        *lpdwMsgID = ++m_nextMessageId;
    return DP_OK;
}

HRESULT SessionService::ReserveSend(DPID idFrom, DPID idTo, DWORD size, DWORD count, std::uint8_t** base,
                                    std::size_t* stride)
{
    // Rooms larger than this are not worth holding back from the connection.
    constexpr std::size_t kMaxRoom = 4 * 1024 * 1024;
    if (!base || !stride || size == 0 || count == 0 || m_reservedFor)
        return DPERR_INVALIDPARAMS;
    if (size > FrameCodec::kMaxMessage)
        return DPERR_SENDTOOBIG;
    if (std::size_t(count) * (size + FrameCodec::kHeader + FrameCodec::kDataHeader) > kMaxRoom)
        return DPERR_INVALIDPARAMS;
    std::shared_ptr<Peer> target;
    {
        std::lock_guard lock(m_mutex);
        if (const HRESULT hr = CanSendLocked(idFrom); FAILED(hr))
            return hr;
        if (idTo != DPID_ALLPLAYERS && m_players.IsLocal(idTo))
            return DPERR_UNSUPPORTED; // delivered here, not through a connection
        for (const auto& p : m_peers) {
            if (CarriesLocked(*p, idTo)) {
                if (target)
                    return DPERR_UNSUPPORTED; // several connections: each needs its own copy
                target = p;
            }
        }
        if (!target)
            return idTo == DPID_ALLPLAYERS ? DPERR_UNSUPPORTED : DPERR_INVALIDPLAYER;
    }
    // Waits for room outside m_mutex, as SendEx does.
    if (!target->link.Reserve(idFrom, idTo, size, count, base, stride) || m_sessionLost || m_stop) {
        target->link.CancelReserved();
        return DPERR_SESSIONLOST;
    }
    m_reservedFor = std::move(target);
    return DP_OK;
}

HRESULT SessionService::SendReserved()
{
    const auto target = std::exchange(m_reservedFor, nullptr);
    if (!target)
        return DPERR_INVALIDPARAMS;
    target->link.CommitReserved();
    if (m_sessionLost || m_stop)
        return DPERR_SESSIONLOST;
    ++m_nextMessageId;
    return DP_OK;
}

void SessionService::CancelReserved()
{
    if (const auto target = std::exchange(m_reservedFor, nullptr))
        target->link.CancelReserved();
}

HRESULT SessionService::Receive(DPID* lpidFrom, DPID* lpidTo, DWORD dwFlags, void* lpData, DWORD* lpdwDataSize)
{
    if (!lpidFrom || !lpidTo || !lpdwDataSize)
        return DPERR_INVALIDPARAMS;
    if (dwFlags & (DPRECEIVE_TOPLAYER | DPRECEIVE_FROMPLAYER))
        return DPERR_UNSUPPORTED; // one queue per object, taken in arrival order

    DPID from, to;
    const HRESULT hr = m_received.Take(&from, &to, lpData, lpdwDataSize, dwFlags & DPRECEIVE_PEEK);
    if (hr != DP_OK)
        return hr;
    *lpidFrom = from;
    *lpidTo = m_players.Addressee(to);
    if (from == DPID_SYSMSG)
        PointAtName(lpData, *lpdwDataSize);
    return DP_OK;
}

HRESULT SessionService::ReceiveBatch(ReceivedMessages& batch, std::size_t maxMessages, std::size_t maxBytes)
{
    const HRESULT hr = m_received.TakeBatch(batch, maxMessages, maxBytes);
    for (auto& m : batch.messages) {
        m.toId = m_players.Addressee(m.toId);
        if (m.fromId == DPID_SYSMSG)
            PointAtName(m.data, m.size);
    }
    return hr;
}

void SessionService::PointAtName(void* message, DWORD size)
{
    if (size <= sizeof(DPMSG_CREATEPLAYERORGROUP))
        return;
    DWORD type;
    std::memcpy(&type, message, 4);
    if (type == DPSYS_CREATEPLAYERORGROUP) {
        // The name follows the structure; point at it inside the message's own bytes.
        char* name = static_cast<char*>(message) + sizeof(DPMSG_CREATEPLAYERORGROUP);
        std::memcpy(static_cast<char*>(message) + offsetof(DPMSG_CREATEPLAYERORGROUP, dpnName)
                        + offsetof(DPNAME, lpszShortNameA),
                    &name, sizeof name);
    }
}
