#pragma once

// Ferrowarden's extension of the transfer protocol (docs/transfer-extension.md). Version 1:
// 64-bit sizes, relative paths and folders, runs of zero bytes, and the server's answers.
// Version 2 adds times and modes, and resume: a file cut off goes on where it stopped.
// A client uses it only when the host offers it (ExtensionOffer in the session's dwUser1);
// the data packets stay those of messages.h (type 3). All integers little-endian; the
// first u32 is the type, as in messages.h.
//
//   client -> server
//   16 Copy start  0 u32 type   4 u16 version (1 or 2)   6 i16 block size (1 .. 2048)
//                  8 u8 encrypted (0 or 1)   9 u8 0   10 u16 key (0 when plain)
//                 12 u32 files   16 u32 folders   20 u64 total bytes of the files     28 bytes
//   17 File        0 u32 type   4 u32 entry (from 1)   8 u64 size
//                 16 u16 path length L (1 .. 4096)   18 u16 0   20 path         20 + L bytes
//   18 Folder      0 u32 type   4 u32 entry (from 1)   8 u16 path length L (1 .. 4096)
//                 10 u16 0   12 path                                            12 + L bytes
//   19 Zero run    0 u32 type   4 u32 0   8 u64 count (>= 1): the current file's next count
//                                         bytes are zero; they travel as no packet  16 bytes
//   20 Copy end    0 u32 type   4 u32 entries sent                                  8 bytes
//   version 2:
//   24 Attributes  0 u32 type   4 u32 entry   8 i64 modification time (ns since 1970, UTC)
//                 16 u32 mode (permission bits, 0 .. 07777)   20 u32 flags (bit 0: careful,
//                 only to a host whose dwUser3 has kAnswersEveryFile; others 0)   24 bytes
//                 (just before the file or folder message of the same entry)
//   25 Keep        0 u32 type   4 u32 0   8 u64 count (>= 1): the current file's next count
//                                         bytes are those the server holds already  16 bytes
//   26 File end    0 u32 type   4 u32 entry   8 digest [16] (FileDigest)             24 bytes
//                 (after the last data of every file)
//
//   server -> client
//   32 Receipt     0 u32 type   4 u32 entry   8 u8 kind (1 file, 2 folder)   9 u8 outcome
//                 10 u8 detail   11 u8 0   12 u64 size   20 u64 bytes received
//                 28 u32 corrupt blocks   32 u16 stored-name length L (0 .. 4096)
//                 34 u16 note length M (0 .. 1024)   36 stored name (the path it was stored
//                 under, when renamed)   36 + L note (the server's words for a failure,
//                 UTF-8)                                                           36 + L + M bytes
//   33 Summary     0 u32 type   4 u32 files stored   8 u32 files skipped
//                 12 u32 files not stored   16 u32 folders made   20 u32 folders not made
//                 24 u64 bytes stored                                                32 bytes
//   version 2:
//   37 Resume offer 0 u32 type   4 u32 entry   8 u32 chunk size (ChunkSizeFor the file)
//                 12 u32 count N (0 .. kMaxOfferedChunks)   16 N x (u32 chunk index,
//                 digest [16]), indexes rising                                   16 + 20 N bytes
//                 (the answer to every file of kResumeFrom bytes and more that the server
//                 takes: the chunks it holds of it; its data waits for this answer)
//
// Entries (files and folders) are numbered together from 1 in the order sent. A path is
// relative, its parts separated by "/"; the receiver checks every part (PathProblem). The
// decoder rejects, with a reason, a message of another size, a length field that does not
// match, a field shown as 0 that is not, a version other than 1 or 2, a block size outside
// 1 .. 2048, entry 0, an empty zero run or keep, a mode above 07777, an offer whose chunk
// size is not a power of two of 1 MiB or more, or whose indexes do not rise, and outcomes,
// kinds and details it does not know;
// what it accepts encodes back to the same bytes. It never reads outside the bytes given.

#include "transfer/messages.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <array>
#include <cstdint>
#include <variant>
#include <vector>

enum class ExtensionType : std::uint32_t {
    CopyStart = 16,
    File = 17,
    Folder = 18,
    ZeroRun = 19,
    CopyEnd = 20,
    Attributes = 24,
    Keep = 25,
    FileEnd = 26,
    Receipt = 32,
    Summary = 33,
    ResumeOffer = 37,
};

