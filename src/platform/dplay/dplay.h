#pragma once

// The session service: sessions, players and guaranteed messages between PCs on a LAN,
// offered with DirectPlay's operations, structures, flags, result codes and system messages
// so that the networking code reads as it would against DirectPlay.
//
// Differences worth knowing:
// - Objects come from CreateDirectPlay() / CreateDirectPlayLobby() and are shared_ptr's;
//   dropping the last reference is Release (it stops the service's thread, sends what is
//   still queued, and closes its sockets).
// - The event given to CreatePlayer is a shared AutoResetEvent.
// - Structures hold real pointers, so on 64-bit sizeof() exceeds the classic dwSize values;
//   the classic values (80 for DPSESSIONDESC2, 40 for DPCAPS, 16 for DPNAME) are accepted as
//   well as sizeof().

#include "platform/autoresetevent.h"

#include <cstdint>
#include <cstring>
#include <memory>

struct ReceivedMessages;

using HRESULT = std::int32_t;
using DWORD = std::uint32_t;
using WORD = std::uint16_t;
using BOOL = int;
using DPID = DWORD;

constexpr BOOL FALSE = 0;
constexpr BOOL TRUE = 1;

constexpr bool FAILED(HRESULT hr)
{
    return hr < 0;
}
constexpr bool SUCCEEDED(HRESULT hr)
{
    return hr >= 0;
}

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};
static_assert(sizeof(GUID) == 16);

inline bool operator==(const GUID& a, const GUID& b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}
inline bool operator!=(const GUID& a, const GUID& b)
{
    return !(a == b);
}

constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

// ---- result codes ----------------------------------------------------------------------

namespace dplay_detail {
constexpr HRESULT Code(std::uint32_t value)
{
    return static_cast<HRESULT>(value);
}
} // namespace dplay_detail

constexpr HRESULT DP_OK = 0;
constexpr HRESULT DPERR_PENDING = dplay_detail::Code(0x8000000A);

