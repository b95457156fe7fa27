#include "bridge/hostedcopy.h"

#include "bridge/deviceidentity.h"
#include "bridge/securereceiverlink.h"
#include "net/sessionroles.h"
#include "net/tdplayer.h"
#include "platform/apperror.h"
#include "platform/dplay/transport.h"
#include "secure/codeguard.h"
#include "secure/identity.h"
#include "secure/securityword.h"
#include "secure/trusteddevices.h"
#include "transfer/extensionmessages.h"
#include "transfer/messagesink.h"
#include "transfer/receivingengine.h"
#include "transfer/receivingview.h"

namespace {

// The hosted session's answers to its client, through whatever endpoint the roles hold now.
class HostAnswers final : public MessageSink {
public:
    explicit HostAnswers(SessionRoles& roles) : m_roles(roles) {}
    void Send(std::uint32_t to, std::uint32_t flags, const void* data, std::uint32_t size) override
    {
        TDPlayer* player = m_roles.Player();
        if (!player)
            throw AppError(QStringLiteral("The session has ended"));
        player->Send(to, flags, data, size);
    }

private:
    SessionRoles& m_roles;
};

} // namespace

HostedCopy::HostedCopy(SessionRoles& roles, ReceivingView& view) : m_roles(roles), m_view(view) {}

HostedCopy::~HostedCopy()
{
    if (m_serving)
        End();
}

std::optional<PairingCode> HostedCopy::CurrentCode() const
{
    if (!m_serving || !m_codes)
        return std::nullopt;
    return m_codes->code();
}

QString HostedCopy::Fingerprint() const
{
    return m_identity ? m_identity->fingerprint() : QString();
}

void HostedCopy::prepareSecurity(const HostOptions& options)
{
    m_secure = ExtensionEnabled();
    m_policy = options.accept;
    m_codes.reset();
    if (!m_secure) {
        if (m_policy != AcceptPolicy::Open)
            throw AppError(QStringLiteral("Accepting %1 devices only needs the extended protocol, which "
                                          "FERROWARDEN_EXTENSION turns off")
                               .arg(AcceptPolicyName(m_policy)));
        return;
    }
    if (!m_identity)
        m_identity =
            std::make_unique<Identity>(LoadDeviceIdentity([this](const QString& why) { m_view.LogError(why); }));
    if (!m_trusted)
        m_trusted = std::make_unique<TrustedDevices>();
    if (m_policy == AcceptPolicy::Paired)
        m_codes = std::make_unique<CodeGuard>(options.codeShown, options.firstCode);
}

QString HostedCopy::ReceiveDirectory(const HostOptions& options)
{
    const bool named = !options.label.isEmpty() || !options.directory.isEmpty();
    // Files go into the folder the descriptor names; with no folder chosen ("?"), into the
    // current directory.
    QString target = named ? options.directory : options.selectedFolder;
    if (target == QLatin1String("?"))
        target.clear();
    if (!target.isEmpty() && !target.endsWith(QLatin1Char('/')))
        target += QLatin1Char('/');
    return target;
}

bool HostedCopy::Host(const HostOptions& options)
{
    // A session hosted again: the earlier engine's file ends first.
    if (m_serving) {
        unhook();
        m_engine->CloseCurrentFile();
        m_link.reset();
        m_engine.reset();
    }
    if (!m_answers)
        m_answers = makeAnswerSink();
    m_engine = std::make_unique<ReceivingEngine>(m_view);
    m_engine->SetReceiveDirectory(ReceiveDirectory(options));
    m_engine->SetTransportName(TransportText(m_roles.Transport()));
    m_engine->SetExistingFiles(options.existing);
    prepareSecurity(options);
    m_engine->SetExtensionOffered(m_secure);
    m_engine->SetKeepPartials(options.keepPartials);
    m_engine->SetAnswerSink(m_answers.get());
    const SecurityWord word{m_policy, m_codes != nullptr, m_secure ? SecurityWord::HintOf(m_identity->publicKey()) : 0};
    m_roles.SetHostUserData(m_secure ? ExtensionOffer(kSecureExtensionVersion) : 0, m_secure ? word.Encode() : 0,
                            m_secure ? kAnswersEveryFile | kHostOpensGroupedRecords : 0);
    hook();
    m_serving = true;
    if (!m_roles.HostSession(options.label, options.directory, options.selectedFolder))
        return false;
    const GUID& instance = m_roles.Player()->SessionDesc.guidInstance;
    m_instance = QByteArray(reinterpret_cast<const char*>(&instance), sizeof instance);
    m_engine->RemoveLeftovers();
    m_engine->RemoveOldPartials();
    if (m_codes && options.codeShown)
        options.codeShown(m_codes->code());
    return true;
}

