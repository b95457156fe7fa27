#pragma once

#include "platform/dplay/dplay.h"

// The session object of the TCP/IP provider (see dplay.h).
class SessionService final : public IDirectPlay4A {
public:
    SessionService();
    ~SessionService() override;

    HRESULT InitializeConnection(void* lpConnection, DWORD dwFlags) override;
    HRESULT GetCaps(LPDPCAPS lpDPCaps, DWORD dwFlags) override;
    HRESULT EnumSessions(LPDPSESSIONDESC2 lpsd, DWORD dwTimeout,
                         LPDPENUMSESSIONSCALLBACK2 lpEnumSessionsCallback2, void* lpContext,
                         DWORD dwFlags) override;
    HRESULT Open(LPDPSESSIONDESC2 lpsd, DWORD dwFlags) override;
    HRESULT CreatePlayer(DPID* lpidPlayer, LPDPNAME lpPlayerName,
                         std::shared_ptr<AutoResetEvent> hEvent, void* lpData, DWORD dwDataSize,
                         DWORD dwFlags) override;
    HRESULT GetSessionDesc(void* lpData, DWORD* lpdwDataSize) override;
    HRESULT Receive(DPID* lpidFrom, DPID* lpidTo, DWORD dwFlags, void* lpData,
                    DWORD* lpdwDataSize) override;
    HRESULT SendEx(DPID idFrom, DPID idTo, DWORD dwFlags, void* lpData, DWORD dwDataSize,
                   DWORD dwPriority, DWORD dwTimeout, void* lpContext,
                   DWORD* lpdwMsgID) override;
};
