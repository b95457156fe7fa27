#pragma once

// The sealed records of a secure copy: after the handshake every message, the transfer's
// Data packets among them, travels as the plaintext of one record. A record:
//
//   0 u32 type (23 client to server, 35 server to client)   4 u32 0   8 u64 sequence
//  16 ciphertext (as long as the message)   16 + L [16] tag                    32 + L bytes
//
// Sealed with AES-256-GCM or ChaCha20-Poly1305 (the server's choice in its Reply), each
// direction with its own key; the nonce is the direction (1 client, 2 server) in its first
// byte, three zero bytes, then the sequence (little-endian), and the 16-byte head is the
// associated data. Records count from 0 in each direction; a record whose type, zero field
// or sequence is not the next one, or whose tag fails, is an error, and the channel opens
// nothing after it. So a record altered, replayed, reordered or dropped never passes.
//
// Where both ends agreed in the handshake, the client seals a batch of Data packets several
// to a record of type 24: the plaintext is then { u32 length L (1 or more), L bytes } over
// and over, filling it exactly. The same head, nonce and sequence rules hold; one record
// costs the cipher's setup once instead of once per packet.

#include "secure/securemessages.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <memory>

enum class RecordCipher : std::uint8_t { Aes256Gcm, ChaCha20Poly1305 };

// True when this processor has the instructions for AES-256-GCM (AES-NI and CLMUL); without
// them AES-GCM is slow (and libsodium has none at all), so the records use ChaCha20-Poly1305.
bool AesGcmAvailable();
QString CipherName(RecordCipher cipher);

class RecordChannel {
public:
    static constexpr std::size_t kHead = 16;
    static constexpr std::size_t kTag = 16;
    static constexpr std::size_t kOverhead = kHead + kTag;
    // The largest message a record carries; the transfer's largest is about 5 KiB.
    static constexpr std::size_t kMaxPlain = 64 * 1024;

    enum class Side { Client, Server };

    RecordChannel(RecordCipher cipher, Side side, const Bytes32& sendKey, const Bytes32& receiveKey);
    ~RecordChannel();
    RecordChannel(const RecordChannel&) = delete;
    RecordChannel& operator=(const RecordChannel&) = delete;

    RecordCipher cipher() const { return m_cipher; }

    // Seals the `size` bytes of a message that sit at record + kHead, in place: the head is
    // written before them and the tag after them, so the room must hold kOverhead + size
    // bytes. AppError when the message is empty or above kMaxPlain.
    void SealInPlace(std::uint8_t* record, std::size_t size);
    // The same for a group: `size` bytes of length-prefixed messages (kGroupPrefix each).
    void SealGroupInPlace(std::uint8_t* record, std::size_t size);
    static constexpr std::size_t kGroupPrefix = 4;
    // Whether grouped records from the other end are opened (the handshake agreed to them);
    // otherwise one is refused like a record of any other wrong type.
    void SetOpensGroups(bool opens) { m_opensGroups = opens; }
    QByteArray Seal(QByteArrayView message);

    struct Opened {
        std::uint8_t* data = nullptr; // the message, in place at record + kHead
        std::size_t size = 0;
        QString error;        // why the record was refused; empty when it opened
        bool grouped = false; // the data is a group of length-prefixed messages (SplitGroup)
        bool ok() const { return error.isEmpty(); }
    };
    // Calls `each(message, size)` for every message of an opened group, in order, while it
    // returns true; false, with `error` set, when the lengths do not fill the group exactly.
    template <typename Each>
    static bool SplitGroup(std::uint8_t* data, std::size_t size, Each&& each, QString* error);
    // Opens the next record from the other end, in place. After a refusal every later call
    // is refused too.
    Opened OpenInPlace(std::uint8_t* record, std::size_t size);

    std::uint64_t sealed() const { return m_sendSequence; }
    std::uint64_t opened() const { return m_receiveSequence; }
    bool broken() const { return m_broken; }

private:
    struct Keys;

    RecordCipher m_cipher;
    Side m_side;
    std::unique_ptr<Keys> m_keys;
    std::uint64_t m_sendSequence = 0;
    std::uint64_t m_receiveSequence = 0;
    bool m_broken = false;
    bool m_opensGroups = false;

    void seal(std::uint32_t type, std::uint8_t* record, std::size_t size);
};

template <typename Each>
bool RecordChannel::SplitGroup(std::uint8_t* data, std::size_t size, Each&& each, QString* error)
{
    std::size_t at = 0;
    while (at < size) {
        if (size - at < kGroupPrefix + 1) {
            *error = QStringLiteral("a group with %1 stray bytes at its end").arg(size - at);
            return false;
        }
        const std::uint32_t length = std::uint32_t(data[at]) | std::uint32_t(data[at + 1]) << 8
                                     | std::uint32_t(data[at + 2]) << 16 | std::uint32_t(data[at + 3]) << 24;
        at += kGroupPrefix;
        if (length == 0 || length > size - at) {
            *error = QStringLiteral("a group whose message of %1 bytes does not fit it").arg(length);
            return false;
        }
        if (!each(data + at, std::size_t(length)))
            return true;
        at += length;
    }
    return true;
}
