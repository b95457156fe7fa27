#pragma once

// The three messages of a copy, client to server. Fixed sizes, zero-filled, little-endian;
// the first 32-bit word is the type and alone decides how the rest is read.
//
//   Session data (type 1, 20 bytes)
//     0  u32 type = 1        4  i32 file count     8  i32 total size (wraps at 32 bits)
//    12  i16 block size      14  u8 encrypted (non-zero = yes)   15  u8 0
//    16  u16 key (0 when plain)                                  18  u16 0
//   File header (type 2, 268 bytes)
//     0  u32 type = 2        4  name[256]: up to 255 bytes, zero-filled, byte 259 always 0
//   260  i32 file size     264  i32 file number (from 1)
//   Data packet (type 3, 2060 bytes)
//     0  u32 type = 3        4  data area[2048], valid in its first `count` bytes,
//                               enciphered as a whole when the copy is encrypted
//  2052  i32 count (0 .. block size)   2056  u32 checksum of the valid plain bytes
//
// A file of S bytes sent with block size B takes S / B + 1 data packets: the full ones,
// then one of S mod B bytes (0 bytes when B divides S, the empty file included).
//
// The decoder rejects, with a reason, a message shorter than its type's size, a count
// outside 0 .. 2048 and a block size outside 1 .. 2048; longer messages are read by their
// fixed layout. Nothing is ever read outside the bytes given.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <cstdint>
#include <variant>

enum class MessageType : std::uint32_t { SessionData = 1, FileHeader = 2, DataPacket = 3 };

inline constexpr qsizetype kSessionDataSize = 20;
inline constexpr qsizetype kFileHeaderSize = 268;
inline constexpr qsizetype kDataPacketSize = 2060;
inline constexpr qsizetype kDataAreaOffset = 4;
inline constexpr qsizetype kDataAreaSize = 2048;
inline constexpr qsizetype kDataCountOffset = 2052;
inline constexpr qsizetype kDataChecksumOffset = 2056;
inline constexpr qsizetype kNameFieldSize = 256;

// The wire's limits, for both protocols.
// Bytes of a name in a file header (the field ends in a NUL).
inline constexpr qsizetype kMaxNameBytes = 255;
// Bytes per block: 1 to kMaxBlockSize.
inline constexpr int kMaxBlockSize = 2048;
// The largest file the plain protocol carries: its size field is signed 32-bit (2 GiB less
// one byte). The extension's sizes are 64-bit.
inline constexpr qint64 kLargestPlainFile = 0x7FFFFFFF;
// The extension: bytes of a relative path (and of a stored name), and of a server's note.
inline constexpr qsizetype kMaxPathBytes = 4096;
inline constexpr qsizetype kMaxNoteBytes = 1024;

struct SessionData {
    std::int32_t fileCount = 0;
    std::int32_t totalSize = 0;
    std::int16_t blockSize = 2048;
    bool encrypted = false;
    std::uint16_t key = 0;
    bool operator==(const SessionData&) const = default;
};

struct FileHeader {
    QByteArray name; // the bare name's bytes as they travel (local 8-bit, UTF-8 here)
    std::int32_t fileSize = 0;
    std::int32_t fileNumber = 0;
    bool operator==(const FileHeader&) const = default;
};

// The data area itself stays in the message at kDataAreaOffset.
struct DataPacket {
    std::int32_t count = 0;
    std::uint32_t checksum = 0;
    bool operator==(const DataPacket&) const = default;
};

// Unknown type: carries the type word so the receiver can report it.
struct UnknownMessage {
    std::uint32_t type = 0;
    bool operator==(const UnknownMessage&) const = default;
};

// A message that must be dropped, and why.
struct RejectedMessage {
    QString reason;
};

using DecodedMessage = std::variant<SessionData, FileHeader, DataPacket, UnknownMessage, RejectedMessage>;

// The first `maxBytes` bytes of `name`, cut back to a UTF-8 character boundary.
QByteArray CutName(const QByteArray& name, qsizetype maxBytes = kMaxNameBytes);

QByteArray EncodeSessionData(const SessionData& message);
QByteArray EncodeFileHeader(const FileHeader& message); // the name is cut with CutName
// Writes a whole data packet into `out` (kDataPacketSize bytes). `area` holds the
// kDataAreaSize bytes of the data area, or is null for a zero-filled one.
void EncodeDataPacket(std::uint8_t* out, const std::uint8_t* area, std::int32_t count, std::uint32_t checksum);
// Writes every field of a data packet around a data area already in place in `packet`.
void EncodeDataPacketFields(std::uint8_t* packet, std::int32_t count, std::uint32_t checksum);
QByteArray EncodeDataPacket(QByteArrayView area, std::int32_t count, std::uint32_t checksum);

DecodedMessage DecodeMessage(QByteArrayView bytes);
