#pragma once

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>

// This installation's long-term identity: an Ed25519 key pair, made at first use and kept
// in the config folder beside the settings (mode 0600, readable by the user alone). Trusted
// devices know each other by their public keys; people compare them as fingerprints.
class Identity {
public:
    using PublicKey = std::array<std::uint8_t, 32>;
    using Signature = std::array<std::uint8_t, 64>;

    // The identity stored at `filePath`, made and stored first when there is none. AppError
    // when the file cannot be read or written, is damaged, or others may read it.
    static Identity LoadOrCreate(const QString& filePath = defaultFilePath());
    // A new identity that lives in memory only (tests, and a client that keeps none).
    static Identity Generate();
    // "ferrowarden/identity.key" under the user's config folder (XDG_CONFIG_HOME moves it).
    static QString defaultFilePath();

    ~Identity();
    Identity(const Identity& other);
    Identity& operator=(const Identity& other);

    const PublicKey& publicKey() const { return m_public; }
    Signature sign(const std::uint8_t* message, std::size_t size) const;
    static bool Verify(const PublicKey& key, const Signature& signature, const std::uint8_t* message, std::size_t size);

    // The key as people compare it: 24 hex digits in groups of four ("3f9a 12bc ..."), the
    // start of its BLAKE2b hash, 96 bits; enough that no one makes a key to match.
    static QString Fingerprint(const PublicKey& key);
    QString fingerprint() const { return Fingerprint(m_public); }

private:
    Identity() = default;
    void fromSeed(const std::uint8_t* seed);

    std::array<std::uint8_t, 64> m_secret{}; // libsodium's form: the seed, then the public key
    PublicKey m_public{};
};
