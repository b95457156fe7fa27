#include "secure/serverhandshake.h"

#include "platform/apperror.h"
#include "secure/cpace.h"
#include "secure/handshakeparts.h"
#include "secure/keyschedule.h"
#include "secure/logging.h"
#include "secure/trusteddevices.h"
#include "text/printable.h"

#include <sodium.h>

using namespace HandshakeParts;

ServerHandshake::ServerHandshake(Setup setup) : m_setup(std::move(setup)) {}

ServerHandshake::~ServerHandshake()
{
    endAttempt(false);
    sodium_memzero(m_clientToServer.data(), m_clientToServer.size());
    sodium_memzero(m_serverToClient.data(), m_serverToClient.size());
    sodium_memzero(m_clientConfirm.data(), m_clientConfirm.size());
}

void ServerHandshake::endAttempt(bool right)
{
    if (m_attempt && m_setup.codes)
        m_setup.codes->endAttempt(*m_attempt, right);
    m_attempt.reset();
}

QByteArray ServerHandshake::refuse(HandshakeRefusal reason, const QString& text)
{
    m_state = HandshakeState::Refused;
    m_refusal = reason;
    m_refusalText = text;
    qCDebug(lcSecure).noquote() << QStringLiteral("Refused a secure copy from \"%1\": %2")
                                       .arg(Printable(QString::fromUtf8(m_hello.name)), text);
    endAttempt(false);
    return EncodeSecureRefusal({reason, text.toUtf8()});
}

QByteArray ServerHandshake::feed(QByteArrayView bytes)
{
    if (m_state != HandshakeState::Running)
        return {};
    const HandshakeMessage message = DecodeHandshakeMessage(bytes);
    if (const auto* bad = std::get_if<MalformedHandshake>(&message))
        return refuse(HandshakeRefusal::Failed,
                      QStringLiteral("A malformed message of the secure handshake (%1)").arg(bad->reason));
    if (m_helloBytes.isEmpty()) {
        if (const auto* hello = std::get_if<SecureHello>(&message))
            return answerHello(*hello, bytes);
    } else if (const auto* confirm = std::get_if<SecureConfirm>(&message)) {
        return answerConfirm(*confirm);
    }
    return refuse(HandshakeRefusal::Failed, QStringLiteral("A message of the secure handshake out of place"));
}