void HostedCopy::End()
{
    // The session goes before the engine its handlers use; a batch cut short by leaving is
    // still flushed into the engine while its bytes exist.
    if (m_serving)
        m_engine->SetAnswerSink(nullptr);
    m_roles.ReleaseNetworking();
    if (!m_serving)
        return;
    m_serving = false;
    unhook();
    m_engine->CloseCurrentFile();
    m_link.reset();
}

void HostedCopy::hook()
{
    m_roles.SetTransferHandler([this](void* data, qsizetype size) { deliver(data, size); });
    m_roles.SetBatchEndHandler([this] { m_engine->Flush(); });
    m_roles.SetSessionEventHandler([this](const SessionEvent& event) { sessionEvent(event); });
}

void HostedCopy::unhook()
{
    m_roles.SetTransferHandler(nullptr);
    m_roles.SetBatchEndHandler(nullptr);
    m_roles.SetSessionEventHandler(nullptr);
}

void HostedCopy::deliver(void* data, qsizetype size)
{
    if (!m_secure) {
        m_engine->HandleTransferMessage(data, size);
        return;
    }
    if (!m_link)
        m_link = makeLink();
    m_link->Incoming(data, size);
}

std::unique_ptr<SecureReceiverLink> HostedCopy::makeLink()
{
    ServerHandshake::Setup setup{m_instance, *m_identity,      m_roles.ComputerName().toUtf8(), m_policy, m_codes.get(),
                                 nullptr,    AesGcmAvailable()};
    auto link =
        std::make_unique<SecureReceiverLink>(setup, m_trusted.get(), *m_answers, [this](void* data, qsizetype size) {
            m_engine->HandleTransferMessage(data, size);
        });
    // Sealed records need no block checksum; a copy in plain messages keeps it.
    link->SetEstablished([this](bool secure) { m_engine->SetAuthenticated(secure); });
    link->SetReport([this](const QString& line) { m_view.LogMessage(line); });
    link->SetFailed([this](const QString& why) {
        // Nothing more of this client reaches the engine; what it sent of a file is discarded.
        // A sender refused in the handshake hears why and leaves; any other loses its
        // connection, so that one that never reads answers, or waits for them, learns it too.
        m_view.LogError(why);
        m_engine->CloseCurrentFile();
        TDPlayer* player = m_roles.Player();
        if (player && !(m_link && m_link->Handshake().state() == HandshakeState::Refused))
            player->DropPlayer(player->FromId());
    });
    m_engine->SetAnswerSink(&link->Answers());
    return link;
}

void HostedCopy::endLink()
{
    if (!m_link)
        return;
    m_engine->SetAnswerSink(m_answers.get());
    m_engine->SetAuthenticated(false);
    m_link.reset();
}

void HostedCopy::sessionEvent(const SessionEvent& event)
{
    // A client that leaves, or a session that is lost, ends the file being received; a
    // complete one stays, a cut-off one is discarded or kept for the next copy of it. The next
    // client starts afresh.
    if (event.kind == SessionEvent::Kind::ClientJoined) {
        // What is kept of a cut-off file is the sending machine's: its address, without the
        // port that changes with every connection.
        m_engine->SetSenderName(event.client.section(QLatin1Char(':'), 0, 0).toUtf8());
    } else {
        m_engine->CloseCurrentFile();
        endLink();
    }
}

std::unique_ptr<MessageSink> HostedCopy::makeAnswerSink()
{
    return std::make_unique<HostAnswers>(m_roles);
}
