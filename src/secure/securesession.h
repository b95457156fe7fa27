#pragma once

#include "secure/recordchannel.h"
#include "secure/securemessages.h"

#include <QByteArray>
#include <QString>

// What a finished handshake leaves: the record keys of both directions, the cipher, and
// who the other end proved to be.
struct SecureSession {
    RecordCipher cipher = RecordCipher::ChaCha20Poly1305;
    bool groupedRecords = false; // the client seals a batch's Data packets several to a record
    Bytes32 sendKey{};
    Bytes32 receiveKey{};
    QByteArray peerName;      // the other device's name, as it sent it (escape before showing)
    Bytes32 peerIdentity{};   // its identity key; it signed this handshake with it
    bool paired = false;      // both proved the same pairing code: trust each other from now on
    bool peerTrusted = false; // the other end was a trusted device here already
};

// Where a handshake stands after each message.
enum class HandshakeState {
    Running, // waiting for the other end's next message
    Done,    // session() holds the keys; the copy goes on in sealed records
    Refused, // refusal() and refusalText() say why; nothing of the copy may follow
};
