#include "platform/dplay/sessionservice.h"

SessionService::SessionService() = default;
SessionService::~SessionService() = default;
HRESULT SessionService::InitializeConnection(void*, DWORD) { return DPERR_UNSUPPORTED; }
HRESULT SessionService::GetCaps(LPDPCAPS, DWORD) { return DPERR_UNSUPPORTED; }
HRESULT SessionService::EnumSessions(LPDPSESSIONDESC2, DWORD, LPDPENUMSESSIONSCALLBACK2, void*, DWORD) { return DPERR_UNSUPPORTED; }
HRESULT SessionService::Open(LPDPSESSIONDESC2, DWORD) { return DPERR_UNSUPPORTED; }
HRESULT SessionService::CreatePlayer(DPID*, LPDPNAME, std::shared_ptr<AutoResetEvent>, void*, DWORD, DWORD) { return DPERR_UNSUPPORTED; }
HRESULT SessionService::GetSessionDesc(void*, DWORD*) { return DPERR_UNSUPPORTED; }
HRESULT SessionService::Receive(DPID*, DPID*, DWORD, void*, DWORD*) { return DPERR_UNSUPPORTED; }
HRESULT SessionService::SendEx(DPID, DPID, DWORD, void*, DWORD, DWORD, DWORD, void*, DWORD*) { return DPERR_UNSUPPORTED; }
