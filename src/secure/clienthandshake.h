#pragma once

#include "secure/identity.h"
#include "secure/pairingcode.h"
#include "secure/recordchannel.h"
#include "secure/securesession.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <memory>
#include <optional>

class CPace;
class TrustedDevices;

// The sender's side of a secure copy's handshake, as a state machine without sockets:
// hello() is its first message, feed() takes each message of the server and returns what
// to send back. It ends Done (keys and the server's proven identity in session()) or
// Refused with a reason. It refuses a server that cannot prove what the sender expects: the
// code it was given, or the key it trusts under the server's name.
class ClientHandshake {
public:
    struct Setup {
        QByteArray instance; // the hosted session's instance GUID
        Identity identity;
        QByteArray name;                         // this device's name (UTF-8)
        std::optional<PairingCode> code;         // given by the user to pair
        const TrustedDevices* trusted = nullptr; // the devices trusted here; null: none
        bool aesFast = AesGcmAvailable();
        // The host's session says its server opens grouped records (kHostOpensGroupedRecords).
        bool hostGroups = false;
    };

    explicit ClientHandshake(Setup setup);
    ~ClientHandshake();

    const QByteArray& hello() const { return m_hello; }
    QByteArray feed(QByteArrayView message);

    HandshakeState state() const { return m_state; }
    const SecureSession& session() const { return m_session; }
    HandshakeRefusal refusal() const { return m_refusal; }
    // Plain words for the user; texts from the server are escaped already.
    const QString& refusalText() const { return m_refusalText; }
    // True when the server sent the refusal; false when this end refused the server.
    bool refusedByServer() const { return m_byServer; }

private:
    QByteArray refuse(HandshakeRefusal reason, const QString& text);
    QByteArray answerReply(const SecureReply& reply, QByteArrayView bytes);

    Setup m_setup;
    std::array<std::uint8_t, 32> m_ephemeralSecret{};
    Bytes32 m_ephemeral{};
    std::unique_ptr<CPace> m_cpace;
    QByteArray m_hello;
    HandshakeState m_state = HandshakeState::Running;
    SecureSession m_session;
    HandshakeRefusal m_refusal = HandshakeRefusal::Failed;
    QString m_refusalText;
    bool m_byServer = false;
};
