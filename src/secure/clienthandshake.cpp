#include "secure/clienthandshake.h"

#include "platform/apperror.h"
#include "secure/cpace.h"
#include "secure/handshakeparts.h"
#include "secure/keyschedule.h"
#include "secure/logging.h"
#include "secure/trusteddevices.h"
#include "text/printable.h"

#include <sodium.h>

using namespace HandshakeParts;

ClientHandshake::ClientHandshake(Setup setup) : m_setup(std::move(setup))
{
    m_ephemeral = MakeEphemeral(m_ephemeralSecret);
    SecureHello hello;
    hello.withCode = m_setup.code.has_value();
    hello.aesFast = m_setup.aesFast;
    hello.groupsRecords = m_setup.hostGroups;
    hello.ephemeral = m_ephemeral;
    hello.identity = m_setup.identity.publicKey();
    hello.name = m_setup.name;
    if (m_setup.code) {
        m_cpace = std::make_unique<CPace>(m_setup.code->digits(), Channel(hello.identity), m_setup.instance);
        hello.share = m_cpace->share();
    }
    m_hello = EncodeSecureHello(hello);
    // The name as it travels (cut to its limit) is the one both ends bind.
    m_setup.name = std::get<SecureHello>(DecodeHandshakeMessage(m_hello)).name;
}

ClientHandshake::~ClientHandshake()
{
    sodium_memzero(m_ephemeralSecret.data(), m_ephemeralSecret.size());
}

QByteArray ClientHandshake::refuse(HandshakeRefusal reason, const QString& text)
{
    m_state = HandshakeState::Refused;
    m_refusal = reason;
    m_refusalText = text;
    qCDebug(lcSecure).noquote() << "Secure handshake refused:" << text;
    return {};
}

QByteArray ClientHandshake::feed(QByteArrayView bytes)
{
    if (m_state != HandshakeState::Running)
        return {};
    const HandshakeMessage message = DecodeHandshakeMessage(bytes);
    if (const auto* refusal = std::get_if<SecureRefusalMessage>(&message)) {
        m_byServer = true;
        return refuse(
            refusal->reason,
            QStringLiteral("The server refused the copy: %1").arg(Printable(QString::fromUtf8(refusal->text))));
    }
    if (const auto* bad = std::get_if<MalformedHandshake>(&message))
        return refuse(HandshakeRefusal::Failed, QStringLiteral("The server's answer to the secure handshake is "
                                                               "malformed (%1)")
                                                    .arg(bad->reason));
    if (const auto* reply = std::get_if<SecureReply>(&message))
        return answerReply(*reply, bytes);
    return refuse(HandshakeRefusal::Failed, QStringLiteral("The server sent a message of the handshake out of place"));
}

