#include "net/sessionroles.h"

#include "net/resulttext.h"
#include "net/sessionaddress.h"
#include "net/sessionrolesview.h"
#include "platform/apperror.h"
#include "platform/dplay/sessionservice.h"
#include "platform/dplay/socketutil.h"
#include "text/printable.h"

#include <QtEndian>

#include <arpa/inet.h>
#include <cstring>

// {5D3A1F70-2B84-4C19-9E6D-7A0F31C8B452}
const GUID FerrowardenApplicationGuid = {0x5D3A1F70, 0x2B84, 0x4C19, {0x9E, 0x6D, 0x7A, 0x0F, 0x31, 0xC8, 0xB4, 0x52}};

namespace {

constexpr DWORD kHostSessionFlags = DPSESSION_KEEPALIVE | DPSESSION_DIRECTPLAYPROTOCOL; // 0x2040
constexpr DWORD kMaxPlayers = 2; // the host's player and one client
// A host sends only answers to its client; one that takes none of them must not hold the
// host's main thread for long.
constexpr DWORD kHostSendTimeoutMs = 5000;
const char* const kClientPlayerName = "FerrowardenClient";

} // namespace

SessionRoles::SessionRoles(QObject* owner, SessionRolesView& view, QString computerName)
    : m_owner(owner), m_view(view), m_computerName(std::move(computerName))
{
}

SessionRoles::~SessionRoles()
{
    // The view may be half gone by now: a search still running ends without telling it.
    m_searchDone = true;
    ReleaseNetworking();
}

QString SessionRoles::DefaultLabel(const QString& computerName)
{
    return QStringLiteral("Ferrowarden 2.0 Session on ") + computerName;
}

QString SessionRoles::SessionDescriptor(const QString& label, const QString& directory)
{
    return label + QLatin1Char('#') + directory;
}

std::pair<QString, QString> SessionRoles::SplitDescriptor(const QString& descriptor)
{
    const qsizetype hash = descriptor.indexOf(QLatin1Char('#'));
    if (hash < 0)
        return {QString(), descriptor};
    return {descriptor.left(hash), descriptor.mid(hash + 1)};
}

QString SessionRoles::LabelProblem(const QString& label, const QString& directory)
{
    if (label.contains(QLatin1Char('#')))
        return QStringLiteral("The label \"%1\" holds a \"#\"; searchers split a session's name at "
                              "its first \"#\", so they would not find it again")
            .arg(Printable(label));
    if (Printable(label) != label)
        return QStringLiteral("The label \"%1\" holds control characters (such as tabs or line "
                              "breaks); choose one without them")
            .arg(Printable(label));
    const qsizetype bytes = SessionDescriptor(label, directory).toLocal8Bit().size();
    if (bytes > kMaxDescriptorBytes)
        return QStringLiteral("The label is too long: with the directory, the session's name takes "
                              "%1 bytes, and only %2 reach a searcher")
            .arg(bytes)
            .arg(kMaxDescriptorBytes);
    return QString();
}

QString SessionRoles::TransportHintText(TTransport transport)
{
    return QStringLiteral("You have selected the %1 protocol. It is possible that it is not "
                          "correctly installed. Go to the Control Panel and then to Network and "
                          "see if it is installed and configured. If not refer to your Windows "
                          "handbook to see how to setup this protocol.")
        .arg(TransportText(transport));
}

void SessionRoles::ShowTransportHint()
{
    m_view.ShowError(TransportHintText(m_transport));
}

void SessionRoles::clearSessionDesc()
{
    if (!m_player)
        return;
    m_player->SessionDesc = DPSESSIONDESC2{};
    m_player->SessionDesc.dwSize = DPSESSIONDESC2_SIZE;
}

void SessionRoles::ReleaseNetworking()
{
    if (m_enumerator) {
        m_enumerator->Stop();
        delete m_enumerator.data();
    }
    // A handler that ends networking in the middle of a batch: what the transfer handler
    // gathered of it is finished while its bytes still exist.
    if (m_player && m_player->Delivering() && m_batchEndHandler)
        m_batchEndHandler();
    delete m_player.data(); // stops its receive thread and leaves the session
    // A search cut short here never reports its end: the front end leaves its searching
    // state now, and whoever waits for the search stops waiting.
    if (!m_searchDone)
        leaveSearchingState();
}

