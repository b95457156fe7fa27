#include "net/resulttext.h"

#include "platform/apperror.h"

#include <array>

namespace {

struct ResultRow {
    std::uint32_t code;
    const char* name;
    const char* text;
};

// One row per code. The general COM codes that the session service reuses appear once,
// under the service's own name (DPERR_OUTOFMEMORY is also known as DPERR_NOMEMORY,
// DPERR_INVALIDPARAMS as DPERR_INVALIDPARAM).
constexpr std::array<ResultRow, 51> kResults{{
    {0x80004001u, "DPERR_UNSUPPORTED",
     "The function or feature is not available in this implementation or on this service "
     "provider."},
    {0x80004002u, "DPERR_NOINTERFACE", "The interface is not supported."},
    {0x80004005u, "DPERR_GENERIC", "An undefined error condition occurred."},
    {0x80040110u, "DPERR_NOAGGREGATION", "The object does not support aggregation."},
    {0x8007000Eu, "DPERR_OUTOFMEMORY",
     "There is insufficient memory to perform the requested operation."},
    {0x80070057u, "DPERR_INVALIDPARAMS",
     "One or more of the parameters passed to the method are invalid."},
    {0x88770005u, "DPERR_ALREADYINITIALIZED", "This object is already initialized."},
    {0x8877000Au, "DPERR_ACCESSDENIED",
     "The session is full or an incorrect password was supplied."},
    {0x88770014u, "DPERR_ACTIVEPLAYERS",
     "The requested operation cannot be performed because there are existing active "
     "players."},
    {0x8877001Eu, "DPERR_BUFFERTOOSMALL",
     "The supplied buffer is not large enough to contain the requested data."},
    {0x88770028u, "DPERR_CANTADDPLAYER", "The player cannot be added to the session."},
    {0x88770032u, "DPERR_CANTCREATEGROUP", "A new group cannot be created."},
    {0x8877003Cu, "DPERR_CANTCREATEPLAYER", "A new player cannot be created."},
    {0x88770046u, "DPERR_CANTCREATESESSION", "A new session cannot be created."},
    {0x88770050u, "DPERR_CAPSNOTAVAILABLEYET",
     "The capabilities of the DirectPlay object have not been determined yet."},
    {0x8877005Au, "DPERR_EXCEPTION", "An exception occurred when processing the request."},
    {0x88770078u, "DPERR_INVALIDFLAGS", "The flags passed to this method are invalid."},
    {0x88770082u, "DPERR_INVALIDOBJECT", "The DirectPlay object pointer is invalid."},
    {0x88770096u, "DPERR_INVALIDPLAYER",
     "The player ID is not recognized as a valid player ID for this session."},
    {0x8877009Bu, "DPERR_INVALIDGROUP",
     "The group ID is not recognized as a valid group ID for this session."},
    {0x887700A0u, "DPERR_NOCAPS",
     "The communication link that DirectPlay is attempting to use is not capable of this "
     "function."},
    {0x887700AAu, "DPERR_NOCONNECTION", "No communication link was established."},
    {0x887700BEu, "DPERR_NOMESSAGES", "There are no messages in the receive queue."},
    {0x887700C8u, "DPERR_NONAMESERVERFOUND",
     "No name server (host) could be found or created. A host must exist to create a "
     "player."},
    {0x887700D2u, "DPERR_NOPLAYERS", "There are no active players in the session."},
    {0x887700DCu, "DPERR_NOSESSIONS", "There are no existing sessions for this game."},
    {0x887700E6u, "DPERR_SENDTOOBIG",
     "The message being sent by the IDirectPlay3::Send method is too large."},
    {0x887700F0u, "DPERR_TIMEOUT",
     "The operation could not be completed in the specified time."},
    {0x887700FAu, "DPERR_UNAVAILABLE", "The requested function is not available at this time."},
    {0x8877010Eu, "DPERR_BUSY",
     "A message cannot be sent because the transmission medium is busy."},
    {0x88770118u, "DPERR_USERCANCEL",
     "Can be returned in two ways. 1) The user canceled the connection process during a call "
     "to the IDirectPlay3::Open method. 2) The user clicked Cancel in one of the DirectPlay "
     "service provider dialog boxes during a call to IDirectPlay3::EnumSessions."},
    {0x8877012Cu, "DPERR_PLAYERLOST", "A player has lost the connection to the session."},
    {0x88770136u, "DPERR_SESSIONLOST", "The connection to the session has been lost."},
    {0x88770140u, "DPERR_UNINITIALIZED", "The requested object has not been initialized."},
    {0x8877014Au, "DPERR_NONEWPLAYERS", "The session is not accepting any new players."},
    {0x88770154u, "DPERR_INVALIDPASSWORD",
     "An invalid password was supplied when attempting to join a session that requires a "
     "password."},
    {0x8877015Eu, "DPERR_CONNECTING",
     "The method is in the process of connecting to the network. The application should keep "
     "calling the method until it returns DP_OK, indicating successful completion, or it "
     "returns a different error."},
    {0x887703E8u, "DPERR_BUFFERTOOLARGE", "The data buffer is too large to store."},
    {0x887703F2u, "DPERR_CANTCREATEPROCESS",
     "The application could not be started. Returned by IDirectPlayLobby3::RunApplication."},
    {0x887703FCu, "DPERR_APPNOTSTARTED",
     "The application has not been started yet. Returned by the lobby when it is asked "
     "about an application it did not start."},
    {0x88770406u, "DPERR_INVALIDINTERFACE",
     "The interface passed is not a valid DirectPlay interface. Returned by "
     "IDirectPlayLobby3::Connect."},
    {0x8877041Au, "DPERR_UNKNOWNAPPLICATION",
     "An unknown application was specified. Returned by IDirectPlayLobby3::RunApplication."},
    {0x8877042Eu, "DPERR_NOTLOBBIED",
     "The application was not started by a lobby. Returned by IDirectPlayLobby3::Connect and "
     "IDirectPlayLobby3::GetConnectionSettings."},
    {0x887707D0u, "DPERR_AUTHENTICATIONFAILED",
     "The credentials supplied could not be authenticated. Returned by IDirectPlay3::Open "
     "for a secure session."},
    {0x887707DAu, "DPERR_CANTLOADSSPI",
     "No security support provider interface could be loaded. Returned by "
     "IDirectPlay3::Open for a secure session."},
    {0x887707E4u, "DPERR_ENCRYPTIONFAILED",
     "A message could not be encrypted. Returned by IDirectPlay3::Send in a secure session."},
    {0x887707EEu, "DPERR_SIGNFAILED",
     "A message could not be signed. Returned by IDirectPlay3::Send in a secure session."},
    {0x887707F8u, "DPERR_CANTLOADSECURITYPACKAGE",
     "The security package could not be loaded. Returned by IDirectPlay3::Open for a secure "
     "session."},
    {0x8877080Cu, "DPERR_CANTLOADCAPI",
     "The cryptographic interface could not be loaded. Returned by IDirectPlay3::Open for a "
     "secure session."},
    {0x88770816u, "DPERR_NOTLOGGEDIN",
     "The player has not logged in to the secure session. Returned by IDirectPlay3::Open "
     "and IDirectPlay3::Send."},
    {0x88770820u, "DPERR_LOGONDENIED",
     "The secure session refused the logon. Returned by IDirectPlay3::Open."},
}};

const ResultRow* FindResult(std::int32_t code) {
    const auto wanted = static_cast<std::uint32_t>(code);
    for (const ResultRow& row : kResults) {
        if (row.code == wanted)
            return &row;
    }
    return nullptr;
}

} // namespace

QString ResultText(std::int32_t code) {
    const ResultRow* row = FindResult(code);
    return row ? QString::fromLatin1(row->text) : QStringLiteral("Unrecognized Error");
}

QString ResultName(std::int32_t code) {
    const ResultRow* row = FindResult(code);
    return row ? QString::fromLatin1(row->name) : QString();
}

bool CheckResult(std::int32_t code, const QString& context) {
    if (code >= 0)
        return true;
    throw AppError(context + QStringLiteral(": ") + ResultText(code));
}