QByteArray ClientHandshake::answerReply(const SecureReply& reply, QByteArrayView bytes)
{
    const QString serverName = QString::fromUtf8(reply.name);
    const QString shownName = Printable(serverName);
    if (HasControlBytes(reply.name))
        return refuse(HandshakeRefusal::Failed,
                      QStringLiteral("The server's name \"%1\" has control characters").arg(shownName));
    TrustedDevices::Check known;
    if (m_setup.trusted)
        try {
            known = m_setup.trusted->check(serverName, reply.identity);
        } catch (const AppError& error) {
            // A list that cannot be read trusts no one; the user hears of it where it is shown.
            qCDebug(lcSecure).noquote() << error.message();
        }
    if (known.standing == TrustedDevices::Standing::KeyChanged)
        return refuse(
            HandshakeRefusal::KeyChanged,
            QStringLiteral("The server calls itself \"%1\", but a device of that name is trusted here with "
                           "another key (fingerprint %2; the server's is %3). Nothing was sent. If that "
                           "device was set up anew, run \"ferrowarden devices forget %1\" and pair again.")
                .arg(shownName, Identity::Fingerprint(known.stored.key), Identity::Fingerprint(reply.identity)));
    if (m_cpace && !reply.codeUsed)
        return refuse(HandshakeRefusal::NeedsPairing,
                      QStringLiteral("The server did not take the pairing code, so it cannot prove it is the one "
                                     "showing that code; nothing was sent"));
    if (!m_cpace && (reply.codeUsed || !IsZero(reply.share)))
        return refuse(HandshakeRefusal::Failed, QStringLiteral("The server answered with a pairing code no one gave"));
    if (reply.aesRecords && !m_setup.aesFast)
        return refuse(HandshakeRefusal::Failed,
                      QStringLiteral("The server chose AES-256-GCM, which this end did not offer"));
    if (reply.groupedRecords && !m_setup.hostGroups)
        return refuse(HandshakeRefusal::Failed,
                      QStringLiteral("The server agreed to grouped records, which this end did not offer"));

    const std::optional<Bytes32> exchanged = Exchange(m_ephemeralSecret, reply.ephemeral);
    if (!exchanged)
        return refuse(HandshakeRefusal::Failed, QStringLiteral("The server's key exchange is not valid"));
    QByteArray isk;
    if (m_cpace) {
        const std::optional<Bytes64> key =
            m_cpace->sessionKey(reply.share, AssociatedData(m_ephemeral, m_setup.identity.publicKey(), m_setup.name),
                                AssociatedData(reply.ephemeral, reply.identity, reply.name), true);
        if (!key)
            return refuse(HandshakeRefusal::Failed, QStringLiteral("The server's pairing share is not valid"));
        isk = View(*key).toByteArray();
    }
    const QByteArray replyHead = bytes.first(bytes.size() - kReplyTail).toByteArray();
    const Bytes64 serverTranscript = KeySchedule::TranscriptHash(m_setup.instance, m_hello, replyHead);
    const KeySchedule keys = KeySchedule::Derive(*exchanged, isk, serverTranscript);
    sodium_memzero(isk.data(), std::size_t(isk.size()));

    const Bytes64 clientTranscript = KeySchedule::TranscriptHash(m_setup.instance, m_hello, bytes);
    SecureConfirm confirm;
    confirm.tag = KeySchedule::Tag(keys.clientConfirm, clientTranscript);
    const QByteArray signedText = KeySchedule::SignedText(false, clientTranscript);
    confirm.signature = m_setup.identity.sign(reinterpret_cast<const std::uint8_t*>(signedText.constData()),
                                              std::size_t(signedText.size()));
    const QByteArray answer = EncodeSecureConfirm(confirm);

    if (!KeySchedule::SameTag(reply.tag, KeySchedule::Tag(keys.serverConfirm, serverTranscript))) {
        if (!m_cpace)
            return refuse(HandshakeRefusal::Failed,
                          QStringLiteral("The server's proof of the key exchange does not hold"));
        // The server learns of it from our own tag, which cannot hold either.
        refuse(HandshakeRefusal::WrongCode, QStringLiteral("The pairing code was wrong (or someone is between this "
                                                           "device and the server); nothing was sent"));
        return answer;
    }
    const QByteArray serverSigned = KeySchedule::SignedText(true, serverTranscript);
    if (!Identity::Verify(reply.identity, reply.signature,
                          reinterpret_cast<const std::uint8_t*>(serverSigned.constData()),
                          std::size_t(serverSigned.size())))
        return refuse(HandshakeRefusal::Failed, QStringLiteral("The server's identity signature does not hold"));

    m_session.cipher = reply.aesRecords ? RecordCipher::Aes256Gcm : RecordCipher::ChaCha20Poly1305;
    m_session.groupedRecords = reply.groupedRecords;
    m_session.sendKey = keys.clientToServer;
    m_session.receiveKey = keys.serverToClient;
    m_session.peerName = reply.name;
    m_session.peerIdentity = reply.identity;
    m_session.paired = m_cpace != nullptr;
    m_session.peerTrusted = known.standing == TrustedDevices::Standing::Trusted;
    m_state = HandshakeState::Done;
    return answer;
}
