#include "secure/identity.h"

#include "platform/apperror.h"
#include "secure/logging.h"
#include "secure/sodiumsetup.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <sodium.h>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

// The file holds a first line naming its kind, then the seed in hex: nothing else is kept.
constexpr char kFileTag[] = "ferrowarden-identity ed25519\n";
constexpr QFileDevice::Permissions kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

QByteArray fileBytes(const QString& path, bool& exists)
{
    QFile file(path);
    exists = file.exists();
    if (!exists)
        return {};
    constexpr QFileDevice::Permissions kOthers =
        QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ReadOther | QFileDevice::WriteOther;
    if (file.permissions() & kOthers)
        throw AppError(QStringLiteral("The identity key %1 may be read by other users; make it "
                                      "private (chmod 600) or remove it to make a new one")
                           .arg(path));
    if (!file.open(QIODevice::ReadOnly))
        throw AppError(QStringLiteral("Cannot read the identity key %1: %2").arg(path, file.errorString()));
    return file.read(4096);
}

} // namespace

Identity Identity::Generate()
{
    EnsureSodium();
    std::uint8_t seed[crypto_sign_SEEDBYTES];
    randombytes_buf(seed, sizeof seed);
    Identity identity;
    identity.fromSeed(seed);
    sodium_memzero(seed, sizeof seed);
    return identity;
}

QString Identity::defaultFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
           + QStringLiteral("/ferrowarden/identity.key");
}

Identity Identity::LoadOrCreate(const QString& filePath)
{
    EnsureSodium();
    for (int round = 0; round < 2; ++round) {
        bool exists = false;
        QByteArray text = fileBytes(filePath, exists);
        if (exists) {
            const QByteArray hex =
                text.startsWith(kFileTag) ? text.mid(qsizetype(std::strlen(kFileTag))).trimmed() : QByteArray();
            const QByteArray seed = QByteArray::fromHex(hex);
            sodium_memzero(text.data(), std::size_t(text.size()));
            if (hex.size() != 2 * crypto_sign_SEEDBYTES || seed.size() != crypto_sign_SEEDBYTES)
                throw AppError(QStringLiteral("The identity key %1 is damaged; remove it to make a new "
                                              "one (trusted devices then need pairing again)")
                                   .arg(filePath));
            Identity identity;
            identity.fromSeed(reinterpret_cast<const std::uint8_t*>(seed.constData()));
            return identity;
        }
        // First use: written under a temporary name with mode 0600 from the start, then
        // linked into place only if no other process got there first (then that one counts).
        Identity identity = Generate();
        const QString folder = QFileInfo(filePath).absolutePath();
        if (!QDir().mkpath(folder))
            throw AppError(QStringLiteral("Cannot make the folder %1 for the identity key").arg(folder));
        const QString temporary = filePath + QStringLiteral(".new-%1").arg(::getpid());
        QFile::remove(temporary);
        QFile file(temporary);
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly, kOwnerOnly))
            throw AppError(QStringLiteral("Cannot write the identity key %1: %2").arg(temporary, file.errorString()));
        QByteArray content =
            QByteArray(kFileTag)
            + QByteArray(reinterpret_cast<const char*>(identity.m_secret.data()), crypto_sign_SEEDBYTES).toHex() + '\n';
        const bool written = file.write(content) == content.size() && file.flush() && ::fsync(file.handle()) == 0;
        sodium_memzero(content.data(), std::size_t(content.size()));
        file.close();
        if (!written) {
            QFile::remove(temporary);
            throw AppError(QStringLiteral("Cannot write the identity key %1").arg(temporary));
        }
        const int linked = ::link(QFile::encodeName(temporary).constData(), QFile::encodeName(filePath).constData());
        const int error = errno;
        QFile::remove(temporary);
        if (linked == 0) {
            qCDebug(lcSecure) << "Made this device's identity key" << filePath;
            return identity;
        }
        if (error != EEXIST)
            throw AppError(QStringLiteral("Cannot store the identity key %1: %2")
                               .arg(filePath, QString::fromLocal8Bit(std::strerror(error))));
    }
    throw AppError(QStringLiteral("Cannot read the identity key %1").arg(filePath));
}

Identity::~Identity()
{
    sodium_memzero(m_secret.data(), m_secret.size());
}

Identity::Identity(const Identity& other) = default;
Identity& Identity::operator=(const Identity& other) = default;

void Identity::fromSeed(const std::uint8_t* seed)
{
    crypto_sign_seed_keypair(m_public.data(), m_secret.data(), seed);
}

Identity::Signature Identity::sign(const std::uint8_t* message, std::size_t size) const
{
    Signature signature{};
    crypto_sign_detached(signature.data(), nullptr, message, size, m_secret.data());
    return signature;
}

bool Identity::Verify(const PublicKey& key, const Signature& signature, const std::uint8_t* message, std::size_t size)
{
    EnsureSodium();
    return crypto_sign_verify_detached(signature.data(), message, size, key.data()) == 0;
}

QString Identity::Fingerprint(const PublicKey& key)
{
    EnsureSodium();
    std::uint8_t hash[12];
    static constexpr char kContext[] = "ferrowarden fingerprint";
    crypto_generichash(hash, sizeof hash, key.data(), key.size(), reinterpret_cast<const std::uint8_t*>(kContext),
                       sizeof kContext - 1);
    QString text;
    for (std::size_t i = 0; i < sizeof hash; i += 2) {
        if (!text.isEmpty())
            text += u' ';
        text += QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(hash + i), 2).toHex());
    }
    return text;
}
