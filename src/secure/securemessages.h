#pragma once

// The handshake of a secure copy and its refusal (docs/transfer-extension.md, "Secure
// copies"), part of the transfer extension's version 2. All integers little-endian; the
// first u32 is the type, as in every transfer message. Keys and shares are raw bytes.
//
//   client -> server
//   21 Hello       0 u32 type   4 u16 version (2)   6 u16 flags: bit 0 a pairing code is
//                  used, bit 1 AES-256-GCM is fast here, bit 2 the client will send
//                  grouped records (24) if the server agrees; other bits 0
//                  8 [32] ephemeral X25519 key   40 [32] identity (Ed25519 public key)
//                 72 [32] CPace share Ya (zero without a code)
//                104 u16 name length N (1 .. 255)   106 u16 0   108 name (UTF-8)  108 + N bytes
//   22 Confirm     0 u32 type   4 u32 0   8 [32] confirmation tag
//                 40 [64] identity signature                                      104 bytes
//   23 Record      a sealed record, client to server (recordchannel.h)
//   24 Records     a sealed record holding several messages, client to server
//
//   server -> client
//   34 Reply       0 u32 type   4 u16 flags: bit 0 the code was used, bit 1 the client is
//                  a trusted device here, bit 2 records use AES-256-GCM (else
//                  ChaCha20-Poly1305), bit 3 the server opens grouped records (only
//                  when the Hello offered them); other bits 0   6 u16 0
//                  8 [32] ephemeral X25519 key   40 [32] identity   72 [32] CPace share Yb
//                  (zero when no code was used)   104 u16 name length N (1 .. 255)
//                106 u16 0   108 name   108 + N [32] confirmation tag
//                140 + N [64] identity signature                                 204 + N bytes
//   35 Record      a sealed record, server to client
//   36 Refusal     0 u32 type   4 u8 reason (1 .. 5, HandshakeRefusal)   5 u8 0
//                  6 u16 text length M (0 .. 1024)   8 text (UTF-8, plain words)   8 + M bytes
//
//   secure copy = Hello , ( Refusal | Reply , Confirm , { Record | Records } )
//
// The decoder rejects, with a reason, a message of another size, a length field that does
// not match what follows, a field shown as 0 that is not, unknown flag bits, a version other
// than 2, an empty name and an unknown reason; what it accepts encodes back to the same
// bytes. It never reads outside the bytes given.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <array>
#include <cstdint>
#include <variant>

enum class SecureType : std::uint32_t {
    Hello = 21,
    Confirm = 22,
    ClientRecord = 23,
    ClientRecords = 24, // grouped: several messages in one record
    Reply = 34,
    ServerRecord = 35,
    Refusal = 36,
};

// Why a handshake ends without a secure copy; 1 .. 5 travel in a Refusal.
enum class HandshakeRefusal : std::uint8_t {
    WrongCode = 1,    // the pairing code did not match (or someone is in between)
    NotTrusted = 2,   // this end accepts trusted devices only
    NeedsPairing = 3, // this end needs a pairing code or a trusted device
    KeyChanged = 4,   // the name is known here with another key
    Failed = 5,       // a message out of place, malformed, or a proof that does not hold
};

inline constexpr std::uint16_t kSecureVersion = 2;
// What a host of this build adds to its session's dwUser3 (beside the transfer's flags): its
// server opens grouped records. A server of an earlier build refuses a Hello with a flag it
// does not know, so a sender offers grouped records only to a host that says so.
inline constexpr std::uint32_t kHostOpensGroupedRecords = 2;
inline constexpr qsizetype kMaxDeviceNameBytes = 255;
inline constexpr qsizetype kMaxRefusalTextBytes = 1024;
inline constexpr qsizetype kHelloHead = 108;
inline constexpr qsizetype kConfirmSize = 104;
inline constexpr qsizetype kReplyHead = 108;
inline constexpr qsizetype kReplyTail = 96;
inline constexpr qsizetype kRefusalHead = 8;

using Bytes32 = std::array<std::uint8_t, 32>;
using Bytes64 = std::array<std::uint8_t, 64>;

struct SecureHello {
    bool withCode = false;
    bool aesFast = false;
    Bytes32 ephemeral{};
    Bytes32 identity{};
    Bytes32 share{}; // CPace Ya; zero without a code
    QByteArray name; // 1 .. kMaxDeviceNameBytes bytes
    // The sender will seal the Data packets of a batch several to a record (offered only to
    // a host whose session says kHostOpensGroupedRecords).
    bool groupsRecords = false;
    bool operator==(const SecureHello&) const = default;
};

struct SecureReply {
    bool codeUsed = false;
    bool clientTrusted = false;
    bool aesRecords = false;
    Bytes32 ephemeral{};
    Bytes32 identity{};
    Bytes32 share{}; // CPace Yb; zero when no code was used
    QByteArray name;
    Bytes32 tag{};
    Bytes64 signature{};
    bool groupedRecords = false; // the server opens the sender's grouped records
    bool operator==(const SecureReply&) const = default;
};

struct SecureConfirm {
    Bytes32 tag{};
    Bytes64 signature{};
    bool operator==(const SecureConfirm&) const = default;
};

struct SecureRefusalMessage {
    HandshakeRefusal reason = HandshakeRefusal::Failed;
    QByteArray text; // cut to kMaxRefusalTextBytes when encoded
    bool operator==(const SecureRefusalMessage&) const = default;
};

struct MalformedHandshake {
    QString reason;
};

using HandshakeMessage =
    std::variant<SecureHello, SecureReply, SecureConfirm, SecureRefusalMessage, MalformedHandshake>;

// Names longer than kMaxDeviceNameBytes are cut on a character boundary.
QByteArray EncodeSecureHello(const SecureHello& message);
QByteArray EncodeSecureReply(const SecureReply& message);
// The reply up to its tag: what the server's tag and signature cover.
QByteArray EncodeSecureReplyHead(const SecureReply& message);
QByteArray EncodeSecureConfirm(const SecureConfirm& message);
QByteArray EncodeSecureRefusal(const SecureRefusalMessage& message);

// Decodes a Hello, Reply, Confirm or Refusal; anything else is malformed.
HandshakeMessage DecodeHandshakeMessage(QByteArrayView bytes);
// The u32 type at the start of a message, or 0 when it is shorter than 4 bytes.
std::uint32_t MessageType(QByteArrayView bytes);
