#include "secure/recordchannel.h"

#include "platform/apperror.h"
#include "secure/sodiumsetup.h"

#include <QtEndian>

#include <sodium.h>

#include <cstring>

// The AES states are kept expanded (libsodium's beforenm form): a record then costs no key
// schedule. libsodium's state type asks for 16-byte alignment, which new honours.
struct RecordChannel::Keys {
    crypto_aead_aes256gcm_state sendState;
    crypto_aead_aes256gcm_state receiveState;
    Bytes32 send{};
    Bytes32 receive{};
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
        crypto_aead_aes256gcm_beforenm(&m_keys->sendState, sendKey.data());
        crypto_aead_aes256gcm_beforenm(&m_keys->receiveState, receiveKey.data());
    }
    m_keys->send = sendKey;
    m_keys->receive = receiveKey;
}

RecordChannel::~RecordChannel()
{
    sodium_memzero(m_keys.get(), sizeof(Keys));
}

void RecordChannel::SealInPlace(std::uint8_t* record, std::size_t size)
{
    if (size == 0 || size > kMaxPlain)
        throw AppError(QStringLiteral("A message of %1 bytes cannot be sealed").arg(size));
    qToLittleEndian(recordType(m_side), record);
    qToLittleEndian(std::uint32_t(0), record + 4);
    qToLittleEndian(m_sendSequence, record + 8);
    std::uint8_t nonce[kNonceBytes];
    makeNonce(nonce, m_side, m_sendSequence);
    std::uint8_t* text = record + kHead;
    if (m_cipher == RecordCipher::Aes256Gcm)
        crypto_aead_aes256gcm_encrypt_detached_afternm(text, text + size, nullptr, text, size, record, kHead,
                                                       nullptr, nonce, &m_keys->sendState);
    else
        crypto_aead_chacha20poly1305_ietf_encrypt_detached(text, text + size, nullptr, text, size, record, kHead,
                                                           nullptr, nonce, m_keys->send.data());
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
    if (qFromLittleEndian<std::uint32_t>(record) != recordType(from) || qFromLittleEndian<std::uint32_t>(record + 4) != 0)
        return refuse(QStringLiteral("a record with a wrong head"));
    const std::uint64_t sequence = qFromLittleEndian<std::uint64_t>(record + 8);
    if (sequence != m_receiveSequence)
        return refuse(QStringLiteral("record %1 where record %2 was due (one replayed, reordered or lost)")
                          .arg(sequence).arg(m_receiveSequence));
    std::uint8_t nonce[kNonceBytes];
    makeNonce(nonce, from, sequence);
    std::uint8_t* text = record + kHead;
    const std::size_t length = size - kOverhead;
    const int result = m_cipher == RecordCipher::Aes256Gcm
        ? crypto_aead_aes256gcm_decrypt_detached_afternm(text, nullptr, text, length, text + length, record, kHead,
                                                         nonce, &m_keys->receiveState)
        : crypto_aead_chacha20poly1305_ietf_decrypt_detached(text, nullptr, text, length, text + length, record,
                                                             kHead, nonce, m_keys->receive.data());
    if (result != 0)
        return refuse(QStringLiteral("record %1 fails its authentication (altered on the way)").arg(sequence));
    ++m_receiveSequence;
    return Opened{text, length, {}};
}
