#include "bridge/outgoingcopy.h"

#include "bridge/cutcopymarker.h"
#include "bridge/deviceidentity.h"
#include "bridge/endpointsink.h"
#include "bridge/securesenderlink.h"
#include "net/sessionroles.h"
#include "net/tdplayer.h"
#include "net/tobjectlist.h"
#include "platform/apperror.h"
#include "platform/dplay/transport.h"
#include "secure/identity.h"
#include "secure/securityword.h"
#include "secure/trusteddevices.h"
#include "text/printable.h"
#include "transfer/extensionmessages.h"
#include "transfer/sendingengine.h"
#include "transfer/sendingview.h"

#include <algorithm>

OutgoingCopy::OutgoingCopy(SessionRoles& roles, SendingView& view) : m_roles(roles), m_view(view) {}

OutgoingCopy::~OutgoingCopy()
{
    Finished();
    if (m_engine || m_link) {
        m_roles.SetTransferHandler(nullptr);
        m_roles.SetSessionEventHandler(nullptr);
    }
}

bool OutgoingCopy::Join(int row)
{
    const auto& sessions = m_roles.SessionList();
    if (sessions && row >= 0 && row < sessions->Count())
        m_label = sessions->Strings(row).section(QLatin1Char('#'), 0, 0);
    return m_roles.JoinSession(row);
}

bool OutgoingCopy::Secure() const
{
    const TDPlayer* player = m_roles.Player();
    return player && ExtensionEnabled() && OfferedExtension(player->SessionDesc.dwUser1) >= kSecureExtensionVersion;
}

bool OutgoingCopy::HostShowsCode() const
{
    if (!Secure())
        return false;
    const auto word = SecurityWord::Decode(m_roles.Player()->SessionDesc.dwUser2);
    return word && word->codeShown;
}

bool OutgoingCopy::HostLooksTrusted() const
{
    if (!Secure())
        return false;
    const auto word = SecurityWord::Decode(m_roles.Player()->SessionDesc.dwUser2);
    if (!word)
        return false;
    try {
        for (const TrustedDevice& device : TrustedDevices().list())
            if (SecurityWord::HintOf(device.key) == word->fingerprintHint)
                return true;
    } catch (const AppError&) {
    }
    return false;
}

void OutgoingCopy::refusePlain() const
{
    const std::uint16_t offer = ExtensionEnabled() ? OfferedExtension(m_roles.Player()->SessionDesc.dwUser1) : 0;
    const QString why = !ExtensionEnabled() ? QStringLiteral("FERROWARDEN_EXTENSION is off at this end")
                        : offer == 0        ? QStringLiteral("the server speaks the older protocol")
                                            : QStringLiteral("the server has no secure copies (an earlier version)");
    if (m_code)
        throw AppError(QStringLiteral("Nothing was sent: %1, so it cannot take the pairing code nor prove that it is "
                                      "the one showing it")
                           .arg(why));
    // A host trusted here is known by the name its label carries.
    const TrustedDevices trusted;
    for (const TrustedDevice& device : trusted.list())
        if (m_label.compare(device.name, Qt::CaseInsensitive) == 0
            || m_label.compare(SessionRoles::DefaultLabel(device.name), Qt::CaseInsensitive) == 0)
            throw AppError(QStringLiteral("Nothing was sent: \"%1\" is a trusted device here, but %2, so it cannot "
                                          "prove its key; someone may be posing as it")
                               .arg(Printable(device.name), why));
}

MessageSink& OutgoingCopy::secure()
{
    const Identity identity = LoadDeviceIdentity([this](const QString& why) { m_view.LogError(why); });
    m_trusted = std::make_unique<TrustedDevices>();
    const GUID& instance = m_roles.Player()->SessionDesc.guidInstance;
    ClientHandshake::Setup setup{QByteArray(reinterpret_cast<const char*>(&instance), sizeof instance),
                                 identity,
                                 m_roles.ComputerName().toUtf8(),
                                 m_code,
                                 nullptr,
                                 AesGcmAvailable()};
    setup.hostGroups = (m_roles.Player()->SessionDesc.dwUser3 & kHostOpensGroupedRecords) != 0;
    m_link = std::make_unique<SecureSenderLink>(setup, m_trusted.get(), *m_sink);
    m_link->SetReport([this](const QString& line) { m_view.LogMessage(line); });
    m_link->SetFailed([this](const QString& why) {
        m_view.LogError(why);
        if (m_engine)
            m_engine->ConnectionLost();
    });
    m_link->SetDeliver([this](const void* data, qsizetype size) {
        if (m_engine)
            m_engine->HandleAnswer(data, size);
    });
    m_roles.SetTransferHandler([this](void* data, qsizetype size) { deliver(data, size); });
    m_roles.SetSessionEventHandler([this](const SessionEvent& event) { sessionEvent(event); });
    m_link->Connect(
        [this](int milliseconds, const std::function<bool()>& done) { m_view.WaitForAnswers(milliseconds, done); },
        [this] { return m_lost; });
    return m_link->Sink();
}

