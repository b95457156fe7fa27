#pragma once

#include "secure/acceptpolicy.h"
#include "secure/identity.h"

#include <cstdint>
#include <optional>

// What a host of secure copies tells searchers and joiners in its session's dwUser2 (only
// when its dwUser1 offers version 2 or later):
//
//   bits 0..1  policy (0 open, 1 paired, 2 trusted)   bit 2  a pairing code is shown now
//   bits 3..7  0   bits 8..31  the first three bytes of the host's fingerprint: a hint for
//              the sender's window and messages, never trusted (the handshake proves keys)
struct SecurityWord {
    AcceptPolicy policy = AcceptPolicy::Open;
    bool codeShown = false;
    std::uint32_t fingerprintHint = 0; // 24 bits

    std::uint32_t Encode() const;
    // nullopt when a reserved bit is set or the policy is unknown.
    static std::optional<SecurityWord> Decode(std::uint32_t word);
    // The hint of a key: the first three bytes of its fingerprint.
    static std::uint32_t HintOf(const Identity::PublicKey& key);
    bool operator==(const SecurityWord&) const = default;
};
