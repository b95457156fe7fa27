#include "bridge/securesenderlink.h"

#include "bridge/securepeer.h"
#include "platform/apperror.h"
#include "secure/trusteddevices.h"
#include "text/printable.h"
#include "transfer/messagesink.h"

#include <QElapsedTimer>

namespace {

ClientHandshake::Setup withStore(ClientHandshake::Setup setup, const TrustedDevices* trusted)
{
    setup.trusted = trusted;
    return setup;
}

} // namespace

SecureSenderLink::SecureSenderLink(ClientHandshake::Setup setup, TrustedDevices* trusted, MessageSink& raw)
    : m_handshake(withStore(setup, trusted)), m_trusted(trusted), m_raw(raw), m_sink(raw)
{
}

void SecureSenderLink::fail(const QString& reason)
{
    if (m_ended)
        return;
    m_ended = true;
    if (m_failed)
        m_failed(reason);
}

void SecureSenderLink::Connect(const Wait& wait, const std::function<bool()>& lost, int timeoutMs)
{
    const QByteArray& hello = m_handshake.hello();
    m_raw.Send(kToAllPlayers, kSendGuaranteed, hello.constData(), std::uint32_t(hello.size()));
    QElapsedTimer clock;
    clock.start();
    const auto answered = [this] { return m_handshake.state() != HandshakeState::Running; };
    while (!answered()) {
        if (lost())
            throw AppError(QStringLiteral("The connection to the server was lost during the secure handshake"));
        const qint64 left = timeoutMs - clock.elapsed();
        if (left <= 0)
            throw AppError(
                QStringLiteral("The server did not answer the secure handshake within %1 s").arg(timeoutMs / 1000.0));
        wait(int(left), [&] { return answered() || lost(); });
    }
    // A wrong code is answered too, so the server learns of it from this end's proof.
    if (!m_answer.isEmpty())
        m_raw.Send(kToAllPlayers, kSendGuaranteed, m_answer.constData(), std::uint32_t(m_answer.size()));
    if (m_handshake.state() == HandshakeState::Refused)
        throw AppError(m_handshake.refusalText());
    handshakeDone();
}

void SecureSenderLink::handshakeDone()
{
    const SecureSession& session = m_handshake.session();
    m_channel = std::make_unique<RecordChannel>(session.cipher, RecordChannel::Side::Client, session.sendKey,
                                                session.receiveKey);
    m_sink.SetChannel(m_channel.get());
    m_sink.SetGrouping(session.groupedRecords);
    NotePeer(session, QStringLiteral("to"), m_trusted, m_report);
}

void SecureSenderLink::Incoming(void* data, qsizetype size)
{
    if (m_ended)
        return;
    if (!m_channel) {
        if (m_handshake.state() != HandshakeState::Running) {
            fail(QStringLiteral("The server sent a message before the secure handshake was done"));
            return;
        }
        m_answer = m_handshake.feed(QByteArrayView(static_cast<const char*>(data), size));
        return;
    }
    const RecordChannel::Opened opened = m_channel->OpenInPlace(static_cast<std::uint8_t*>(data), std::size_t(size));
    if (!opened.ok()) {
        fail(QStringLiteral("The secure copy ended: %1").arg(opened.error));
        return;
    }
    if (m_deliver)
        m_deliver(opened.data, qsizetype(opened.size));
}
