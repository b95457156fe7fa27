#include "bridge/securereceiverlink.h"

#include "bridge/securepeer.h"
#include "platform/apperror.h"
#include "secure/trusteddevices.h"
#include "text/printable.h"
#include "transfer/messagesink.h"

#include <QtEndian>

namespace {

ServerHandshake::Setup withStore(ServerHandshake::Setup setup, const TrustedDevices* trusted)
{
    setup.trusted = trusted;
    return setup;
}

} // namespace

SecureReceiverLink::SecureReceiverLink(ServerHandshake::Setup setup, TrustedDevices* trusted, MessageSink& raw,
                                       Deliver deliver)
    : m_handshake(withStore(setup, trusted)),
      m_policy(setup.policy),
      m_trusted(trusted),
      m_raw(raw),
      m_answers(raw),
      m_deliver(std::move(deliver))
{
}

SecureReceiverLink::~SecureReceiverLink()
{
    m_answers.SetChannel(nullptr);
}

void SecureReceiverLink::fail(const QString& reason)
{
    if (m_ended)
        return;
    m_ended = true;
    if (m_failed)
        m_failed(reason);
}

void SecureReceiverLink::Incoming(void* data, qsizetype size)
{
    if (m_ended)
        return;
    const std::uint32_t type = size >= 4 ? qFromLittleEndian<std::uint32_t>(data) : 0;
    if (!m_started) {
        m_started = true;
        if (type != static_cast<std::uint32_t>(SecureType::Hello)) {
            if (m_policy != AcceptPolicy::Open) {
                fail(QStringLiteral("Refused a copy from a sender without secure copies (an earlier version "
                                    "of the program, or FERROWARDEN_EXTENSION=off): this server accepts %1 only")
                         .arg(m_policy == AcceptPolicy::Paired ? QStringLiteral("paired or trusted devices")
                                                               : QStringLiteral("trusted devices")));
                return;
            }
            m_plain = true;
            if (m_established)
                m_established(false);
        }
    }
    if (m_plain) {
        m_deliver(data, size);
        return;
    }
    if (m_channel) {
        const RecordChannel::Opened opened =
            m_channel->OpenInPlace(static_cast<std::uint8_t*>(data), std::size_t(size));
        if (!opened.ok()) {
            fail(QStringLiteral("The secure copy from \"%1\" ended: %2")
                     .arg(Printable(QString::fromUtf8(m_handshake.peerName())), opened.error));
            return;
        }
        if (!opened.grouped) {
            m_deliver(opened.data, qsizetype(opened.size));
            return;
        }
        QString malformed;
        const std::weak_ptr<bool> alive = m_alive;
        const bool whole = RecordChannel::SplitGroup(
            opened.data, opened.size,
            [this, &alive](std::uint8_t* message, std::size_t length) {
                m_deliver(message, qsizetype(length));
                return !alive.expired() && !m_ended;
            },
            &malformed);
        if (alive.expired())
            return;
        if (!whole)
            fail(QStringLiteral("The secure copy from \"%1\" ended: %2")
                     .arg(Printable(QString::fromUtf8(m_handshake.peerName())), malformed));
        return;
    }
    const QByteArray answer = m_handshake.feed(QByteArrayView(static_cast<const char*>(data), size));
    if (!answer.isEmpty())
        m_raw.Send(kToAllPlayers, kSendGuaranteed, answer.constData(), std::uint32_t(answer.size()));
    if (m_handshake.state() == HandshakeState::Refused)
        fail(QStringLiteral("Refused a copy from \"%1\": %2")
                 .arg(Printable(QString::fromUtf8(m_handshake.peerName())), m_handshake.refusalText()));
    else if (m_handshake.state() == HandshakeState::Done)
        handshakeDone();
}

void SecureReceiverLink::handshakeDone()
{
    const SecureSession& session = m_handshake.session();
    m_channel = std::make_unique<RecordChannel>(session.cipher, RecordChannel::Side::Server, session.sendKey,
                                                session.receiveKey);
    m_channel->SetOpensGroups(session.groupedRecords);
    m_answers.SetChannel(m_channel.get());
    NotePeer(session, QStringLiteral("from"), m_trusted, m_report);
    if (m_established)
        m_established(true);
}
