#pragma once

#include "secure/securemessages.h"

#include <QByteArray>
#include <QByteArrayView>

#include <optional>

// Steps both ends of the handshake take alike.
namespace HandshakeParts {

// A fresh X25519 key pair: the secret into `secret`, the public key returned.
Bytes32 MakeEphemeral(std::array<std::uint8_t, 32>& secret);
// The X25519 secret with the other end's key; nullopt when that key is of low order.
std::optional<Bytes32> Exchange(const std::array<std::uint8_t, 32>& secret, const Bytes32& peer);
// What CPace binds besides the code: the channel (this program's copy and the sender's
// identity) and each end's associated data (its ephemeral key, identity and name).
QByteArray Channel(const Bytes32& clientIdentity);
QByteArray AssociatedData(const Bytes32& ephemeral, const Bytes32& identity, const QByteArray& name);
QByteArrayView View(const Bytes32& bytes);
QByteArrayView View(const Bytes64& bytes);
bool IsZero(const Bytes32& bytes);

} // namespace HandshakeParts