constexpr HRESULT DPERR_UNSUPPORTED = dplay_detail::Code(0x80004001);
constexpr HRESULT DPERR_NOINTERFACE = dplay_detail::Code(0x80004002);
constexpr HRESULT DPERR_GENERIC = dplay_detail::Code(0x80004005);
constexpr HRESULT DPERR_NOAGGREGATION = dplay_detail::Code(0x80040110);
constexpr HRESULT DPERR_OUTOFMEMORY = dplay_detail::Code(0x8007000E);
constexpr HRESULT DPERR_NOMEMORY = DPERR_OUTOFMEMORY;
constexpr HRESULT DPERR_INVALIDPARAMS = dplay_detail::Code(0x80070057);
constexpr HRESULT DPERR_INVALIDPARAM = DPERR_INVALIDPARAMS;
constexpr HRESULT DPERR_ALREADYINITIALIZED = dplay_detail::Code(0x88770005);
constexpr HRESULT DPERR_ACCESSDENIED = dplay_detail::Code(0x8877000A);
constexpr HRESULT DPERR_ACTIVEPLAYERS = dplay_detail::Code(0x88770014);
constexpr HRESULT DPERR_BUFFERTOOSMALL = dplay_detail::Code(0x8877001E);
constexpr HRESULT DPERR_CANTADDPLAYER = dplay_detail::Code(0x88770028);
constexpr HRESULT DPERR_CANTCREATEGROUP = dplay_detail::Code(0x88770032);
constexpr HRESULT DPERR_CANTCREATEPLAYER = dplay_detail::Code(0x8877003C);
constexpr HRESULT DPERR_CANTCREATESESSION = dplay_detail::Code(0x88770046);
constexpr HRESULT DPERR_CAPSNOTAVAILABLEYET = dplay_detail::Code(0x88770050);
constexpr HRESULT DPERR_EXCEPTION = dplay_detail::Code(0x8877005A);
constexpr HRESULT DPERR_INVALIDFLAGS = dplay_detail::Code(0x88770078);
constexpr HRESULT DPERR_INVALIDOBJECT = dplay_detail::Code(0x88770082);
constexpr HRESULT DPERR_INVALIDPLAYER = dplay_detail::Code(0x88770096);
constexpr HRESULT DPERR_INVALIDGROUP = dplay_detail::Code(0x8877009B);
constexpr HRESULT DPERR_NOCAPS = dplay_detail::Code(0x887700A0);
constexpr HRESULT DPERR_NOCONNECTION = dplay_detail::Code(0x887700AA);
constexpr HRESULT DPERR_NOMESSAGES = dplay_detail::Code(0x887700BE);
constexpr HRESULT DPERR_NONAMESERVERFOUND = dplay_detail::Code(0x887700C8);
constexpr HRESULT DPERR_NOPLAYERS = dplay_detail::Code(0x887700D2);
constexpr HRESULT DPERR_NOSESSIONS = dplay_detail::Code(0x887700DC);
constexpr HRESULT DPERR_SENDTOOBIG = dplay_detail::Code(0x887700E6);
constexpr HRESULT DPERR_TIMEOUT = dplay_detail::Code(0x887700F0);
constexpr HRESULT DPERR_UNAVAILABLE = dplay_detail::Code(0x887700FA);
constexpr HRESULT DPERR_BUSY = dplay_detail::Code(0x8877010E);
constexpr HRESULT DPERR_USERCANCEL = dplay_detail::Code(0x88770118);
constexpr HRESULT DPERR_PLAYERLOST = dplay_detail::Code(0x8877012C);
constexpr HRESULT DPERR_SESSIONLOST = dplay_detail::Code(0x88770136);
constexpr HRESULT DPERR_UNINITIALIZED = dplay_detail::Code(0x88770140);
constexpr HRESULT DPERR_NONEWPLAYERS = dplay_detail::Code(0x8877014A);
constexpr HRESULT DPERR_INVALIDPASSWORD = dplay_detail::Code(0x88770154);
constexpr HRESULT DPERR_CONNECTING = dplay_detail::Code(0x8877015E);
constexpr HRESULT DPERR_BUFFERTOOLARGE = dplay_detail::Code(0x887703E8);
constexpr HRESULT DPERR_CANTCREATEPROCESS = dplay_detail::Code(0x887703F2);
constexpr HRESULT DPERR_APPNOTSTARTED = dplay_detail::Code(0x887703FC);
constexpr HRESULT DPERR_INVALIDINTERFACE = dplay_detail::Code(0x88770406);
constexpr HRESULT DPERR_UNKNOWNAPPLICATION = dplay_detail::Code(0x8877041A);
constexpr HRESULT DPERR_NOTLOBBIED = dplay_detail::Code(0x8877042E);
constexpr HRESULT DPERR_AUTHENTICATIONFAILED = dplay_detail::Code(0x887707D0);
constexpr HRESULT DPERR_CANTLOADSSPI = dplay_detail::Code(0x887707DA);
constexpr HRESULT DPERR_ENCRYPTIONFAILED = dplay_detail::Code(0x887707E4);
constexpr HRESULT DPERR_SIGNFAILED = dplay_detail::Code(0x887707EE);
constexpr HRESULT DPERR_CANTLOADSECURITYPACKAGE = dplay_detail::Code(0x887707F8);
constexpr HRESULT DPERR_CANTLOADCAPI = dplay_detail::Code(0x8877080C);
constexpr HRESULT DPERR_NOTLOGGEDIN = dplay_detail::Code(0x88770816);
constexpr HRESULT DPERR_LOGONDENIED = dplay_detail::Code(0x88770820);

// ---- player ids ------------------------------------------------------------------------

constexpr DPID DPID_SYSMSG = 0;
constexpr DPID DPID_ALLPLAYERS = 0;
constexpr DPID DPID_SERVERPLAYER = 1;
constexpr DPID DPID_UNKNOWN = 0xFFFFFFFF;

// ---- flags -----------------------------------------------------------------------------

constexpr DWORD DPSESSION_KEEPALIVE = 0x00000040;
constexpr DWORD DPSESSION_DIRECTPLAYPROTOCOL = 0x00002000;

constexpr DWORD DPOPEN_JOIN = 0x00000001;
constexpr DWORD DPOPEN_CREATE = 0x00000002;

