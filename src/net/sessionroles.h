#pragma once

#include "net/sessionevent.h"
#include "net/tdplayer.h"
#include "net/tobjectlist.h"
#include "net/tsessionenumerator.h"
#include "platform/dplay/searchreport.h"
#include "platform/dplay/transport.h"

#include "net/joinerror.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

class SessionRolesView;
class ResultError;
class SessionService;

// The application GUID that every hosted session carries and every search asks for.
extern const GUID FerrowardenApplicationGuid;

// The networking glue of a front end: brings the session service up for the chosen
// transport, hosts a session as the server, searches for sessions and lists them, joins
// one as the client, and reports the service's system messages (logged in the design's
// words, then told as SessionEvents). The session endpoint (`Player`) and the search
// (`Enumerator`) are children of `owner`, at most one endpoint.
class SessionRoles final {
public:
    // The receiving side: called on the main thread with each application message. The
    // bytes may be changed in place and stay valid until the batch end handler has run
    // (which ReleaseNetworking runs, too, when it ends networking within a batch).
    using TransferHandler = std::function<void(void* data, qsizetype size)>;

    SessionRoles(QObject* owner, SessionRolesView& view, QString computerName);
    ~SessionRoles();

    SessionRoles(const SessionRoles&) = delete;
    SessionRoles& operator=(const SessionRoles&) = delete;

    void SetTransport(TTransport transport) { m_transport = transport; }
    // What a hosted session tells searchers in its dwUser1: the extension of the transfer
    // protocol its server offers (0: none), and in its dwUser2 what that extension needs
    // said (secure copies: the security word), in its dwUser3 more of what its server does
    // (flags). A joined client finds the host's values in Player()->SessionDesc.
    void SetHostUserData(DWORD user1, DWORD user2 = 0, DWORD user3 = 0)
    {
        m_hostUser1 = user1;
        m_hostUser2 = user2;
        m_hostUser3 = user3;
    }
    TTransport Transport() const { return m_transport; }
    void SetTransferHandler(TransferHandler handler) { m_transferHandler = std::move(handler); }
    // Called after each batch of arriving messages has been handed to the transfer handler.
    void SetBatchEndHandler(std::function<void()> handler) { m_batchEndHandler = std::move(handler); }
    // Called with each session event once it is logged, before the view hears of it: the
    // copy under way closes its file or ends its wait first.
    using EventHandler = std::function<void(const SessionEvent& event)>;
    void SetSessionEventHandler(EventHandler handler) { m_eventHandler = std::move(handler); }
    // Where session objects come from: the session service unless a test puts a fake here.
    using DirectPlayFactory = std::function<std::shared_ptr<IDirectPlay4A>()>;
    void SetDirectPlayFactory(DirectPlayFactory factory) { m_factory = std::move(factory); }

    // Makes a new endpoint bound to the transport; true when it is ready. `host` ("host" or
    // "host:port") limits searches to one host; empty asks the whole LAN. The previous
    // endpoint, if any, is freed first.
    bool InitNetworking(const QString& host = QString());
    // The host that the latest InitNetworking limited searches to; empty for the whole LAN.
    const QString& SearchHost() const { return m_searchHost; }
    // Frees the endpoint (leaving its session) and the search; a search still running ends
    // as one that found nothing (SearchDone, the view's SearchEnded).
    void ReleaseNetworking();
    void SearchSessions();
    void ShowSessionList();
    // Where senders reach the hosted session, in words: the PC's addresses and the ports;
    // empty when not hosting on the session service.
    QString HostedAt() const;
    // Joins the session of row `selectedRow` of the latest search and creates the client
    // player. False, silently, when there is no such row; throws JoinError when the service
    // refuses or cannot reach the session, AppError when networking is not up.
    bool JoinSession(int selectedRow);
    // Hosts a session named by its descriptor. With an empty label and directory the
    // default label and `selectedFolder` (the folder chosen in the window) are used. What the
    // host sends waits at most 5 s for room (TDPlayer::SendTimeout), then fails.
    // Failures, and a label that searchers could not find again (LabelProblem), are
    // logged; false then.
    bool HostSession(const QString& label, const QString& directory, const QString& selectedFolder = QString());
    void OnSystemMessage(TDPlayer* sender);
    void ShowTransportHint();

    static QString DefaultLabel(const QString& computerName);
    // The text a server announces: label "#" directory.
    static QString SessionDescriptor(const QString& label, const QString& directory);
    // Splits a descriptor at its first "#": label and directory. Without "#", an empty
    // label and the whole text.
    static std::pair<QString, QString> SplitDescriptor(const QString& descriptor);
    // Bytes of a descriptor that a session's name carries to searchers.
    static constexpr qsizetype kMaxDescriptorBytes = 4096;
    // Why a searcher could not find `label` again as it was entered, or empty when it can:
    // a "#" (the descriptor is split at its first "#"), a control character, or a
    // descriptor with `directory` longer than a session's name carries.
    static QString LabelProblem(const QString& label, const QString& directory);
    static QString TransportHintText(TTransport transport);

    // What only the session service knows, while the endpoint is up (defaults otherwise):
    // the latest search's report, the UDP port searches ask and a host answers on, and the
    // TCP port a hosted session takes copies on (0 before hosting).
    SearchReport LastSearch() const;
    std::uint16_t DiscoveryPort() const;
    std::uint16_t HostPort() const;

    TDPlayer* Player() const { return m_player; }
    const std::shared_ptr<TObjectList>& SessionList() const { return m_sessionList; }
    bool SearchDone() const { return m_searchDone; }
    const QString& ReceiveDirectory() const { return m_receiveDirectory; }
    const QString& ComputerName() const { return m_computerName; }

private:
    void clearSessionDesc();
    // The failure of a join as the front ends tell it.
    JoinError joinError(const ResultError& error, int row) const;
    // A client's address, from the system message that announced it.
    QString clientAddress(const TDPlayer& sender) const;
    void leaveSearchingState();

    QObject* m_owner;
    SessionRolesView& m_view;
    QString m_computerName;
    QString m_searchHost;
    TTransport m_transport = trTCPIP;
    DWORD m_hostUser1 = 0;
    DWORD m_hostUser2 = 0;
    DWORD m_hostUser3 = 0;
    TransferHandler m_transferHandler;
    std::function<void()> m_batchEndHandler;
    EventHandler m_eventHandler;
    DirectPlayFactory m_factory = &CreateDirectPlay;
    QPointer<TDPlayer> m_player;
    std::weak_ptr<SessionService> m_service; // the endpoint's, unless a test's fake stands in
    QPointer<TSessionEnumerator> m_enumerator;
    std::shared_ptr<TObjectList> m_sessionList = std::make_shared<TObjectList>();
    bool m_searchDone = true;
    QString m_receiveDirectory;
    QByteArray m_sessionName; // what the host's SessionDesc points to while opening
};
