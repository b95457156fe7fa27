#pragma once

#include "secure/acceptpolicy.h"
#include "secure/codeguard.h"
#include "secure/identity.h"
#include "secure/recordchannel.h"
#include "secure/securesession.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <memory>
#include <optional>

class CPace;
class TrustedDevices;

// The receiving server's side of a secure copy's handshake, as a state machine without
// sockets: feed() takes each message of the sender (its Hello, then its Confirm) and returns
// what to send back. It ends Done (keys and the sender's proven identity in session()) or
// Refused, having answered the sender with a Refusal that says why in plain words.
class ServerHandshake {
public:
    struct Setup {
        QByteArray instance; // this hosted session's instance GUID
        Identity identity;
        QByteArray name; // this device's name (UTF-8)
        AcceptPolicy policy = AcceptPolicy::Open;
        CodeGuard* codes = nullptr;              // the code shown now; null when none is
        const TrustedDevices* trusted = nullptr; // the devices trusted here; null: none
        bool aesFast = AesGcmAvailable();
    };

    explicit ServerHandshake(Setup setup);
    // A code attempt still unproven counts as a wrong one.
    ~ServerHandshake();

    QByteArray feed(QByteArrayView message);

    HandshakeState state() const { return m_state; }
    const SecureSession& session() const { return m_session; }
    HandshakeRefusal refusal() const { return m_refusal; }
    const QString& refusalText() const { return m_refusalText; }
    // The sender's name as it gave it in its Hello (empty before), for the server's lines.
    const QByteArray& peerName() const { return m_hello.name; }

private:
    QByteArray refuse(HandshakeRefusal reason, const QString& text);
    QByteArray answerHello(const SecureHello& hello, QByteArrayView bytes);
    QByteArray answerConfirm(const SecureConfirm& confirm);
    void endAttempt(bool right);

    Setup m_setup;
    HandshakeState m_state = HandshakeState::Running;
    SecureHello m_hello;
    QByteArray m_helloBytes;
    QByteArray m_reply;
    bool m_trustedBefore = false;
    std::optional<CodeGuard::Attempt> m_attempt;
    Bytes32 m_clientConfirm{};
    Bytes32 m_clientToServer{};
    Bytes32 m_serverToClient{};
    SecureSession m_session;
    HandshakeRefusal m_refusal = HandshakeRefusal::Failed;
    QString m_refusalText;
};