std::uint16_t OutgoingCopy::Extension() const
{
    // The server's offer, unless this end keeps to the protocol of earlier versions.
    const TDPlayer* player = m_roles.Player();
    if (!player)
        return 0;
    return std::min(OfferedExtension(player->SessionDesc.dwUser1), HighestExtension());
}

SendingEngine& OutgoingCopy::Start(std::int16_t blocksize, bool encrypt)
{
    if (!m_roles.Player())
        throw AppError(QStringLiteral("The session has ended"));
    Finished(); // of a copy this one made before
    m_sink = makeSink();
    m_lost = false;
    const bool secure = Secure();
    if (!secure) {
        refusePlain();
        if (Extension() != 0)
            m_view.LogMessage(QStringLiteral("The server has no secure copies (an earlier version): this copy "
                                             "travels unencrypted"));
    }
    MessageSink& sink = secure ? this->secure() : *m_sink;
    m_engine = std::make_unique<SendingEngine>(sink, m_view);
    m_engine->SetExtension(Extension());
    m_engine->SetServerOffer(OfferedExtension(m_roles.Player()->SessionDesc.dwUser1));
    m_engine->SetBlocksize(blocksize);
    // Inside sealed records the design's cipher adds nothing.
    m_engine->SetEncrypt(encrypt && !secure);
    m_engine->SetAuthenticated(secure); // the records authenticate every block
    if (encrypt && secure)
        m_view.LogMessage(QStringLiteral("The secure copy encrypts every block; the older scrambling (--encrypt) is "
                                         "left off"));
    m_engine->SetTransportName(TransportText(m_roles.Transport()));
    noteStart(secure);
    m_roles.SetTransferHandler([this](void* data, qsizetype size) { deliver(data, size); });
    m_roles.SetSessionEventHandler([this](const SessionEvent& event) { sessionEvent(event); });
    return *m_engine;
}

void OutgoingCopy::noteStart(bool secure)
{
    m_marker.reset();
    if (!CarriesResume(Extension()))
        return;
    // The server as this end knows it for certain: its proven key, else its session's name.
    const QString key =
        secure && m_link ? QStringLiteral("device ") + Identity::Fingerprint(m_link->Handshake().session().peerIdentity)
                         : QStringLiteral("session ") + m_label;
    m_marker = std::make_unique<CutCopyMarker>(key);
    const bool answers = (m_roles.Player()->SessionDesc.dwUser3 & kAnswersEveryFile) != 0;
    if (answers && m_marker->Present()) {
        m_engine->SetCareful(true);
        m_view.LogMessage(QStringLiteral("The last copy to this server was cut off: the server is asked about every "
                                         "file first, and what it has already is not sent again"));
    }
    m_marker->Write();
}

void OutgoingCopy::Finished()
{
    if (m_marker && m_engine && m_engine->CopyConfirmed())
        m_marker->Remove();
}

void OutgoingCopy::deliver(void* data, qsizetype size)
{
    if (m_link)
        m_link->Incoming(data, size);
    else if (m_engine)
        m_engine->HandleAnswer(data, size);
}

void OutgoingCopy::sessionEvent(const SessionEvent& event)
{
    if (event.kind != SessionEvent::Kind::SessionLost)
        return;
    m_lost = true;
    if (m_engine)
        m_engine->ConnectionLost();
}

std::unique_ptr<MessageSink> OutgoingCopy::makeSink()
{
    // The copy sends on the thread that also delivers what the endpoint receives. That
    // cannot stall: a front end's one endpoint either hosts or joins, so no received message
    // waits for this thread while Send waits for room (see TDPlayer::Send).
    return std::make_unique<EndpointSink>(*m_roles.Player());
}