constexpr DWORD DPENUMSESSIONS_AVAILABLE = 0x00000001;
constexpr DWORD DPENUMSESSIONS_ALL = 0x00000002;
constexpr DWORD DPENUMSESSIONS_ASYNC = 0x00000010;
constexpr DWORD DPENUMSESSIONS_STOPASYNC = 0x00000020;
constexpr DWORD DPENUMSESSIONS_PASSWORDREQUIRED = 0x00000040;

constexpr DWORD DPESC_TIMEDOUT = 0x00000001;

constexpr DWORD DPSEND_GUARANTEED = 0x00000001;

constexpr DWORD DPRECEIVE_ALL = 0x00000001;
constexpr DWORD DPRECEIVE_TOPLAYER = 0x00000002;
constexpr DWORD DPRECEIVE_FROMPLAYER = 0x00000004;
constexpr DWORD DPRECEIVE_PEEK = 0x00000008;

constexpr DWORD DPCAPS_ISHOST = 0x00000002;

constexpr DWORD DPPLAYERTYPE_PLAYER = 0x00000001;

constexpr DWORD DPLCONNECTION_CREATESESSION = 0x00000002;
constexpr DWORD DPLCONNECTION_JOINSESSION = 0x00000001;

// ---- system message types (first DWORD of a message from DPID_SYSMSG) --------------------

constexpr DWORD DPSYS_CREATEPLAYERORGROUP = 0x0003;
constexpr DWORD DPSYS_DESTROYPLAYERORGROUP = 0x0005;
constexpr DWORD DPSYS_SESSIONLOST = 0x0031;
constexpr DWORD DPSYS_SENDCOMPLETE = 0x010D;

// ---- structures ------------------------------------------------------------------------

// Classic sizes that callers put in dwSize.
constexpr DWORD DPSESSIONDESC2_SIZE = 80;
constexpr DWORD DPCAPS_SIZE = 40;
constexpr DWORD DPNAME_SIZE = 16;

struct DPSESSIONDESC2 {
    DWORD dwSize;
    DWORD dwFlags;
    GUID guidInstance;
    GUID guidApplication;
    DWORD dwMaxPlayers; // 0: no limit
    DWORD dwCurrentPlayers;
    char* lpszSessionNameA;
    char* lpszPasswordA;
    DWORD dwReserved1;
    DWORD dwReserved2;
    DWORD dwUser1;
    DWORD dwUser2;
    DWORD dwUser3;
    DWORD dwUser4;
};
using LPDPSESSIONDESC2 = DPSESSIONDESC2*;
using LPCDPSESSIONDESC2 = const DPSESSIONDESC2*;

struct DPNAME {
    DWORD dwSize;
    DWORD dwFlags;
    char* lpszShortNameA;
    char* lpszLongNameA;
};
using LPDPNAME = DPNAME*;

struct DPCAPS {
    DWORD dwSize;
    DWORD dwFlags;
    DWORD dwMaxBufferSize; // largest message SendEx accepts
    DWORD dwMaxQueueSize;
    DWORD dwMaxPlayers;
    DWORD dwHundredBaud;
    DWORD dwLatency;
    DWORD dwMaxLocalPlayers;
    DWORD dwHeaderLength;
    DWORD dwTimeout; // ms; a session search spreads its polls over this time
};
static_assert(sizeof(DPCAPS) == 40);
using LPDPCAPS = DPCAPS*;

struct DPCOMPOUNDADDRESSELEMENT {
    GUID guidDataType;
    DWORD dwDataSize;
    void* lpData;
};
using LPCDPCOMPOUNDADDRESSELEMENT = const DPCOMPOUNDADDRESSELEMENT*;

struct DPLCONNECTION {
    DWORD dwSize;
    DWORD dwFlags;
    LPDPSESSIONDESC2 lpSessionDesc;
    LPDPNAME lpPlayerName;
    GUID guidSP;
    void* lpAddress;
    DWORD dwAddressSize;
};
using LPDPLCONNECTION = DPLCONNECTION*;

// System messages as Receive delivers them. Pointers inside point into the caller's own
// receive buffer (the short name follows the structure) or are null.
struct DPMSG_GENERIC {
    DWORD dwType;
};

struct DPMSG_CREATEPLAYERORGROUP {
    DWORD dwType;       // DPSYS_CREATEPLAYERORGROUP
    DWORD dwPlayerType; // DPPLAYERTYPE_PLAYER
    DPID dpId;
    DWORD dwCurrentPlayers;
    void* lpData;
    DWORD dwDataSize;
    DPNAME dpnName;
    DPID dpIdParent;
    DWORD dwFlags;
};

