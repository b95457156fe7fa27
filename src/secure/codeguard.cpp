#include "secure/codeguard.h"

#include "secure/logging.h"

CodeGuard::CodeGuard(std::function<void(const PairingCode&)> renewed, std::optional<PairingCode> first)
    : m_renewed(std::move(renewed)), m_code(first ? *std::move(first) : PairingCode::Make())
{
}

std::optional<CodeGuard::Attempt> CodeGuard::beginAttempt()
{
    if (m_wrong + m_pending >= kAttemptsPerCode)
        return std::nullopt;
    ++m_pending;
    return Attempt{m_code, m_generation};
}

void CodeGuard::endAttempt(const Attempt& attempt, bool right)
{
    if (attempt.generation != m_generation)
        return;
    --m_pending;
    if (right)
        return;
    if (++m_wrong < kAttemptsPerCode)
        return;
    m_code = PairingCode::Make();
    ++m_generation;
    m_wrong = 0;
    m_pending = 0;
    qCDebug(lcSecure) << "Three wrong pairing codes: a new code replaces the old one";
    if (m_renewed)
        m_renewed(m_code);
}
