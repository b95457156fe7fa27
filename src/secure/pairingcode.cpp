#include "secure/pairingcode.h"

#include "secure/sodiumsetup.h"

#include <sodium.h>

PairingCode PairingCode::Make()
{
    EnsureSodium();
    // randombytes_uniform has no modulo bias.
    const std::uint32_t value = randombytes_uniform(100'000'000u);
    return PairingCode(QByteArray::number(value).rightJustified(kDigits, '0'));
}

std::optional<PairingCode> PairingCode::FromTyped(const QString& typed)
{
    QByteArray digits;
    for (const QChar c : typed) {
        if (c == u'-' || c.isSpace())
            continue;
        if (c < u'0' || c > u'9' || digits.size() == kDigits)
            return std::nullopt;
        digits.append(char(c.unicode()));
    }
    if (digits.size() != kDigits)
        return std::nullopt;
    return PairingCode(digits);
}

QString PairingCode::text() const
{
    return QString::fromLatin1(m_digits.left(kDigits / 2)) + u'-' + QString::fromLatin1(m_digits.mid(kDigits / 2));
}