struct DPMSG_DESTROYPLAYERORGROUP {
    DWORD dwType; // DPSYS_DESTROYPLAYERORGROUP
    DWORD dwPlayerType;
    DPID dpId;
    void* lpLocalData;
    DWORD dwLocalDataSize;
    void* lpRemoteData;
    DWORD dwRemoteDataSize;
    DPNAME dpnName;
    DPID dpIdParent;
    DWORD dwFlags;
};

struct DPMSG_SESSIONLOST {
    DWORD dwType; // DPSYS_SESSIONLOST
};

// Called once per session known, then once with DPESC_TIMEDOUT in dwFlags (lpThisSD null);
// returning FALSE ends the list early.
using LPDPENUMSESSIONSCALLBACK2 = BOOL (*)(LPCDPSESSIONDESC2 lpThisSD, DWORD* lpdwTimeOut, DWORD dwFlags,
                                           void* lpContext);

// ---- address data types and service providers -------------------------------------------

constexpr GUID DPAID_TotalSize = {0x1318F560, 0x912C, 0x11D0, {0x9D, 0xAA, 0x00, 0xA0, 0xC9, 0x0A, 0x43, 0xCB}};
constexpr GUID DPAID_ServiceProvider = {0x07D916C0, 0xE0AF, 0x11CF, {0x9C, 0x4E, 0x00, 0xA0, 0xC9, 0x05, 0x42, 0x5E}};
constexpr GUID DPAID_INet = {0xC4A54DA0, 0xE0AF, 0x11CF, {0x9C, 0x4E, 0x00, 0xA0, 0xC9, 0x05, 0x42, 0x5E}};
constexpr GUID DPAID_INetPort = {0xE4524541, 0x8EA5, 0x11D1, {0x8A, 0x96, 0x00, 0x60, 0x97, 0xB0, 0x14, 0x11}};
constexpr GUID DPSPGUID_TCPIP = {0x36E95EE0, 0x8577, 0x11CF, {0x96, 0x0C, 0x00, 0x80, 0xC7, 0x53, 0x4E, 0x82}};
constexpr GUID DPSPGUID_IPX = {0x685BC400, 0x9D2C, 0x11CF, {0xA9, 0xCD, 0x00, 0xAA, 0x00, 0x68, 0x86, 0xE3}};

// ---- objects ---------------------------------------------------------------------------

// A session object: binds to a service provider, finds sessions, hosts or joins one, makes
// players, and sends and receives messages. All methods may be called from any thread;
// SendEx and Receive may run at the same time on different threads.
class IDirectPlay4A {
public:
    virtual ~IDirectPlay4A() = default;

