#include "net/tsessionenumerator.h"

#include "net/logging.h"
#include "net/resulttext.h"
#include "platform/apperror.h"

#include <QtDebug>

#include <cstring>

bool PollBusy = false;

namespace {

// Clears PollBusy however EnumSessions returns.
class PollBusyGuard {
public:
    PollBusyGuard() { PollBusy = true; }
    ~PollBusyGuard() { PollBusy = false; }
    PollBusyGuard(const PollBusyGuard&) = delete;
    PollBusyGuard& operator=(const PollBusyGuard&) = delete;
};

} // namespace

TSessionEnumerator::TSessionEnumerator(QObject* owner) : QObject(owner)
{
    m_timer.setSingleShot(false);
    connect(&m_timer, &QTimer::timeout, this, &TSessionEnumerator::Poll);
}

TSessionEnumerator::~TSessionEnumerator()
{
    if (m_alive)
        *m_alive = false;
    Stop();
}

void TSessionEnumerator::Start()
{
    if (!DirectPlay)
        throw AppError(QStringLiteral("Initialize DPObject first!"));

    m_password = Password.toLocal8Bit();
    SessionDesc = DPSESSIONDESC2{};
    SessionDesc.dwSize = DPSESSIONDESC2_SIZE;
    SessionDesc.guidApplication = ApplicationGuid;
    SessionDesc.lpszPasswordA = m_password.data();
    m_enumFlags = Password.isEmpty() ? 0 : DPENUMSESSIONS_PASSWORDREQUIRED;

    DPCAPS caps{};
    caps.dwSize = DPCAPS_SIZE;
    const HRESULT capsResult = DirectPlay->GetCaps(&caps, 0);
    DWORD timeout = caps.dwTimeout;
    if (FAILED(capsResult) || timeout < static_cast<DWORD>(kAttempts))
        timeout = kFallbackTimeout; // a zero interval would never let the search end

    m_attempts = kAttempts;
    m_finished = false;
    m_timer.setInterval(static_cast<int>(timeout / static_cast<DWORD>(m_attempts)));
    m_timer.start();
    Poll();
}

void TSessionEnumerator::Stop()
{
    if (!DirectPlay || !m_timer.isActive())
        return;
    DirectPlay->EnumSessions(&SessionDesc, 0, nullptr, nullptr, DPENUMSESSIONS_STOPASYNC);
    m_timer.stop();
    DirectPlay.reset();
}

void TSessionEnumerator::Poll()
{
    if (PollBusy || !DirectPlay)
        return;
    if (!SessionList)
        SessionList = std::make_shared<TObjectList>();

    HRESULT hr = DP_OK;
    {
        PollBusyGuard busy;
        SessionList->Clear();
        hr = DirectPlay->EnumSessions(&SessionDesc, 0, &TSessionEnumerator::EnumSessionsCallback, this,
                                      m_enumFlags | DPENUMSESSIONS_AVAILABLE | DPENUMSESSIONS_ASYNC);
    }

    --m_attempts;
    m_finished = m_attempts < 0;
    if (m_finished)
        m_timer.stop();

    if (SUCCEEDED(hr)) {
        if (OnEnumerated && !Raise([this] { OnEnumerated(this); }))
            return;
    } else if (hr != DPERR_USERCANCEL) {
        m_timer.stop();
        const QString text = ResultText(hr);
        if (OnError) {
            if (!Raise([this, &text] { OnError(this, text); }))
                return;
        } else {
            qCWarning(lcNet, "Session search failed: %s", qUtf8Printable(text));
        }
    }

    // The owner may have stopped the search meanwhile, or restarted it.
    const bool endedByItself = m_finished || (FAILED(hr) && hr != DPERR_USERCANCEL);
    if (endedByItself && !m_timer.isActive() && OnSearchEnded)
        Raise([this] { OnSearchEnded(this); });
}

bool TSessionEnumerator::Raise(const std::function<void()>& event)
{
    bool alive = true;
    bool* outer = m_alive;
    m_alive = &alive;
    try {
        event();
    } catch (...) {
        if (alive)
            m_alive = outer;
        else if (outer)
            *outer = false;
        throw;
    }
    if (!alive) {
        if (outer)
            *outer = false;
        return false;
    }
    m_alive = outer;
    return true;
}

BOOL TSessionEnumerator::EnumSessionsCallback(LPCDPSESSIONDESC2 lpThisSD, DWORD*, DWORD dwFlags, void* lpContext)
{
    if (dwFlags & DPESC_TIMEDOUT)
        return FALSE;
    auto* self = static_cast<TSessionEnumerator*>(lpContext);
    if (!self || !lpThisSD)
        return FALSE;
    QByteArray block(sizeof(GUID), '\0');
    std::memcpy(block.data(), &lpThisSD->guidInstance, sizeof(GUID));
    const QString name = lpThisSD->lpszSessionNameA ? QString::fromLocal8Bit(lpThisSD->lpszSessionNameA) : QString();
    self->SessionList->AddObject(name, block);
    return TRUE;
}
