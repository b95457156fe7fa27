#include "bridge/outgoingcopy.h"

#include "bridge/endpointsink.h"
#include "net/sessionroles.h"
#include "net/tdplayer.h"
#include "platform/apperror.h"
#include "platform/dplay/transport.h"
#include "transfer/extensionmessages.h"
#include "transfer/sendingengine.h"

#include <algorithm>

OutgoingCopy::OutgoingCopy(SessionRoles& roles, SendingView& view) : m_roles(roles), m_view(view)
{
}

OutgoingCopy::~OutgoingCopy()
{
    if (m_engine) {
        m_roles.SetTransferHandler(nullptr);
        m_roles.SetSystemMessageHandler(nullptr);
    }
}

bool OutgoingCopy::Join(int row)
{
    return m_roles.JoinSession(row);
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
    m_sink = makeSink();
    m_engine = std::make_unique<SendingEngine>(*m_sink, m_view);
    m_engine->SetExtension(Extension());
    m_engine->SetServerOffer(OfferedExtension(m_roles.Player()->SessionDesc.dwUser1));
    m_engine->SetBlocksize(blocksize);
    m_engine->SetEncrypt(encrypt);
    m_engine->SetTransportName(TransportText(m_roles.Transport()));
    m_roles.SetTransferHandler([this](void* data, qsizetype size) { deliver(data, size); });
    m_roles.SetSystemMessageHandler([this](DWORD type) { systemMessage(type); });
    return *m_engine;
}

void OutgoingCopy::deliver(void* data, qsizetype size)
{
    m_engine->HandleAnswer(data, size);
}

void OutgoingCopy::systemMessage(std::uint32_t type)
{
    if (type == DPSYS_SESSIONLOST)
        m_engine->ConnectionLost();
}

std::unique_ptr<MessageSink> OutgoingCopy::makeSink()
{
    // The copy sends on the thread that also delivers what the endpoint receives. That
    // cannot stall: a front end's one endpoint either hosts or joins, so no received message
    // waits for this thread while Send waits for room (see TDPlayer::Send).
    return std::make_unique<EndpointSink>(*m_roles.Player());
}
