#pragma once

#include <QString>

#include <cstdint>
#include <optional>

// Who may send to a server.
enum class AcceptPolicy : std::uint8_t {
    Open = 0,    // anyone; an extended copy is still encrypted
    Paired = 1,  // a trusted device, or a sender that proves the current pairing code
    Trusted = 2, // trusted devices only
};

// "open", "paired", "trusted" (as serve --accept takes them), case ignored; nullopt otherwise.
std::optional<AcceptPolicy> ParseAcceptPolicy(const QString& text);
QString AcceptPolicyName(AcceptPolicy policy);
