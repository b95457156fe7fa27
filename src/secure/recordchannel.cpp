#include "secure/recordchannel.h"

#include "platform/apperror.h"
#include "secure/sodiumsetup.h"

#include <QtEndian>

#include <openssl/evp.h>
#include <sodium.h>

#include <cstring>

// One OpenSSL cipher context per direction, keyed once: a record then only sets its nonce, so
// it costs no key schedule and no allocation. OpenSSL's AES-GCM and ChaCha20-Poly1305 seal
// faster than libsodium's on the same processor; the records are the same either way.
struct RecordChannel::Keys {
    struct FreeContext {
        void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
    };
    std::unique_ptr<EVP_CIPHER_CTX, FreeContext> send{EVP_CIPHER_CTX_new()};
    std::unique_ptr<EVP_CIPHER_CTX, FreeContext> receive{EVP_CIPHER_CTX_new()};
};

namespace {

constexpr std::size_t kNonceBytes = 12;
static_assert(crypto_aead_aes256gcm_NPUBBYTES == kNonceBytes);
static_assert(crypto_aead_chacha20poly1305_ietf_NPUBBYTES == kNonceBytes);
static_assert(crypto_aead_aes256gcm_ABYTES == RecordChannel::kTag);
static_assert(crypto_aead_chacha20poly1305_ietf_ABYTES == RecordChannel::kTag);

std::uint32_t recordType(RecordChannel::Side side)
{
    return static_cast<std::uint32_t>(side == RecordChannel::Side::Client ? SecureType::ClientRecord
                                                                          : SecureType::ServerRecord);
}

void makeNonce(std::uint8_t* nonce, RecordChannel::Side from, std::uint64_t sequence)
{
    std::memset(nonce, 0, kNonceBytes);
    nonce[0] = from == RecordChannel::Side::Client ? 1 : 2;
    qToLittleEndian(sequence, nonce + 4);
}

const EVP_CIPHER* evpCipher(RecordCipher cipher)
{
    return cipher == RecordCipher::Aes256Gcm ? EVP_aes_256_gcm() : EVP_chacha20_poly1305();
}

// Runs the AEAD over the head (associated data) and the text in place; true when OpenSSL
// took every step. On opening, the tag must be set before the final step checks it.
bool runAead(EVP_CIPHER_CTX* context, const std::uint8_t* nonce, const std::uint8_t* head, std::uint8_t* text,
             std::size_t size, std::uint8_t* tag, bool seal)
{
    int length = 0;
    if (EVP_CipherInit_ex(context, nullptr, nullptr, nullptr, nonce, seal ? 1 : 0) != 1
        || EVP_CipherUpdate(context, nullptr, &length, head, int(RecordChannel::kHead)) != 1
        || EVP_CipherUpdate(context, text, &length, text, int(size)) != 1)
        return false;
    if (!seal && EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_AEAD_SET_TAG, int(RecordChannel::kTag), tag) != 1)
        return false;
    if (EVP_CipherFinal_ex(context, text + size, &length) != 1)
        return false;
    return !seal || EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_AEAD_GET_TAG, int(RecordChannel::kTag), tag) == 1;
}

void keyContext(EVP_CIPHER_CTX* context, RecordCipher cipher, const Bytes32& key, bool seal)
{
    if (!context || EVP_CipherInit_ex(context, evpCipher(cipher), nullptr, key.data(), nullptr, seal ? 1 : 0) != 1
        || EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_AEAD_SET_IVLEN, int(kNonceBytes), nullptr) != 1)
        throw AppError(QStringLiteral("The records' cipher %1 cannot be set up").arg(CipherName(cipher)));
}

} // namespace

bool AesGcmAvailable()
{
    EnsureSodium();
    return crypto_aead_aes256gcm_is_available() == 1;
}

QString CipherName(RecordCipher cipher)
{
    return cipher == RecordCipher::Aes256Gcm ? QStringLiteral("AES-256-GCM") : QStringLiteral("ChaCha20-Poly1305");
}