bool SessionRoles::InitNetworking(const QString& host)
{
    ReleaseNetworking();
    m_searchHost = host;
    bool ok = true;
    try {
        m_player = new TDPlayer(m_owner);
        m_player->DirectPlay = m_factory();
        m_service = std::dynamic_pointer_cast<SessionService>(m_player->DirectPlay);
        if (!m_player->DirectPlay) {
            m_view.LogError(QStringLiteral("Create DirectPlay Object: ") + ResultText(DPERR_UNAVAILABLE));
            return false;
        }
        QByteArray address = m_transport == trIPX ? MakeIpxAddress() : MakeTcpIpAddress(host);
        const QString portProblem = m_transport == trTCPIP ? DiscoveryPortProblem() : QString();
        const HRESULT hr =
            portProblem.isEmpty() ? m_player->DirectPlay->InitializeConnection(address.data(), 0) : DPERR_INVALIDPARAMS;
        if (FAILED(hr)) {
            m_view.LogError(portProblem.isEmpty() ? QStringLiteral("Establish Connection: ") + ResultText(hr)
                                                  : portProblem);
            ok = false;
        }
        m_player->OnSystemMsg = [this](TDPlayer* sender) { OnSystemMessage(sender); };
        m_player->OnUserMsg = [this](TDPlayer* sender) {
            if (m_transferHandler) {
                // The bytes belong to the batch and stay put until the batch end handler
                // has run; the receiving engine deciphers and writes them where they lie.
                m_transferHandler(sender->ReceiveBuffer(), static_cast<qsizetype>(sender->ReceiveSize()));
            }
        };
        m_player->OnBatchDelivered = [this](TDPlayer*) {
            if (m_batchEndHandler)
                m_batchEndHandler();
        };
        m_player->OnHandlerError = [this](const QString& message) { m_view.LogError(message); };
        m_player->SessionDesc = DPSESSIONDESC2{};
        if (ok)
            m_view.LogMessage(QStringLiteral("Networking subsystem established succesfully!"));
    } catch (const AppError& error) {
        m_view.LogError(error.message());
        return false;
    }
    return ok;
}

void SessionRoles::SearchSessions()
{
    // A search started while one runs replaces it: the view is in its searching state
    // already and is told of its start once, as it is told of its end once.
    if (m_searchDone)
        m_view.SearchStarted();
    m_searchDone = false;
    m_view.LogMessage(QStringLiteral("Searching Sessions..."));
    m_view.ClearSessionRows();

    if (m_enumerator) {
        m_enumerator->Stop();
        m_enumerator->deleteLater();
    }
    m_sessionList = std::make_shared<TObjectList>();
    m_enumerator = new TSessionEnumerator(m_owner);
    m_enumerator->DirectPlay = m_player ? m_player->DirectPlay : nullptr;
    m_enumerator->ApplicationGuid = FerrowardenApplicationGuid;
    m_enumerator->SessionList = m_sessionList;
    m_enumerator->OnEnumerated = [this](TSessionEnumerator*) { ShowSessionList(); };
    m_enumerator->OnError = [this](TSessionEnumerator*, const QString& text) { m_view.ShowError(text); };
    // A search whose last poll failed gets no final OnEnumerated: leave the searching
    // state all the same.
    m_enumerator->OnSearchEnded = [this](TSessionEnumerator*) {
        if (!m_searchDone)
            leaveSearchingState();
    };
    try {
        m_enumerator->Start();
    } catch (...) {
        leaveSearchingState();
        throw;
    }
}

// The search is over and found nothing to offer.
void SessionRoles::leaveSearchingState()
{
    m_searchDone = true;
    m_view.SearchEnded();
    m_view.ClearSessionRows();
    m_view.SetCopyEnabled(false);
}

