#include "bridge/hostedcopy.h"

#include "net/sessionroles.h"
#include "net/tdplayer.h"
#include "platform/apperror.h"
#include "platform/dplay/transport.h"
#include "transfer/extensionmessages.h"
#include "transfer/messagesink.h"
#include "transfer/receivingengine.h"

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

HostedCopy::HostedCopy(SessionRoles& roles, ReceivingView& view) : m_roles(roles), m_view(view)
{
}

HostedCopy::~HostedCopy()
{
    if (m_serving)
        End();
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
        m_engine.reset();
    }
    if (!m_answers)
        m_answers = makeAnswerSink();
    m_engine = std::make_unique<ReceivingEngine>(m_view);
    m_engine->SetReceiveDirectory(ReceiveDirectory(options));
    m_engine->SetTransportName(TransportText(m_roles.Transport()));
    m_engine->SetExistingFiles(options.existing);
    m_engine->SetExtensionOffered(ExtensionEnabled());
    m_engine->SetKeepPartials(options.keepPartials);
    m_engine->SetAnswerSink(m_answers.get());
    m_roles.SetHostUserData(m_engine->ExtensionOffered() ? ExtensionOffer(HighestExtension()) : 0);
    hook();
    m_serving = true;
    if (!m_roles.HostSession(options.label, options.directory, options.selectedFolder))
        return false;
    m_engine->RemoveLeftovers();
    m_engine->RemoveOldPartials();
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
}

void HostedCopy::hook()
{
    m_roles.SetTransferHandler([this](void* data, qsizetype size) { deliver(data, size); });
    m_roles.SetBatchEndHandler([this] { m_engine->Flush(); });
    m_roles.SetSystemMessageHandler([this](DWORD type) { systemMessage(type); });
}

void HostedCopy::unhook()
{
    m_roles.SetTransferHandler(nullptr);
    m_roles.SetBatchEndHandler(nullptr);
    m_roles.SetSystemMessageHandler(nullptr);
}

void HostedCopy::deliver(void* data, qsizetype size)
{
    m_engine->HandleTransferMessage(data, size);
}

void HostedCopy::systemMessage(std::uint32_t type)
{
    // A client that leaves, or a session that is lost, ends the file being received; a
    // complete one stays, a cut-off one is discarded or kept for the next copy of it.
    if (type == DPSYS_DESTROYPLAYERORGROUP || type == DPSYS_SESSIONLOST)
        m_engine->CloseCurrentFile();
}

std::unique_ptr<MessageSink> HostedCopy::makeAnswerSink()
{
    return std::make_unique<HostAnswers>(m_roles);
}
