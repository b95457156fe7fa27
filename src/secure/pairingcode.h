#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The short code that pairs two devices: eight digits shown as two groups of four
// ("4829-1375", about 26.6 bits), easy to read out and to type. Only the digits count: what
// a user types may have spaces, a missing dash or another grouping.
class PairingCode {
public:
    static constexpr int kDigits = 8;

    // A fresh code from the system's random source.
    static PairingCode Make();
    // The code a user typed, or nullopt when it is not eight digits once spaces and dashes
    // are dropped.
    static std::optional<PairingCode> FromTyped(const QString& typed);

    // "4829-1375".
    QString text() const;
    // The eight ASCII digits, the secret both ends feed into the key exchange.
    const QByteArray& digits() const { return m_digits; }

    bool operator==(const PairingCode&) const = default;

private:
    explicit PairingCode(QByteArray digits) : m_digits(std::move(digits)) {}

    QByteArray m_digits;
};
