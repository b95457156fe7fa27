#include "secure/handshakeparts.h"

#include "secure/cpace.h"
#include "secure/sodiumsetup.h"

#include <sodium.h>

namespace HandshakeParts {

Bytes32 MakeEphemeral(std::array<std::uint8_t, 32>& secret)
{
    EnsureSodium();
    randombytes_buf(secret.data(), secret.size());
    Bytes32 key{};
    crypto_scalarmult_base(key.data(), secret.data());
    return key;
}

std::optional<Bytes32> Exchange(const std::array<std::uint8_t, 32>& secret, const Bytes32& peer)
{
    Bytes32 shared{};
    // libsodium refuses a result of all zeros, which a key of low order gives.
    if (crypto_scalarmult(shared.data(), secret.data(), peer.data()) != 0)
        return std::nullopt;
    return shared;
}

QByteArray Channel(const Bytes32& clientIdentity)
{
    return CPace::LvCat({"ferrowarden copy", View(clientIdentity)});
}

QByteArray AssociatedData(const Bytes32& ephemeral, const Bytes32& identity, const QByteArray& name)
{
    return CPace::LvCat({View(ephemeral), View(identity), name});
}

QByteArrayView View(const Bytes32& bytes)
{
    return QByteArrayView(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
}

QByteArrayView View(const Bytes64& bytes)
{
    return QByteArrayView(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
}

bool IsZero(const Bytes32& bytes)
{
    return sodium_is_zero(bytes.data(), bytes.size()) == 1;
}

} // namespace HandshakeParts