    // lpConnection: an address from IDirectPlayLobby3A::CreateCompoundAddress. TCP/IP binds
    // the object (an INet host names the one host to ask when searching, INetPort its
    // discovery port); IPX answers DPERR_UNAVAILABLE.
    virtual HRESULT InitializeConnection(void* lpConnection, DWORD dwFlags) = 0;
    virtual HRESULT GetCaps(LPDPCAPS lpDPCaps, DWORD dwFlags) = 0;
    // With DPENUMSESSIONS_ASYNC: returns at once after calling back once per session heard
    // from lately, then once with DPESC_TIMEDOUT; requests go on in the background until
    // DPENUMSESSIONS_STOPASYNC. Without it: asks for dwTimeout ms (0: the provider's
    // dwTimeout), then calls back. DPENUMSESSIONS_ALL lists full sessions too.
    virtual HRESULT EnumSessions(LPDPSESSIONDESC2 lpsd, DWORD dwTimeout,
                                 LPDPENUMSESSIONSCALLBACK2 lpEnumSessionsCallback2, void* lpContext, DWORD dwFlags) = 0;
    virtual HRESULT Open(LPDPSESSIONDESC2 lpsd, DWORD dwFlags) = 0;
    virtual HRESULT CreatePlayer(DPID* lpidPlayer, LPDPNAME lpPlayerName, std::shared_ptr<AutoResetEvent> hEvent,
                                 void* lpData, DWORD dwDataSize, DWORD dwFlags) = 0;
    // Writes a DPSESSIONDESC2 followed by the texts its pointers point to.
    virtual HRESULT GetSessionDesc(void* lpData, DWORD* lpdwDataSize) = 0;
    // Takes the oldest message (DPRECEIVE_PEEK leaves it queued): DPERR_BUFFERTOOSMALL with
    // the size needed in *lpdwDataSize, DPERR_NOMESSAGES when none waits. System messages come
    // from DPID_SYSMSG. DPRECEIVE_TOPLAYER / FROMPLAYER answer DPERR_UNSUPPORTED.
    virtual HRESULT Receive(DPID* lpidFrom, DPID* lpidTo, DWORD dwFlags, void* lpData, DWORD* lpdwDataSize) = 0;
    // Not in DirectPlay: takes the waiting messages into `batch` (emptied first) as Receive
    // would take them one by one, without copying them where the object can avoid it: at
    // least one message when any waits, more while fewer than `maxMessages` and `maxBytes`
    // are taken (an object may overshoot both by what arrived together). DPERR_NOMESSAGES
    // when none waits. This form calls Receive for each message.
    virtual HRESULT ReceiveBatch(ReceivedMessages& batch, std::size_t maxMessages, std::size_t maxBytes);
    // Queues the message and returns; waits only while the send queue is full, for at most
    // dwTimeout ms when that is not 0 (then DPERR_TIMEOUT, and the message is not sent to a
    // peer whose queue stayed full). Every message queued is delivered complete and in order
    // (as with DPSEND_GUARANTEED) or the session is lost; after that it answers
    // DPERR_SESSIONLOST.
    virtual HRESULT SendEx(DPID idFrom, DPID idTo, DWORD dwFlags, void* lpData, DWORD dwDataSize, DWORD dwPriority,
                           DWORD dwTimeout, void* lpContext, DWORD* lpdwMsgID) = 0;
    // Not in DirectPlay: room in the send queue for `count` guaranteed messages of `size`
    // bytes each, which the caller fills in place (message i at *base + i * *stride) and
    // then sends with SendReserved, or gives back with CancelReserved; nothing is copied
    // on the way to the connection. Waits for room like SendEx. One reservation at a time.
    // DPERR_UNSUPPORTED where the object cannot offer room (this form; a message for a
    // player of this object or for several connections): use SendEx then.
    virtual HRESULT ReserveSend(DPID idFrom, DPID idTo, DWORD size, DWORD count, std::uint8_t** base,
                                std::size_t* stride);
    virtual HRESULT SendReserved() { return DPERR_UNSUPPORTED; }
    virtual void CancelReserved() {}
    // Leaves the session: sends what is still queued, ends every connection and waits until
    // each peer has taken all of it and closed its side in turn. DP_OK when everything
    // arrived; DPERR_SESSIONLOST when a peer went away, or stopped taking data, first. Later
    // sends fail; Receive still hands out what had arrived. An object without connections
    // has nothing to wait for.
    virtual HRESULT Close() { return DP_OK; }
    // Host: ends the connection of the remote player `id` once what is queued for it is
    // sent; nothing more it sends is taken, and it leaves as if its link broke (a refused
    // client so learns that its copy did not arrive). DPERR_INVALIDPLAYER when no connection
    // holds that player; DPERR_UNSUPPORTED where the object cannot.
    virtual HRESULT DropPlayer(DPID /*id*/) { return DPERR_UNSUPPORTED; }
};

// Builds service-provider addresses.
class IDirectPlayLobby3A {
public:
    virtual ~IDirectPlayLobby3A() = default;

    // Two calls: with no buffer (or one too small) it answers DPERR_BUFFERTOOSMALL and sets
    // *lpdwAddressSize to the size needed; with a large enough buffer it fills it.
    virtual HRESULT CreateCompoundAddress(LPCDPCOMPOUNDADDRESSELEMENT lpElements, DWORD dwElementCount, void* lpAddress,
                                          DWORD* lpdwAddressSize) = 0;
};

std::shared_ptr<IDirectPlay4A> CreateDirectPlay();
std::shared_ptr<IDirectPlayLobby3A> CreateDirectPlayLobby();