void SessionRoles::ShowSessionList()
{
    if (!m_enumerator)
        return;
    if (m_sessionList->IsEmpty() && !m_enumerator->Finished())
        return; // the next poll may still find one
    m_enumerator->Stop();
    clearSessionDesc();
    if (m_sessionList->IsEmpty()) {
        leaveSearchingState();
        return;
    }
    m_searchDone = true;
    m_view.SearchEnded();
    // Labels and directories come from anyone on the LAN.
    for (int i = 0; i < m_sessionList->Count(); ++i) {
        const auto [name, directory] = SplitDescriptor(m_sessionList->Strings(i));
        m_view.AddSessionRow(Printable(name), Printable(directory));
    }
}

bool SessionRoles::JoinSession(int selectedRow)
{
    if (!m_player || !m_player->DirectPlay)
        throw AppError(QStringLiteral("Networking is not available; check the transport in the preferences."));
    clearSessionDesc();
    if (m_sessionList->IsEmpty() || selectedRow < 0 || selectedRow >= m_sessionList->Count())
        return false;
    const QByteArray* instance = m_sessionList->Objects(selectedRow);
    if (instance && instance->size() == sizeof(GUID))
        std::memcpy(&m_player->SessionDesc.guidInstance, instance->constData(), sizeof(GUID));
    m_view.LogMessage(QStringLiteral("Joining Session ") + Printable(m_sessionList->Strings(selectedRow)));

    try {
        CheckResult(m_player->DirectPlay->Open(&m_player->SessionDesc, DPOPEN_JOIN),
                    QStringLiteral("Session create/connect"));
        m_view.LogMessage(QStringLiteral("Session joined!"));
        CheckResult(m_player->Connect(QString::fromLatin1(kClientPlayerName), nullptr, 0, 0),
                    QStringLiteral("Create Client"));
    } catch (const ResultError& error) {
        throw joinError(error, selectedRow);
    }
    m_view.LogMessage(QStringLiteral("Computer configured as client..."));
    return true;
}

JoinError SessionRoles::joinError(const ResultError& error, int row) const
{
    JoinError::Reason reason = JoinError::Reason::Other;
    switch (error.Result()) {
    case DPERR_ACCESSDENIED:
    case DPERR_NONEWPLAYERS:
        reason = JoinError::Reason::Full;
        break;
    case DPERR_NOSESSIONS:
        reason = JoinError::Reason::Ended;
        break;
    case DPERR_NOCONNECTION:
        reason = JoinError::Reason::Unreachable;
        break;
    case DPERR_TIMEOUT:
        reason = JoinError::Reason::TimedOut;
        break;
    default:
        break;
    }
    // Where the latest search heard the session.
    QString host;
    int port = 0;
    const QByteArray* instance = m_sessionList->Objects(row);
    for (const auto& session : LastSearch().heard) {
        if (instance && instance->size() == qsizetype(sizeof(GUID))
            && std::memcmp(&session.instance, instance->constData(), sizeof(GUID)) == 0) {
            char text[INET_ADDRSTRLEN] = "?";
            ::inet_ntop(AF_INET, &session.address.sin_addr, text, sizeof text);
            host = QString::fromLatin1(text);
            port = ntohs(session.address.sin_port);
        }
    }
    return JoinError(error.message(), reason, ResultText(error.Result()), host, port);
}

SearchReport SessionRoles::LastSearch() const
{
    const auto service = m_service.lock();
    return service ? service->LastSearch() : SearchReport{};
}

std::uint16_t SessionRoles::DiscoveryPort() const
{
    const auto service = m_service.lock();
    return service ? service->DiscoveryPort() : SessionService::kDefaultDiscoveryPort;
}

std::uint16_t SessionRoles::HostPort() const
{
    const auto service = m_service.lock();
    return service ? service->HostPort() : 0;
}

