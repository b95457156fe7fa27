#include "net/resulttext.h"

#include "net/joinerror.h"
#include "platform/apperror.h"
#include "platform/dplay/dplay.h"

#include <array>

namespace {

struct ResultRow {
    HRESULT code;
    const char* name;
    const char* text;
};

// One row per code. The general COM codes that the session service reuses appear once,
// under the service's own name (DPERR_OUTOFMEMORY is also known as DPERR_NOMEMORY,
// DPERR_INVALIDPARAMS as DPERR_INVALIDPARAM).
constexpr std::array<ResultRow, 51> kResults{{
    {DPERR_UNSUPPORTED, "DPERR_UNSUPPORTED",
     "The function or feature is not available in this implementation or on this service "
     "provider."},
    {DPERR_NOINTERFACE, "DPERR_NOINTERFACE", "The interface is not supported."},
    {DPERR_GENERIC, "DPERR_GENERIC", "An undefined error condition occurred."},
    {DPERR_NOAGGREGATION, "DPERR_NOAGGREGATION", "The object does not support aggregation."},
    {DPERR_OUTOFMEMORY, "DPERR_OUTOFMEMORY", "There is insufficient memory to perform the requested operation."},
    {DPERR_INVALIDPARAMS, "DPERR_INVALIDPARAMS", "One or more of the parameters passed to the method are invalid."},
    {DPERR_ALREADYINITIALIZED, "DPERR_ALREADYINITIALIZED", "This object is already initialized."},
    {DPERR_ACCESSDENIED, "DPERR_ACCESSDENIED", "The session is full or an incorrect password was supplied."},
    {DPERR_ACTIVEPLAYERS, "DPERR_ACTIVEPLAYERS",
     "The requested operation cannot be performed because there are existing active "
     "players."},
    {DPERR_BUFFERTOOSMALL, "DPERR_BUFFERTOOSMALL",
     "The supplied buffer is not large enough to contain the requested data."},
    {DPERR_CANTADDPLAYER, "DPERR_CANTADDPLAYER", "The player cannot be added to the session."},
    {DPERR_CANTCREATEGROUP, "DPERR_CANTCREATEGROUP", "A new group cannot be created."},
    {DPERR_CANTCREATEPLAYER, "DPERR_CANTCREATEPLAYER", "A new player cannot be created."},
    {DPERR_CANTCREATESESSION, "DPERR_CANTCREATESESSION", "A new session cannot be created."},
    {DPERR_CAPSNOTAVAILABLEYET, "DPERR_CAPSNOTAVAILABLEYET",
     "The capabilities of the DirectPlay object have not been determined yet."},
    {DPERR_EXCEPTION, "DPERR_EXCEPTION", "An exception occurred when processing the request."},
    {DPERR_INVALIDFLAGS, "DPERR_INVALIDFLAGS", "The flags passed to this method are invalid."},
    {DPERR_INVALIDOBJECT, "DPERR_INVALIDOBJECT", "The DirectPlay object pointer is invalid."},
    {DPERR_INVALIDPLAYER, "DPERR_INVALIDPLAYER",
     "The player ID is not recognized as a valid player ID for this session."},
    {DPERR_INVALIDGROUP, "DPERR_INVALIDGROUP", "The group ID is not recognized as a valid group ID for this session."},
    {DPERR_NOCAPS, "DPERR_NOCAPS",
     "The communication link that DirectPlay is attempting to use is not capable of this "
     "function."},
    {DPERR_NOCONNECTION, "DPERR_NOCONNECTION", "No communication link was established."},
    {DPERR_NOMESSAGES, "DPERR_NOMESSAGES", "There are no messages in the receive queue."},
    {DPERR_NONAMESERVERFOUND, "DPERR_NONAMESERVERFOUND",
     "No name server (host) could be found or created. A host must exist to create a "
     "player."},
    {DPERR_NOPLAYERS, "DPERR_NOPLAYERS", "There are no active players in the session."},
    {DPERR_NOSESSIONS, "DPERR_NOSESSIONS", "There are no existing sessions for this game."},
    {DPERR_SENDTOOBIG, "DPERR_SENDTOOBIG", "The message being sent by the IDirectPlay3::Send method is too large."},
    {DPERR_TIMEOUT, "DPERR_TIMEOUT", "The operation could not be completed in the specified time."},
    {DPERR_UNAVAILABLE, "DPERR_UNAVAILABLE", "The requested function is not available at this time."},
    {DPERR_BUSY, "DPERR_BUSY", "A message cannot be sent because the transmission medium is busy."},
    {DPERR_USERCANCEL, "DPERR_USERCANCEL",
     "Can be returned in two ways. 1) The user canceled the connection process during a call "
     "to the IDirectPlay3::Open method. 2) The user clicked Cancel in one of the DirectPlay "
     "service provider dialog boxes during a call to IDirectPlay3::EnumSessions."},
    {DPERR_PLAYERLOST, "DPERR_PLAYERLOST", "A player has lost the connection to the session."},
    {DPERR_SESSIONLOST, "DPERR_SESSIONLOST", "The connection to the session has been lost."},
    {DPERR_UNINITIALIZED, "DPERR_UNINITIALIZED", "The requested object has not been initialized."},
    {DPERR_NONEWPLAYERS, "DPERR_NONEWPLAYERS", "The session is not accepting any new players."},
    {DPERR_INVALIDPASSWORD, "DPERR_INVALIDPASSWORD",
     "An invalid password was supplied when attempting to join a session that requires a "
     "password."},
    {DPERR_CONNECTING, "DPERR_CONNECTING",
     "The method is in the process of connecting to the network. The application should keep "
     "calling the method until it returns DP_OK, indicating successful completion, or it "
     "returns a different error."},
    {DPERR_BUFFERTOOLARGE, "DPERR_BUFFERTOOLARGE", "The data buffer is too large to store."},
    {DPERR_CANTCREATEPROCESS, "DPERR_CANTCREATEPROCESS",
     "The application could not be started. Returned by IDirectPlayLobby3::RunApplication."},
    {DPERR_APPNOTSTARTED, "DPERR_APPNOTSTARTED",
     "The application has not been started yet. Returned by the lobby when it is asked "
     "about an application it did not start."},
    {DPERR_INVALIDINTERFACE, "DPERR_INVALIDINTERFACE",
     "The interface passed is not a valid DirectPlay interface. Returned by "
     "IDirectPlayLobby3::Connect."},
    {DPERR_UNKNOWNAPPLICATION, "DPERR_UNKNOWNAPPLICATION",
     "An unknown application was specified. Returned by IDirectPlayLobby3::RunApplication."},
    {DPERR_NOTLOBBIED, "DPERR_NOTLOBBIED",
     "The application was not started by a lobby. Returned by IDirectPlayLobby3::Connect and "
     "IDirectPlayLobby3::GetConnectionSettings."},
    {DPERR_AUTHENTICATIONFAILED, "DPERR_AUTHENTICATIONFAILED",
     "The credentials supplied could not be authenticated. Returned by IDirectPlay3::Open "
     "for a secure session."},
    {DPERR_CANTLOADSSPI, "DPERR_CANTLOADSSPI",
     "No security support provider interface could be loaded. Returned by "
     "IDirectPlay3::Open for a secure session."},
    {DPERR_ENCRYPTIONFAILED, "DPERR_ENCRYPTIONFAILED",
     "A message could not be encrypted. Returned by IDirectPlay3::Send in a secure session."},
    {DPERR_SIGNFAILED, "DPERR_SIGNFAILED",
     "A message could not be signed. Returned by IDirectPlay3::Send in a secure session."},
    {DPERR_CANTLOADSECURITYPACKAGE, "DPERR_CANTLOADSECURITYPACKAGE",
     "The security package could not be loaded. Returned by IDirectPlay3::Open for a secure "
     "session."},
    {DPERR_CANTLOADCAPI, "DPERR_CANTLOADCAPI",
     "The cryptographic interface could not be loaded. Returned by IDirectPlay3::Open for a "
     "secure session."},
    {DPERR_NOTLOGGEDIN, "DPERR_NOTLOGGEDIN",
     "The player has not logged in to the secure session. Returned by IDirectPlay3::Open "
     "and IDirectPlay3::Send."},
    {DPERR_LOGONDENIED, "DPERR_LOGONDENIED", "The secure session refused the logon. Returned by IDirectPlay3::Open."},
}};

const ResultRow* FindResult(std::int32_t code)
{
    for (const ResultRow& row : kResults) {
        if (row.code == code)
            return &row;
    }
    return nullptr;
}

} // namespace

