#include "net/support/fakedirectplay.h"

#include <cstring>

GUID FilledGuid(std::uint8_t value)
{
    GUID guid;
    std::memset(&guid, value, sizeof guid);
    return guid;
}

void FakeDirectPlay::Push(DPID from, DPID to, const QByteArray& bytes)
{
    PushAll(from, to, {bytes});
}

void FakeDirectPlay::PushAll(DPID from, DPID to, const std::vector<QByteArray>& messages)
{
    std::shared_ptr<AutoResetEvent> toSignal;
    {
        std::lock_guard lock(m_mutex);
        for (const QByteArray& bytes : messages)
            m_queue.push_back({from, to, bytes});
        toSignal = event;
    }
    if (toSignal)
        toSignal->Set();
}

std::size_t FakeDirectPlay::Queued() const
{
    std::lock_guard lock(m_mutex);
    return m_queue.size();
}

HRESULT FakeDirectPlay::InitializeConnection(void*, DWORD)
{
    ++initializeCalls;
    return initializeResult;
}

HRESULT FakeDirectPlay::GetCaps(LPDPCAPS caps, DWORD)
{
    if (FAILED(capsResult))
        return capsResult;
    caps->dwTimeout = capsTimeout;
    return DP_OK;
}

HRESULT FakeDirectPlay::EnumSessions(LPDPSESSIONDESC2 lpsd, DWORD, LPDPENUMSESSIONSCALLBACK2 callback, void* context,
                                     DWORD flags)
{
    enumFlags.push_back(flags);
    lastEnumApplication = lpsd->guidApplication;
    lastEnumPassword = lpsd->lpszPasswordA ? lpsd->lpszPasswordA : "";
    if (flags & DPENUMSESSIONS_STOPASYNC)
        return DP_OK;
    const std::size_t poll = enumFlags.size() - 1;
    if (onEnum)
        onEnum();
    const HRESULT result = poll < enumResults.size() ? enumResults[poll] : DP_OK;
    if (FAILED(result))
        return result;
    for (const FakeSession& session : sessions) {
        DPSESSIONDESC2 desc{};
        desc.dwSize = DPSESSIONDESC2_SIZE;
        desc.guidInstance = session.instance;
        desc.guidApplication = lpsd->guidApplication;
        desc.lpszSessionNameA = const_cast<char*>(session.name.c_str());
        DWORD timeout = 0;
        if (!callback(&desc, &timeout, 0, context))
            return DP_OK;
    }
    DWORD timeout = 0;
    callback(nullptr, &timeout, DPESC_TIMEDOUT, context);
    return DP_OK;
}

HRESULT FakeDirectPlay::Open(LPDPSESSIONDESC2 lpsd, DWORD dwFlags)
{
    OpenCall call{dwFlags, *lpsd, lpsd->lpszSessionNameA ? lpsd->lpszSessionNameA : ""};
    call.desc.lpszSessionNameA = nullptr;
    opens.push_back(call);
    return openResult;
}

HRESULT FakeDirectPlay::CreatePlayer(DPID* id, LPDPNAME name, std::shared_ptr<AutoResetEvent> hEvent, void*, DWORD,
                                     DWORD)
{
    createdNames.push_back(name && name->lpszShortNameA ? name->lpszShortNameA : "");
    if (FAILED(createPlayerResult))
        return createPlayerResult;
    *id = nextPlayerId++;
    bool pending = false;
    {
        std::lock_guard lock(m_mutex);
        event = std::move(hEvent);
        pending = !m_queue.empty();
    }
    if (pending)
        event->Set();
    return DP_OK;
}

HRESULT FakeDirectPlay::GetSessionDesc(void* data, DWORD* size)
{
    const DWORD needed = static_cast<DWORD>(sizeof(DPSESSIONDESC2) + sessionName.size() + 1);
    if (!data || *size < needed) {
        *size = needed;
        return DPERR_BUFFERTOOSMALL;
    }
    auto* desc = static_cast<DPSESSIONDESC2*>(data);
    *desc = DPSESSIONDESC2{};
    desc->dwSize = DPSESSIONDESC2_SIZE;
    desc->dwFlags = DPSESSION_KEEPALIVE | DPSESSION_DIRECTPLAYPROTOCOL;
    desc->guidInstance = FilledGuid(0x11);
    desc->dwMaxPlayers = 2;
    desc->dwCurrentPlayers = 1;
    char* text = static_cast<char*>(data) + sizeof(DPSESSIONDESC2);
    std::memcpy(text, sessionName.c_str(), sessionName.size() + 1);
    desc->lpszSessionNameA = text;
    *size = needed;
    return DP_OK;
}

HRESULT FakeDirectPlay::Receive(DPID* from, DPID* to, DWORD, void* data, DWORD* size)
{
    std::lock_guard lock(m_mutex);
    if (m_queue.empty())
        return DPERR_NOMESSAGES;
    const QueuedMessage& front = m_queue.front();
    const auto needed = static_cast<DWORD>(front.bytes.size());
    if (*size < needed) {
        *size = needed;
        return DPERR_BUFFERTOOSMALL;
    }
    if (!data && needed > 0)
        return DPERR_INVALIDPARAMS;
    if (needed > 0)
        std::memcpy(data, front.bytes.constData(), needed);
    *size = needed;
    *from = front.from;
    *to = front.to;
    m_queue.pop_front();
    return DP_OK;
}

HRESULT FakeDirectPlay::SendEx(DPID from, DPID to, DWORD flags, void* data, DWORD size, DWORD priority, DWORD timeout,
                               void* context, DWORD* msgId)
{
    sends.push_back({from, to, flags, QByteArray(static_cast<const char*>(data), size), priority, timeout, context});
    *msgId = static_cast<DWORD>(sends.size());
    return sendResult;
}