RecordChannel::RecordChannel(RecordCipher cipher, Side side, const Bytes32& sendKey, const Bytes32& receiveKey)
    : m_cipher(cipher), m_side(side), m_keys(std::make_unique<Keys>())
{
    EnsureSodium();
    if (cipher == RecordCipher::Aes256Gcm) {
        if (!AesGcmAvailable())
            throw AppError(QStringLiteral("This processor cannot seal records with AES-256-GCM"));
    }
    keyContext(m_keys->send.get(), cipher, sendKey, true);
    keyContext(m_keys->receive.get(), cipher, receiveKey, false);
}

// Freeing a context wipes its key schedule.
RecordChannel::~RecordChannel() = default;

void RecordChannel::SealInPlace(std::uint8_t* record, std::size_t size)
{
    seal(recordType(m_side), record, size);
}

void RecordChannel::SealGroupInPlace(std::uint8_t* record, std::size_t size)
{
    if (m_side != Side::Client)
        throw AppError(QStringLiteral("Only the sender seals grouped records"));
    seal(static_cast<std::uint32_t>(SecureType::ClientRecords), record, size);
}

void RecordChannel::seal(std::uint32_t type, std::uint8_t* record, std::size_t size)
{
    if (size == 0 || size > kMaxPlain)
        throw AppError(QStringLiteral("A message of %1 bytes cannot be sealed").arg(size));
    qToLittleEndian(type, record);
    qToLittleEndian(std::uint32_t(0), record + 4);
    qToLittleEndian(m_sendSequence, record + 8);
    std::uint8_t nonce[kNonceBytes];
    makeNonce(nonce, m_side, m_sendSequence);
    std::uint8_t* text = record + kHead;
    if (!runAead(m_keys->send.get(), nonce, record, text, size, text + size, true))
        throw AppError(QStringLiteral("Record %1 could not be sealed").arg(m_sendSequence));
    ++m_sendSequence;
}

QByteArray RecordChannel::Seal(QByteArrayView message)
{
    QByteArray record(qsizetype(kOverhead) + message.size(), '\0');
    if (!message.isEmpty())
        std::memcpy(record.data() + kHead, message.data(), std::size_t(message.size()));
    SealInPlace(reinterpret_cast<std::uint8_t*>(record.data()), std::size_t(message.size()));
    return record;
}

RecordChannel::Opened RecordChannel::OpenInPlace(std::uint8_t* record, std::size_t size)
{
    const auto refuse = [this](const QString& why) {
        m_broken = true;
        return Opened{nullptr, 0, why};
    };
    if (m_broken)
        return Opened{nullptr, 0, QStringLiteral("a record after a refused one")};
    if (size <= kOverhead || size > kOverhead + kMaxPlain)
        return refuse(QStringLiteral("a record of %1 bytes").arg(size));
    const Side from = m_side == Side::Client ? Side::Server : Side::Client;
    const std::uint32_t type = qFromLittleEndian<std::uint32_t>(record);
    const bool grouped =
        m_opensGroups && from == Side::Client && type == static_cast<std::uint32_t>(SecureType::ClientRecords);
    if ((type != recordType(from) && !grouped) || qFromLittleEndian<std::uint32_t>(record + 4) != 0)
        return refuse(QStringLiteral("a record with a wrong head"));
    const std::uint64_t sequence = qFromLittleEndian<std::uint64_t>(record + 8);
    if (sequence != m_receiveSequence)
        return refuse(QStringLiteral("record %1 where record %2 was due (one replayed, reordered or lost)")
                          .arg(sequence)
                          .arg(m_receiveSequence));
    std::uint8_t nonce[kNonceBytes];
    makeNonce(nonce, from, sequence);
    std::uint8_t* text = record + kHead;
    const std::size_t length = size - kOverhead;
    if (!runAead(m_keys->receive.get(), nonce, record, text, length, text + length, false)) {
        // OpenSSL deciphers before it checks the tag: nothing of a refused record stays readable.
        sodium_memzero(text, length);
        return refuse(QStringLiteral("record %1 fails its authentication (altered on the way)").arg(sequence));
    }
    ++m_receiveSequence;
    return Opened{text, length, {}, grouped};
}
