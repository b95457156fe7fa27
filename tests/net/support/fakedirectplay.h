#pragma once

#include "platform/autoresetevent.h"
#include "platform/dplay/dplay.h"

#include <QByteArray>
#include <QString>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// A hand-written session object for the endpoint and the session search: a message queue
// the test fills, recorded calls, and results the test chooses. Thread-safe where the
// endpoint's receive thread calls it (Receive).
class FakeDirectPlay final : public IDirectPlay4A {
public:
    struct SendCall {
        DPID from, to;
        DWORD flags;
        QByteArray data;
        DWORD priority, timeout;
        void* context;
    };
    struct FakeSession {
        std::string name;
        GUID instance;
    };

    // Queues a message and signals the event given to CreatePlayer.
    void Push(DPID from, DPID to, const QByteArray& bytes);
    // Queues several without signalling, then signals once.
    void PushAll(DPID from, DPID to, const std::vector<QByteArray>& messages);
    std::size_t Queued() const;

    // Session search
    DWORD capsTimeout = 1000;
    HRESULT capsResult = DP_OK;
    std::vector<FakeSession> sessions;
    // Result of the n-th EnumSessions poll (from 0); polls beyond the list return DP_OK.
    std::vector<HRESULT> enumResults;
    std::vector<DWORD> enumFlags; // flags of every EnumSessions call, STOPASYNC included
    std::function<void()> onEnum; // runs inside each poll, before the callbacks
    GUID lastEnumApplication = GUID_NULL;
    std::string lastEnumPassword;

    // Opening: every call with its flags and description (texts copied), and the result.
    struct OpenCall {
        DWORD flags;
        DPSESSIONDESC2 desc;
        std::string name;
    };
    std::vector<OpenCall> opens;
    HRESULT openResult = DP_OK;
    HRESULT initializeResult = DP_OK;
    int initializeCalls = 0;

    // Players and sending
    HRESULT createPlayerResult = DP_OK;
    DPID nextPlayerId = 7;
    std::vector<std::string> createdNames;
    std::string sessionName = "Label#/srv/in";
    HRESULT sendResult = DP_OK;
    std::vector<SendCall> sends;
    std::shared_ptr<AutoResetEvent> event;

    HRESULT InitializeConnection(void* lpConnection, DWORD dwFlags) override;
    HRESULT GetCaps(LPDPCAPS lpDPCaps, DWORD dwFlags) override;
    HRESULT EnumSessions(LPDPSESSIONDESC2 lpsd, DWORD dwTimeout, LPDPENUMSESSIONSCALLBACK2 callback, void* lpContext,
                         DWORD dwFlags) override;
    HRESULT Open(LPDPSESSIONDESC2 lpsd, DWORD dwFlags) override;
    HRESULT CreatePlayer(DPID* lpidPlayer, LPDPNAME lpPlayerName, std::shared_ptr<AutoResetEvent> hEvent, void* lpData,
                         DWORD dwDataSize, DWORD dwFlags) override;
    HRESULT GetSessionDesc(void* lpData, DWORD* lpdwDataSize) override;
    HRESULT Receive(DPID* lpidFrom, DPID* lpidTo, DWORD dwFlags, void* lpData, DWORD* lpdwDataSize) override;
    HRESULT SendEx(DPID idFrom, DPID idTo, DWORD dwFlags, void* lpData, DWORD dwDataSize, DWORD dwPriority,
                   DWORD dwTimeout, void* lpContext, DWORD* lpdwMsgID) override;

private:
    struct QueuedMessage {
        DPID from, to;
        QByteArray bytes;
    };
    mutable std::mutex m_mutex;
    std::deque<QueuedMessage> m_queue;
};

// A GUID whose bytes are all `value`.
GUID FilledGuid(std::uint8_t value);