// The highest version of the copy start this build speaks; a copy speaks the lower of both
// ends' versions. Version 2 adds times and modes, file digests and resume.
inline constexpr std::uint16_t kExtensionVersion = 2;
// What a copy of `version` carries beyond version 1: every file and folder with its time and
// mode, files that end with their digest, and resume. The one place that says so.
constexpr bool CarriesResume(std::uint16_t version)
{
    return version >= 2;
}
// The version a host of this build offers: secure copies (docs/transfer-extension.md, "Secure
// copies") whose copy start speaks version 2 inside.
inline constexpr std::uint16_t kSecureExtensionVersion = 2;
inline constexpr qsizetype kCopyStartSize = 28;
inline constexpr qsizetype kFileEntryHead = 20;
inline constexpr qsizetype kFolderEntryHead = 12;
inline constexpr qsizetype kZeroRunSize = 16;
inline constexpr qsizetype kCopyEndSize = 8;
inline constexpr qsizetype kReceiptHead = 36;
inline constexpr qsizetype kSummarySize = 32;
inline constexpr qsizetype kAttributesSize = 24;
inline constexpr qsizetype kKeepSize = 16;
inline constexpr qsizetype kFileEndSize = 24;
inline constexpr qsizetype kResumeOfferHead = 16;
inline constexpr qsizetype kOfferedChunkSize = 20;
// Chunks named in one offer at most: the offer stays below 168 KiB.
inline constexpr std::uint32_t kMaxOfferedChunks = 8192;
// Attributes.flags: the entry goes carefully (the last copy to this server was cut off).
inline constexpr std::uint32_t kCarefulEntry = 1;
// What a host of this build puts in its session's dwUser3: it answers every file of a
// careful entry before its data. A sender goes carefully only to a host that says so, so
// that it never waits for an answer a host of an earlier build would not give.
inline constexpr std::uint32_t kAnswersEveryFile = 1;
// Files this large get a resume offer before their data goes (and are kept when cut off).
inline constexpr qint64 kResumeFrom = qint64(16) << 20;
// The chunk size of a file of `size` bytes: 4 MiB, doubled until the file has no more than
// kMaxOfferedChunks chunks (a file's digest and an offer are made of these chunks).
qint64 ChunkSizeFor(qint64 size);

// What the host puts in its session's dwUser1 to offer the extension: "FWX" in the low
// three bytes, the version in the high byte. 0 offers nothing.
std::uint32_t ExtensionOffer(std::uint16_t version = kExtensionVersion);
// The version a host's dwUser1 offers, or 0 when it offers none.
std::uint16_t OfferedExtension(std::uint32_t user1);
// False when FERROWARDEN_EXTENSION is "off" (or "0", "no", "false"): this end then neither
// offers nor uses the extension, like a program of an earlier build.
bool ExtensionEnabled();
// The highest version this end speaks: 0 when off, the number FERROWARDEN_EXTENSION gives
// (1 .. kExtensionVersion; "1" keeps to version 1, as for a comparison), else kExtensionVersion.
std::uint16_t HighestExtension();
// True for the types of the extension's messages.
bool IsExtensionType(std::uint32_t type);

struct CopyStart {
    std::int16_t blockSize = 2048;
    bool encrypted = false;
    std::uint16_t key = 0;
    std::uint32_t files = 0;
    std::uint32_t folders = 0;
    std::uint64_t totalSize = 0;
    std::uint16_t version = kExtensionVersion; // what the copy speaks: 1 .. kExtensionVersion
    bool operator==(const CopyStart&) const = default;
};

struct FileEntry {
    std::uint32_t entry = 0;
    std::uint64_t size = 0;
    QByteArray path;
    bool operator==(const FileEntry&) const = default;
};

struct FolderEntry {
    std::uint32_t entry = 0;
    QByteArray path;
    bool operator==(const FolderEntry&) const = default;
};

struct ZeroRun {
    std::uint64_t count = 0;
    bool operator==(const ZeroRun&) const = default;
};

struct CopyEnd {
    std::uint32_t entries = 0;
    bool operator==(const CopyEnd&) const = default;
};

// Version 2: an entry's modification time and permission bits.
struct Attributes {
    std::uint32_t entry = 0;
    std::int64_t modifiedNs = 0; // since 1970-01-01 UTC
    std::uint32_t mode = 0;      // permission bits only (07777)
    // kCarefulEntry: the sender waits for the server's word on this file before its data
    // (a resume offer, or a receipt: "already there, unchanged" when the server's file has
    // this size, time and mode).
    std::uint32_t flags = 0;
    bool operator==(const Attributes&) const = default;
};