bool SessionRoles::HostSession(const QString& label, const QString& directory, const QString& selectedFolder)
{
    try {
        if (!m_player || !m_player->DirectPlay)
            throw AppError(QStringLiteral("Networking is not available; check the transport in the preferences."));
        DPSESSIONDESC2& desc = m_player->SessionDesc;
        desc.dwSize = DPSESSIONDESC2_SIZE;
        desc.guidApplication = FerrowardenApplicationGuid;
        const bool given = !label.isEmpty() || !directory.isEmpty();
        const QString shownLabel = given ? label : DefaultLabel(m_computerName);
        const QString shownDirectory = given ? directory : selectedFolder;
        const QString problem = LabelProblem(shownLabel, shownDirectory);
        if (!problem.isEmpty())
            throw AppError(problem);
        const QString descriptor = SessionDescriptor(shownLabel, shownDirectory);
        m_sessionName = descriptor.toLocal8Bit();
        desc.lpszSessionNameA = m_sessionName.data();
        desc.dwFlags = kHostSessionFlags;
        desc.dwMaxPlayers = kMaxPlayers;
        desc.dwUser1 = m_hostUser1;
        desc.dwUser2 = m_hostUser2;
        desc.dwUser3 = m_hostUser3;
        CheckResult(m_player->DirectPlay->Open(&desc, DPOPEN_CREATE), QStringLiteral("Session create/connect"));
        CheckResult(m_player->Connect(descriptor, nullptr, 0, 0), QStringLiteral("Create Player:"));
        m_player->SendTimeout = kHostSendTimeoutMs;
        m_receiveDirectory = directory;
        m_view.LogMessage(QStringLiteral("Server started succesfully!"));
        m_view.ShowStatus(QStringLiteral(" Server Waiting..."));
        return true;
    } catch (const AppError& error) {
        m_view.LogError(error.message());
        return false;
    }
}

void SessionRoles::OnSystemMessage(TDPlayer* sender)
{
    if (sender->ReceiveSize() < sizeof(DWORD))
        return;
    const DWORD type = qFromLittleEndian<DWORD>(sender->ReceiveBuffer());
    SessionEvent event{SessionEvent::Kind::ClientJoined, QString()};
    switch (type) {
    case DPSYS_CREATEPLAYERORGROUP:
        m_view.LogMessage(QStringLiteral("Client has connected..."));
        m_view.ShowStatus(QStringLiteral(" Awaiting Data..."));
        event.client = clientAddress(*sender);
        break;
    case DPSYS_DESTROYPLAYERORGROUP:
        m_view.LogMessage(QStringLiteral("Client disconnected..."));
        m_view.ShowStatus(QStringLiteral(" Server Waiting..."));
        event.kind = SessionEvent::Kind::ClientLeft;
        break;
    case DPSYS_SESSIONLOST:
        m_view.LogError(QStringLiteral("Server shut down"));
        m_view.ShowStatus(QStringLiteral(" Session Closed..."));
        event.kind = SessionEvent::Kind::SessionLost;
        break;
    case DPSYS_SENDCOMPLETE:
        m_view.LogMessage(QStringLiteral("Packet arrived"));
        return;
    default:
        m_view.LogMessage(QStringLiteral("System msg, dwType = $") + QString::number(type, 16).toUpper());
        return;
    }
    if (m_eventHandler)
        m_eventHandler(event);
    m_view.SessionEventArrived(event);
}

QString SessionRoles::clientAddress(const TDPlayer& sender) const
{
    // Messages come in batches: the client may have left by now, but the service still
    // knows where it came from.
    const auto service = m_service.lock();
    DPMSG_CREATEPLAYERORGROUP created{};
    if (!service || sender.ReceiveSize() < sizeof created)
        return QString();
    std::memcpy(&created, sender.ReceiveBuffer(), sizeof created);
    return QString::fromStdString(service->PlayerAddress(created.dpId));
}

QString SessionRoles::HostedAt() const
{
    if (HostPort() == 0)
        return QString();
    QStringList addresses;
    for (const InterfaceAddress& entry : InterfaceAddresses()) {
        const QString text = QString::fromStdString(AddressText(sockaddr_in{AF_INET, 0, entry.address, {}}))
                                 .section(QLatin1Char(':'), 0, 0);
        if (!text.startsWith(QLatin1String("127.")))
            addresses << text;
    }
    if (addresses.isEmpty())
        addresses << QStringLiteral("this PC's address");
    return QStringLiteral("%1, TCP port %2 (searches find it on UDP port %3)")
        .arg(addresses.join(QStringLiteral(", ")))
        .arg(HostPort())
        .arg(DiscoveryPort());
}
