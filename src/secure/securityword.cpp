#include "secure/securityword.h"

std::uint32_t SecurityWord::Encode() const
{
    return static_cast<std::uint32_t>(policy) | (codeShown ? 4u : 0u) | ((fingerprintHint & 0xFFFFFFu) << 8);
}

std::optional<SecurityWord> SecurityWord::Decode(std::uint32_t word)
{
    const std::uint32_t policy = word & 3u;
    if (policy > static_cast<std::uint32_t>(AcceptPolicy::Trusted) || (word & 0xF8u) != 0)
        return std::nullopt;
    return SecurityWord{static_cast<AcceptPolicy>(policy), (word & 4u) != 0, word >> 8};
}

std::uint32_t SecurityWord::HintOf(const Identity::PublicKey& key)
{
    const QString fingerprint = Identity::Fingerprint(key).remove(QLatin1Char(' '));
    return fingerprint.left(6).toUInt(nullptr, 16);
}