QByteArray ServerHandshake::answerHello(const SecureHello& hello, QByteArrayView bytes)
{
    m_hello = hello;
    m_helloBytes = bytes.toByteArray();
    const QString name = QString::fromUtf8(hello.name);
    if (HasControlBytes(hello.name))
        return refuse(HandshakeRefusal::Failed, QStringLiteral("A device name with control characters"));
    TrustedDevices::Check known;
    if (m_setup.trusted)
        try {
            known = m_setup.trusted->check(name, hello.identity);
        } catch (const AppError& error) {
            // A list that cannot be read trusts no one; the user hears of it where it is shown.
            qCDebug(lcSecure).noquote() << error.message();
        }
    m_trustedBefore = known.standing == TrustedDevices::Standing::Trusted;
    if (known.standing == TrustedDevices::Standing::KeyChanged)
        return refuse(
            HandshakeRefusal::KeyChanged,
            QStringLiteral("A device named \"%1\" is trusted here with another key (fingerprint %2; the "
                           "sender's is %3). If that device was set up anew, forget it on the server "
                           "(\"ferrowarden devices forget %1\") and pair again.")
                .arg(Printable(name), Identity::Fingerprint(known.stored.key), Identity::Fingerprint(hello.identity)));
    const bool codeShown = m_setup.codes != nullptr && m_setup.policy == AcceptPolicy::Paired;
    if (hello.withCode && !codeShown)
        return refuse(
            m_setup.policy == AcceptPolicy::Trusted ? HandshakeRefusal::NotTrusted : HandshakeRefusal::Failed,
            m_setup.policy == AcceptPolicy::Trusted
                ? QStringLiteral("This server accepts trusted devices only and takes no pairing code now")
                : QStringLiteral("This server shows no pairing code; it pairs when it runs with --accept paired"));
    if (!hello.withCode && !IsZero(hello.share))
        return refuse(HandshakeRefusal::Failed, QStringLiteral("A pairing share without a code"));
    if (!hello.withCode && !m_trustedBefore) {
        if (m_setup.policy == AcceptPolicy::Trusted)
            return refuse(HandshakeRefusal::NotTrusted, QStringLiteral("This server accepts trusted devices only"));
        if (m_setup.policy == AcceptPolicy::Paired)
            return refuse(HandshakeRefusal::NeedsPairing,
                          QStringLiteral("This server needs the pairing code it shows (send --code CODE)"));
    }
    if (hello.withCode) {
        m_attempt = m_setup.codes->beginAttempt();
        if (!m_attempt)
            return refuse(HandshakeRefusal::WrongCode,
                          QStringLiteral("Too many attempts at the pairing code; ask for the new code"));
    }

    std::array<std::uint8_t, 32> ephemeralSecret{};
    SecureReply reply;
    reply.codeUsed = hello.withCode;
    reply.clientTrusted = m_trustedBefore;
    reply.aesRecords = hello.aesFast && m_setup.aesFast;
    reply.groupedRecords = hello.groupsRecords;
    reply.ephemeral = MakeEphemeral(ephemeralSecret);
    reply.identity = m_setup.identity.publicKey();
    reply.name = m_setup.name;
    reply.name = std::get<SecureReply>(DecodeHandshakeMessage(EncodeSecureReply(reply))).name; // cut as it travels
    const std::optional<Bytes32> exchanged = Exchange(ephemeralSecret, hello.ephemeral);
    sodium_memzero(ephemeralSecret.data(), ephemeralSecret.size());
    if (!exchanged)
        return refuse(HandshakeRefusal::Failed, QStringLiteral("The sender's key exchange is not valid"));
    QByteArray isk;
    if (hello.withCode) {
        CPace cpace(m_attempt->code.digits(), Channel(hello.identity), m_setup.instance);
        reply.share = cpace.share();
        const std::optional<Bytes64> key =
            cpace.sessionKey(hello.share, AssociatedData(reply.ephemeral, reply.identity, reply.name),
                             AssociatedData(hello.ephemeral, hello.identity, hello.name), false);
        if (!key)
            return refuse(HandshakeRefusal::Failed, QStringLiteral("The sender's pairing share is not valid"));
        isk = View(*key).toByteArray();
    }
    const QByteArray head = EncodeSecureReplyHead(reply);
    const Bytes64 transcript = KeySchedule::TranscriptHash(m_setup.instance, m_helloBytes, head);
    const KeySchedule keys = KeySchedule::Derive(*exchanged, isk, transcript);
    sodium_memzero(isk.data(), std::size_t(isk.size()));
    reply.tag = KeySchedule::Tag(keys.serverConfirm, transcript);
    const QByteArray signedText = KeySchedule::SignedText(true, transcript);
    reply.signature = m_setup.identity.sign(reinterpret_cast<const std::uint8_t*>(signedText.constData()),
                                            std::size_t(signedText.size()));
    m_clientConfirm = keys.clientConfirm;
    m_clientToServer = keys.clientToServer;
    m_serverToClient = keys.serverToClient;
    m_reply = EncodeSecureReply(reply);
    m_session.cipher = reply.aesRecords ? RecordCipher::Aes256Gcm : RecordCipher::ChaCha20Poly1305;
    m_session.groupedRecords = reply.groupedRecords;
    return m_reply;
}

QByteArray ServerHandshake::answerConfirm(const SecureConfirm& confirm)
{
    const Bytes64 transcript = KeySchedule::TranscriptHash(m_setup.instance, m_helloBytes, m_reply);
    if (!KeySchedule::SameTag(confirm.tag, KeySchedule::Tag(m_clientConfirm, transcript))) {
        if (m_attempt)
            return refuse(HandshakeRefusal::WrongCode, QStringLiteral("The pairing code was wrong"));
        return refuse(HandshakeRefusal::Failed, QStringLiteral("The sender's proof of the key exchange does not hold"));
    }
    const QByteArray signedText = KeySchedule::SignedText(false, transcript);
    if (!Identity::Verify(m_hello.identity, confirm.signature,
                          reinterpret_cast<const std::uint8_t*>(signedText.constData()),
                          std::size_t(signedText.size())))
        return refuse(HandshakeRefusal::Failed, QStringLiteral("The sender's identity signature does not hold"));
    m_session.paired = m_attempt.has_value();
    endAttempt(true);
    m_session.sendKey = m_serverToClient;
    m_session.receiveKey = m_clientToServer;
    m_session.peerName = m_hello.name;
    m_session.peerIdentity = m_hello.identity;
    m_session.peerTrusted = m_trustedBefore;
    m_state = HandshakeState::Done;
    return {};
}
