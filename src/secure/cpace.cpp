#include "secure/cpace.h"

#include "platform/apperror.h"
#include "secure/sodiumsetup.h"

#include <sodium.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr qsizetype kSha512BlockBytes = 128;

QByteArray leb128(std::size_t value)
{
    QByteArray out;
    do {
        std::uint8_t byte = value & 0x7F;
        value >>= 7;
        if (value != 0)
            byte |= 0x80;
        out.append(char(byte));
    } while (value != 0);
    return out;
}

qsizetype prependedSize(QByteArrayView part)
{
    return leb128(std::size_t(part.size())).size() + part.size();
}

QByteArrayView view(const Bytes32& bytes)
{
    return QByteArrayView(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
}

} // namespace

QByteArray CPace::LvCat(std::initializer_list<QByteArrayView> parts)
{
    QByteArray out;
    for (const QByteArrayView part : parts) {
        out += leb128(std::size_t(part.size()));
        out += part;
    }
    return out;
}

QByteArray CPace::GeneratorString(QByteArrayView code, QByteArrayView channel, QByteArrayView sessionId)
{
    const QByteArrayView dsi(kDsi);
    const qsizetype padding = std::max<qsizetype>(0, kSha512BlockBytes - 1 - prependedSize(code) - prependedSize(dsi));
    const QByteArray zeros(padding, '\0');
    return LvCat({dsi, code, zeros, channel, sessionId});
}

CPace::CPace(QByteArrayView code, QByteArrayView channel, QByteArrayView sessionId)
    : m_sessionId(sessionId.toByteArray())
{
    EnsureSodium();
    const QByteArray generatorString = GeneratorString(code, channel, sessionId);
    std::uint8_t hash[crypto_hash_sha512_BYTES];
    crypto_hash_sha512(hash, reinterpret_cast<const std::uint8_t*>(generatorString.constData()),
                       std::size_t(generatorString.size()));
    std::uint8_t generator[crypto_core_ristretto255_BYTES];
    crypto_core_ristretto255_from_hash(generator, hash);
    crypto_core_ristretto255_scalar_random(m_scalar.data());
    if (crypto_scalarmult_ristretto255(m_share.data(), m_scalar.data(), generator) != 0)
        throw AppError(QStringLiteral("The pairing exchange could not start"));
}

CPace::~CPace()
{
    sodium_memzero(m_scalar.data(), m_scalar.size());
}

std::optional<Bytes64> CPace::sessionKey(const Bytes32& peerShare, QByteArrayView ownData, QByteArrayView peerData,
                                         bool initiator) const
{
    std::array<std::uint8_t, crypto_scalarmult_ristretto255_BYTES> shared{};
    // Fails on an encoding that is no valid point and on a result that is the identity.
    if (crypto_scalarmult_ristretto255(shared.data(), m_scalar.data(), peerShare.data()) != 0)
        return std::nullopt;
    const QByteArray dsiIsk = QByteArray(kDsi) + "_ISK";
    QByteArray input = LvCat({dsiIsk, m_sessionId, view(Bytes32(shared))});
    if (initiator)
        input += LvCat({view(m_share), ownData}) + LvCat({view(peerShare), peerData});
    else
        input += LvCat({view(peerShare), peerData}) + LvCat({view(m_share), ownData});
    Bytes64 isk{};
    crypto_hash_sha512(isk.data(), reinterpret_cast<const std::uint8_t*>(input.constData()), std::size_t(input.size()));
    sodium_memzero(shared.data(), shared.size());
    sodium_memzero(input.data(), std::size_t(input.size()));
    return isk;
}