QString ResultText(std::int32_t code)
{
    const ResultRow* row = FindResult(code);
    return row ? QString::fromLatin1(row->text) : QStringLiteral("Unrecognized Error");
}

QString ResultName(std::int32_t code)
{
    const ResultRow* row = FindResult(code);
    return row ? QString::fromLatin1(row->name) : QString();
}

bool CheckResult(std::int32_t code, const QString& context)
{
    if (code >= 0)
        return true;
    throw ResultError(context + QStringLiteral(": ") + ResultText(code), code);
}

bool IsConnectionLost(const AppError& error)
{
    const auto* result = dynamic_cast<const ResultError*>(&error);
    return result && (result->Result() == DPERR_SESSIONLOST || result->Result() == DPERR_NOCONNECTION);
}

QString JoinFailureText(const JoinError& error, const QString& session)
{
    switch (error.Why()) {
    case JoinError::Reason::Full:
        return QStringLiteral("The session \"%1\" is full: another PC is copying to it now. Try again when "
                              "it has finished.")
            .arg(session);
    case JoinError::Reason::Ended:
        return QStringLiteral("The session \"%1\" has ended: its server no longer hosts it.").arg(session);
    case JoinError::Reason::Unreachable:
    case JoinError::Reason::TimedOut:
        return QStringLiteral("The session \"%1\" cannot be reached: its PC did not answer. A firewall there "
                              "may keep the copy out.")
            .arg(session);
    case JoinError::Reason::Other:
        break;
    }
    return QStringLiteral("The session \"%1\" cannot be joined: %2").arg(session, error.Detail());
}
