#pragma once

#include "secure/pairingcode.h"

#include <functional>
#include <optional>

// The server's current pairing code and the attempts made at it. A sender that tries a
// code learns whether it was right, so every attempt counts as wrong from the moment the
// server answers it until the sender proves the code; after three wrong ones the code is
// replaced, so an attacker gets three guesses per code. Used from one thread.
class CodeGuard {
public:
    static constexpr int kAttemptsPerCode = 3;

    // `renewed` hears of each new code after wrong attempts (to show it). `first` is the code
    // to start with when the user has seen one already; a fresh one otherwise.
    explicit CodeGuard(std::function<void(const PairingCode&)> renewed = {},
                       std::optional<PairingCode> first = std::nullopt);

    const PairingCode& code() const { return m_code; }
    int wrongAttempts() const { return m_wrong; }

    // One attempt, made at the code that was current when it began.
    struct Attempt {
        PairingCode code;
        unsigned generation = 0;
    };
    // An attempt at the current code starts; nullopt when the code has no attempt left (the
    // ones under way could use up the last), and the attempt must be refused.
    std::optional<Attempt> beginAttempt();
    // The attempt ended: right (the sender proved the code) or not, the latter also when the
    // sender went away before proving anything. The third wrong one renews the code; an
    // attempt at a code already replaced changes nothing.
    void endAttempt(const Attempt& attempt, bool right);

private:
    std::function<void(const PairingCode&)> m_renewed;
    PairingCode m_code;
    int m_wrong = 0;
    int m_pending = 0;
    unsigned m_generation = 0;
};