struct Keep {
    std::uint64_t count = 0;
    bool operator==(const Keep&) const = default;
};

using Digest = std::array<std::uint8_t, 16>;

struct FileEnd {
    std::uint32_t entry = 0;
    Digest digest{};
    bool operator==(const FileEnd&) const = default;
};

struct OfferedChunk {
    std::uint32_t index = 0;
    Digest digest{};
    bool operator==(const OfferedChunk&) const = default;
};

struct ResumeOffer {
    std::uint32_t entry = 0;
    std::uint32_t chunkSize = 0;
    std::vector<OfferedChunk> chunks;
    bool operator==(const ResumeOffer&) const = default;
};

enum class EntryKind : std::uint8_t { File = 1, Folder = 2 };

// How an entry ended on the server; the detail says more.
enum class Outcome : std::uint8_t {
    Stored = 1,    // put in place; detail: StoredHow
    Skipped = 2,   // a file of that name was there and stays (serve --existing skip)
    Refused = 3,   // never written; detail: RefusedWhy
    Discarded = 4, // written but not put in place; detail: DiscardedWhy
};
// AlreadyThere (a careful copy): the server's file of that path has the size, time and mode
// the sender's has; nothing was sent.
enum class StoredHow : std::uint8_t { New = 0, Replaced = 1, Renamed = 2, FolderExisted = 3, AlreadyThere = 4 };
enum class RefusedWhy : std::uint8_t { UnsafeName = 1, CannotCreate = 2, NoSpace = 3, TooLarge = 4 };
// Mismatch (version 2): what arrived does not match the sender's digest of its file.
enum class DiscardedWhy : std::uint8_t {
    CorruptBlocks = 1,
    CutOff = 2,
    WriteFailed = 3,
    NoSpace = 4,
    PacketDropped = 5, // a data packet (or run of zeros) of it did not fit and was dropped
    Mismatch = 6,
};

struct Receipt {
    std::uint32_t entry = 0;
    EntryKind kind = EntryKind::File;
    Outcome outcome = Outcome::Stored;
    std::uint8_t detail = 0;
    std::uint64_t size = 0;     // the announced size (a file's; 0 for a folder)
    std::uint64_t received = 0; // bytes of it that arrived
    std::uint32_t corruptBlocks = 0;
    QByteArray storedAs; // the path it went to when renamed; empty otherwise
    QByteArray note;     // what the server had to say about a failure, if anything
    bool operator==(const Receipt&) const = default;
};

struct CopySummary {
    std::uint32_t filesStored = 0;
    std::uint32_t filesSkipped = 0;
    std::uint32_t filesNotStored = 0;
    std::uint32_t foldersMade = 0;
    std::uint32_t foldersNotMade = 0;
    std::uint64_t bytesStored = 0;
    bool operator==(const CopySummary&) const = default;
};

using ExtensionMessage = std::variant<CopyStart, FileEntry, FolderEntry, ZeroRun, CopyEnd, Receipt, CopySummary,
                                      Attributes, Keep, FileEnd, ResumeOffer, RejectedMessage>;

QByteArray EncodeCopyStart(const CopyStart& message);
QByteArray EncodeFileEntry(const FileEntry& message);     // the path is cut to kMaxPathBytes
QByteArray EncodeFolderEntry(const FolderEntry& message); // the path is cut to kMaxPathBytes
QByteArray EncodeZeroRun(const ZeroRun& message);
QByteArray EncodeCopyEnd(const CopyEnd& message);
// The stored name is cut to kMaxPathBytes, the note to kMaxNoteBytes.
QByteArray EncodeReceipt(const Receipt& message);
QByteArray EncodeSummary(const CopySummary& message);
QByteArray EncodeAttributes(const Attributes& message);
QByteArray EncodeKeep(const Keep& message);
QByteArray EncodeFileEnd(const FileEnd& message);
// At most kMaxOfferedChunks chunks are encoded.
QByteArray EncodeResumeOffer(const ResumeOffer& message);

// Decodes a message whose type IsExtensionType; any other type is rejected.
ExtensionMessage DecodeExtensionMessage(QByteArrayView bytes);

// Why `path` cannot name an entry below the receive directory, or an empty text: it must be
// 1 to kMaxPathBytes bytes of parts separated by single "/", none empty, "." or "..", none
// longer than 255 bytes, with no "\" and no control character (no absolute path either,
// since that starts with an empty part).
QString PathProblem(const QByteArray& path);
