#include "secure/keyschedule.h"

#include "secure/cpace.h"
#include "secure/sodiumsetup.h"

#include <sodium.h>

#include <cstring>

namespace {

const std::uint8_t* bytes(QByteArrayView view)
{
    return reinterpret_cast<const std::uint8_t*>(view.data());
}

// HKDF-Expand for one block, cut to 32 bytes.
Bytes32 expand(const std::uint8_t* prk, const char* label)
{
    crypto_auth_hmacsha512_state state;
    crypto_auth_hmacsha512_init(&state, prk, crypto_auth_hmacsha512_BYTES);
    crypto_auth_hmacsha512_update(&state, reinterpret_cast<const std::uint8_t*>(label), std::strlen(label));
    const std::uint8_t counter = 1;
    crypto_auth_hmacsha512_update(&state, &counter, 1);
    std::uint8_t block[crypto_auth_hmacsha512_BYTES];
    crypto_auth_hmacsha512_final(&state, block);
    Bytes32 key{};
    std::memcpy(key.data(), block, key.size());
    sodium_memzero(block, sizeof block);
    return key;
}

} // namespace

KeySchedule KeySchedule::Derive(const Bytes32& exchanged, QByteArrayView isk, const Bytes64& transcript)
{
    EnsureSodium();
    // HKDF-Extract: the transcript hash is the salt, the shared secrets the input.
    std::uint8_t prk[crypto_auth_hmacsha512_BYTES];
    crypto_auth_hmacsha512_state state;
    crypto_auth_hmacsha512_init(&state, transcript.data(), transcript.size());
    crypto_auth_hmacsha512_update(&state, exchanged.data(), exchanged.size());
    crypto_auth_hmacsha512_update(&state, bytes(isk), std::size_t(isk.size()));
    crypto_auth_hmacsha512_final(&state, prk);
    KeySchedule keys;
    keys.clientToServer = expand(prk, "ferrowarden 2 client to server");
    keys.serverToClient = expand(prk, "ferrowarden 2 server to client");
    keys.clientConfirm = expand(prk, "ferrowarden 2 client confirm");
    keys.serverConfirm = expand(prk, "ferrowarden 2 server confirm");
    sodium_memzero(prk, sizeof prk);
    return keys;
}

KeySchedule::~KeySchedule()
{
    sodium_memzero(this, sizeof *this);
}

Bytes64 KeySchedule::TranscriptHash(QByteArrayView instance, QByteArrayView hello, QByteArrayView reply)
{
    EnsureSodium();
    const QByteArray input = CPace::LvCat({"ferrowarden secure copy 2", instance, hello, reply});
    Bytes64 hash{};
    crypto_hash_sha512(hash.data(), bytes(input), std::size_t(input.size()));
    return hash;
}

Bytes32 KeySchedule::Tag(const Bytes32& key, const Bytes64& transcript)
{
    Bytes32 tag{};
    crypto_auth_hmacsha512256(tag.data(), transcript.data(), transcript.size(), key.data());
    return tag;
}

bool KeySchedule::SameTag(const Bytes32& a, const Bytes32& b)
{
    return sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

QByteArray KeySchedule::SignedText(bool server, const Bytes64& transcript)
{
    QByteArray text(server ? "ferrowarden 2 server identity" : "ferrowarden 2 client identity");
    text.append(reinterpret_cast<const char*>(transcript.data()), qsizetype(transcript.size()));
    return text;
}
