#include "transfer/extensionmessages.h"

#include "text/printable.h"

#include <QList>
#include <QtEndian>

#include <algorithm>
#include <cstring>

namespace {

constexpr std::uint32_t kOfferMagic = 0x585746; // "FWX", little-endian
constexpr qsizetype kMaxPartBytes = 255;

template <typename T>
void put(QByteArray& out, qsizetype offset, T value)
{
    qToLittleEndian(value, reinterpret_cast<std::uint8_t*>(out.data()) + offset);
}

template <typename T>
T get(QByteArrayView in, qsizetype offset)
{
    return qFromLittleEndian<T>(reinterpret_cast<const std::uint8_t*>(in.data()) + offset);
}

QByteArray message(ExtensionType type, qsizetype size)
{
    QByteArray out(size, '\0');
    put<std::uint32_t>(out, 0, static_cast<std::uint32_t>(type));
    return out;
}

// A message followed by a path (or name) whose length sits at `lengthAt`.
QByteArray withPath(ExtensionType type, qsizetype head, qsizetype lengthAt, const QByteArray& path)
{
    const QByteArray cut = CutName(path, kMaxPathBytes);
    QByteArray out = message(type, head + cut.size());
    put<std::uint16_t>(out, lengthAt, static_cast<std::uint16_t>(cut.size()));
    if (!cut.isEmpty())
        std::memcpy(out.data() + head, cut.constData(), static_cast<std::size_t>(cut.size()));
    return out;
}

RejectedMessage rejected(const QString& text)
{
    return RejectedMessage{text};
}

RejectedMessage wrongSize(const char* what, qsizetype size, qsizetype needed)
{
    return rejected(QStringLiteral("%1 of %2 bytes, not %3").arg(QLatin1String(what)).arg(size).arg(needed));
}

// The path after a fixed head: its length field must say exactly what follows, at least 1.
std::variant<QByteArray, RejectedMessage> pathAfter(const char* what, QByteArrayView bytes, qsizetype head,
                                                    qsizetype lengthAt)
{
    if (bytes.size() < head)
        return rejected(QStringLiteral("%1 of %2 bytes is shorter than %3 bytes")
                            .arg(QLatin1String(what))
                            .arg(bytes.size())
                            .arg(head));
    const qsizetype length = get<std::uint16_t>(bytes, lengthAt);
    if (length < 1 || length > kMaxPathBytes)
        return rejected(QStringLiteral("%1 with a path of %2 bytes, outside 1 to %3")
                            .arg(QLatin1String(what))
                            .arg(length)
                            .arg(kMaxPathBytes));
    if (bytes.size() != head + length)
        return wrongSize(what, bytes.size(), head + length);
    if (get<std::uint16_t>(bytes, lengthAt + 2) != 0)
        return rejected(QStringLiteral("%1 with a non-zero field after its path length").arg(QLatin1String(what)));
    return QByteArray(bytes.data() + head, length);
}

bool knownDetail(Outcome outcome, std::uint8_t detail)
{
    switch (outcome) {
    case Outcome::Stored:
        return detail <= static_cast<std::uint8_t>(StoredHow::AlreadyThere);
    case Outcome::Skipped:
        return detail == 0;
    case Outcome::Refused:
        return detail >= 1 && detail <= static_cast<std::uint8_t>(RefusedWhy::TooLarge);
    case Outcome::Discarded:
        return detail >= 1 && detail <= static_cast<std::uint8_t>(DiscardedWhy::Mismatch);
    }
    return false;
}

ExtensionMessage decodeReceipt(QByteArrayView bytes)
{
    if (bytes.size() < kReceiptHead)
        return wrongSize("Receipt", bytes.size(), kReceiptHead);
    const qsizetype nameLength = get<std::uint16_t>(bytes, 32);
    const qsizetype noteLength = get<std::uint16_t>(bytes, 34);
    if (nameLength > kMaxPathBytes || noteLength > kMaxNoteBytes)
        return rejected(
            QStringLiteral("Receipt with a name of %1 and a note of %2 bytes").arg(nameLength).arg(noteLength));
    if (bytes.size() != kReceiptHead + nameLength + noteLength)
        return wrongSize("Receipt", bytes.size(), kReceiptHead + nameLength + noteLength);
    Receipt receipt;
    receipt.entry = get<std::uint32_t>(bytes, 4);
    const std::uint8_t kind = get<std::uint8_t>(bytes, 8);
    const std::uint8_t outcome = get<std::uint8_t>(bytes, 9);
    receipt.detail = get<std::uint8_t>(bytes, 10);
    if (receipt.entry == 0)
        return rejected(QStringLiteral("Receipt for entry 0"));
    if (get<std::uint8_t>(bytes, 11) != 0)
        return rejected(QStringLiteral("Receipt with a non-zero byte 11"));
    if (kind != static_cast<std::uint8_t>(EntryKind::File) && kind != static_cast<std::uint8_t>(EntryKind::Folder))
        return rejected(QStringLiteral("Receipt for an entry of unknown kind %1").arg(kind));
    if (outcome < static_cast<std::uint8_t>(Outcome::Stored) || outcome > static_cast<std::uint8_t>(Outcome::Discarded)
        || !knownDetail(static_cast<Outcome>(outcome), receipt.detail))
        return rejected(QStringLiteral("Receipt with unknown outcome %1/%2").arg(outcome).arg(receipt.detail));
    receipt.kind = static_cast<EntryKind>(kind);
    receipt.outcome = static_cast<Outcome>(outcome);
    receipt.size = get<std::uint64_t>(bytes, 12);
    receipt.received = get<std::uint64_t>(bytes, 20);
    receipt.corruptBlocks = get<std::uint32_t>(bytes, 28);
    receipt.storedAs = QByteArray(bytes.data() + kReceiptHead, nameLength);
    receipt.note = QByteArray(bytes.data() + kReceiptHead + nameLength, noteLength);
    return receipt;
}

} // namespace

std::uint32_t ExtensionOffer(std::uint16_t version)
{
    return kOfferMagic | (std::uint32_t(version & 0xFF) << 24);
}

std::uint16_t OfferedExtension(std::uint32_t user1)
{
    if ((user1 & 0xFFFFFF) != kOfferMagic)
        return 0;
    return static_cast<std::uint16_t>(user1 >> 24);
}

bool ExtensionEnabled()
{
    const QByteArray value = qgetenv("FERROWARDEN_EXTENSION").trimmed().toLower();
    return !(value == "off" || value == "0" || value == "no" || value == "false");
}

std::uint16_t HighestExtension()
{
    if (!ExtensionEnabled())
        return 0;
    bool number = false;
    const int version = qgetenv("FERROWARDEN_EXTENSION").trimmed().toInt(&number);
    return number && version >= 1 && version < kExtensionVersion ? std::uint16_t(version) : kExtensionVersion;
}

bool IsExtensionType(std::uint32_t type)
{
    switch (static_cast<ExtensionType>(type)) {
    case ExtensionType::CopyStart:
    case ExtensionType::File:
    case ExtensionType::Folder:
    case ExtensionType::ZeroRun:
    case ExtensionType::CopyEnd:
    case ExtensionType::Attributes:
    case ExtensionType::Keep:
    case ExtensionType::FileEnd:
    case ExtensionType::Receipt:
    case ExtensionType::Summary:
    case ExtensionType::ResumeOffer:
        return true;
    }
    return false;
}

qint64 ChunkSizeFor(qint64 size)
{
    qint64 chunk = qint64(4) << 20;
    while (size / chunk > qint64(kMaxOfferedChunks))
        chunk *= 2;
    return chunk;
}

QByteArray EncodeCopyStart(const CopyStart& m)
{
    QByteArray out = message(ExtensionType::CopyStart, kCopyStartSize);
    put<std::uint16_t>(out, 4, m.version);
    put<std::int16_t>(out, 6, m.blockSize);
    out[8] = m.encrypted ? 1 : 0;
    put<std::uint16_t>(out, 10, m.key);
    put<std::uint32_t>(out, 12, m.files);
    put<std::uint32_t>(out, 16, m.folders);
    put<std::uint64_t>(out, 20, m.totalSize);
    return out;
}

QByteArray EncodeFileEntry(const FileEntry& m)
{
    QByteArray out = withPath(ExtensionType::File, kFileEntryHead, 16, m.path);
    put<std::uint32_t>(out, 4, m.entry);
    put<std::uint64_t>(out, 8, m.size);
    return out;
}

QByteArray EncodeFolderEntry(const FolderEntry& m)
{
    QByteArray out = withPath(ExtensionType::Folder, kFolderEntryHead, 8, m.path);
    put<std::uint32_t>(out, 4, m.entry);
    return out;
}

QByteArray EncodeZeroRun(const ZeroRun& m)
{
    QByteArray out = message(ExtensionType::ZeroRun, kZeroRunSize);
    put<std::uint64_t>(out, 8, m.count);
    return out;
}

QByteArray EncodeCopyEnd(const CopyEnd& m)
{
    QByteArray out = message(ExtensionType::CopyEnd, kCopyEndSize);
    put<std::uint32_t>(out, 4, m.entries);
    return out;
}

QByteArray EncodeReceipt(const Receipt& m)
{
    const QByteArray note = CutName(m.note, kMaxNoteBytes);
    QByteArray out = withPath(ExtensionType::Receipt, kReceiptHead, 32, m.storedAs) + note;
    put<std::uint16_t>(out, 34, static_cast<std::uint16_t>(note.size()));
    put<std::uint32_t>(out, 4, m.entry);
    out[8] = static_cast<char>(m.kind);
    out[9] = static_cast<char>(m.outcome);
    out[10] = static_cast<char>(m.detail);
    put<std::uint64_t>(out, 12, m.size);
    put<std::uint64_t>(out, 20, m.received);
    put<std::uint32_t>(out, 28, m.corruptBlocks);
    return out;
}

QByteArray EncodeSummary(const CopySummary& m)
{
    QByteArray out = message(ExtensionType::Summary, kSummarySize);
    put<std::uint32_t>(out, 4, m.filesStored);
    put<std::uint32_t>(out, 8, m.filesSkipped);
    put<std::uint32_t>(out, 12, m.filesNotStored);
    put<std::uint32_t>(out, 16, m.foldersMade);
    put<std::uint32_t>(out, 20, m.foldersNotMade);
    put<std::uint64_t>(out, 24, m.bytesStored);
    return out;
}

QByteArray EncodeAttributes(const Attributes& m)
{
    QByteArray out = message(ExtensionType::Attributes, kAttributesSize);
    put<std::uint32_t>(out, 4, m.entry);
    put<std::int64_t>(out, 8, m.modifiedNs);
    put<std::uint32_t>(out, 16, m.mode);
    put<std::uint32_t>(out, 20, m.flags);
    return out;
}

QByteArray EncodeKeep(const Keep& m)
{
    QByteArray out = message(ExtensionType::Keep, kKeepSize);
    put<std::uint64_t>(out, 8, m.count);
    return out;
}

QByteArray EncodeFileEnd(const FileEnd& m)
{
    QByteArray out = message(ExtensionType::FileEnd, kFileEndSize);
    put<std::uint32_t>(out, 4, m.entry);
    std::memcpy(out.data() + 8, m.digest.data(), m.digest.size());
    return out;
}

QByteArray EncodeResumeOffer(const ResumeOffer& m)
{
    const auto count = static_cast<qsizetype>(std::min<std::size_t>(m.chunks.size(), kMaxOfferedChunks));
    QByteArray out = message(ExtensionType::ResumeOffer, kResumeOfferHead + count * kOfferedChunkSize);
    put<std::uint32_t>(out, 4, m.entry);
    put<std::uint32_t>(out, 8, m.chunkSize);
    put<std::uint32_t>(out, 12, static_cast<std::uint32_t>(count));
    for (qsizetype i = 0; i < count; ++i) {
        const OfferedChunk& chunk = m.chunks[static_cast<std::size_t>(i)];
        const qsizetype at = kResumeOfferHead + i * kOfferedChunkSize;
        put<std::uint32_t>(out, at, chunk.index);
        std::memcpy(out.data() + at + 4, chunk.digest.data(), chunk.digest.size());
    }
    return out;
}

namespace {

ExtensionMessage decodeResumeOffer(QByteArrayView bytes)
{
    if (bytes.size() < kResumeOfferHead)
        return wrongSize("Resume offer", bytes.size(), kResumeOfferHead);
    ResumeOffer m;
    m.entry = get<std::uint32_t>(bytes, 4);
    m.chunkSize = get<std::uint32_t>(bytes, 8);
    const std::uint32_t count = get<std::uint32_t>(bytes, 12);
    if (count > kMaxOfferedChunks)
        return rejected(QStringLiteral("Resume offer of %1 chunks, more than %2").arg(count).arg(kMaxOfferedChunks));
    if (bytes.size() != kResumeOfferHead + qsizetype(count) * kOfferedChunkSize)
        return wrongSize("Resume offer", bytes.size(), kResumeOfferHead + qsizetype(count) * kOfferedChunkSize);
    if (m.entry == 0)
        return rejected(QStringLiteral("Resume offer for entry 0"));
    if (m.chunkSize < (1u << 20) || (m.chunkSize & (m.chunkSize - 1)) != 0)
        return rejected(QStringLiteral("Resume offer with chunks of %1 bytes").arg(m.chunkSize));
    m.chunks.resize(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        const qsizetype at = kResumeOfferHead + qsizetype(i) * kOfferedChunkSize;
        OfferedChunk& chunk = m.chunks[i];
        chunk.index = get<std::uint32_t>(bytes, at);
        std::memcpy(chunk.digest.data(), bytes.data() + at + 4, chunk.digest.size());
        if (i > 0 && chunk.index <= m.chunks[i - 1].index)
            return rejected(QStringLiteral("Resume offer whose chunk indexes do not rise"));
    }
    return m;
}

} // namespace

ExtensionMessage DecodeExtensionMessage(QByteArrayView bytes)
{
    if (bytes.size() < 4)
        return rejected(QStringLiteral("Message of %1 bytes is shorter than 4 bytes").arg(bytes.size()));
    const auto type = get<std::uint32_t>(bytes, 0);
    switch (static_cast<ExtensionType>(type)) {
    case ExtensionType::CopyStart: {
        if (bytes.size() != kCopyStartSize)
            return wrongSize("Copy start message", bytes.size(), kCopyStartSize);
        const auto version = get<std::uint16_t>(bytes, 4);
        if (version < 1 || version > kExtensionVersion)
            return rejected(
                QStringLiteral("Copy start message of version %1, not 1 to %2").arg(version).arg(kExtensionVersion));
        CopyStart m;
        m.version = version;
        m.blockSize = get<std::int16_t>(bytes, 6);
        if (m.blockSize < 1 || m.blockSize > kMaxBlockSize)
            return rejected(QStringLiteral("Copy start message announces block size %1, outside 1 to %2")
                                .arg(m.blockSize)
                                .arg(kMaxBlockSize));
        const auto encrypted = get<std::uint8_t>(bytes, 8);
        if (encrypted > 1 || get<std::uint8_t>(bytes, 9) != 0)
            return rejected(QStringLiteral("Copy start message with encryption flag %1").arg(encrypted));
        m.encrypted = encrypted == 1;
        m.key = get<std::uint16_t>(bytes, 10);
        m.files = get<std::uint32_t>(bytes, 12);
        m.folders = get<std::uint32_t>(bytes, 16);
        m.totalSize = get<std::uint64_t>(bytes, 20);
        return m;
    }
    case ExtensionType::File: {
        auto path = pathAfter("File message", bytes, kFileEntryHead, 16);
        if (auto* problem = std::get_if<RejectedMessage>(&path))
            return *problem;
        FileEntry m{get<std::uint32_t>(bytes, 4), get<std::uint64_t>(bytes, 8), std::get<QByteArray>(path)};
        if (m.entry == 0)
            return rejected(QStringLiteral("File message for entry 0"));
        return m;
    }
    case ExtensionType::Folder: {
        auto path = pathAfter("Folder message", bytes, kFolderEntryHead, 8);
        if (auto* problem = std::get_if<RejectedMessage>(&path))
            return *problem;
        FolderEntry m{get<std::uint32_t>(bytes, 4), std::get<QByteArray>(path)};
        if (m.entry == 0)
            return rejected(QStringLiteral("Folder message for entry 0"));
        return m;
    }
    case ExtensionType::ZeroRun: {
        if (bytes.size() != kZeroRunSize)
            return wrongSize("Zero run message", bytes.size(), kZeroRunSize);
        ZeroRun m{get<std::uint64_t>(bytes, 8)};
        if (m.count == 0 || get<std::uint32_t>(bytes, 4) != 0)
            return rejected(QStringLiteral("Zero run message of %1 bytes with %2 in its second field")
                                .arg(m.count)
                                .arg(get<std::uint32_t>(bytes, 4)));
        return m;
    }
    case ExtensionType::CopyEnd:
        if (bytes.size() != kCopyEndSize)
            return wrongSize("Copy end message", bytes.size(), kCopyEndSize);
        return CopyEnd{get<std::uint32_t>(bytes, 4)};
    case ExtensionType::Attributes: {
        if (bytes.size() != kAttributesSize)
            return wrongSize("Attributes message", bytes.size(), kAttributesSize);
        Attributes m{get<std::uint32_t>(bytes, 4), get<std::int64_t>(bytes, 8), get<std::uint32_t>(bytes, 16),
                     get<std::uint32_t>(bytes, 20)};
        if (m.entry == 0 || m.mode > 07777 || (m.flags & ~kCarefulEntry) != 0)
            return rejected(
                QStringLiteral("Attributes message for entry %1 with mode %2").arg(m.entry).arg(m.mode, 0, 8));
        return m;
    }
    case ExtensionType::Keep: {
        if (bytes.size() != kKeepSize)
            return wrongSize("Keep message", bytes.size(), kKeepSize);
        Keep m{get<std::uint64_t>(bytes, 8)};
        if (m.count == 0 || get<std::uint32_t>(bytes, 4) != 0)
            return rejected(QStringLiteral("Keep message of %1 bytes with %2 in its second field")
                                .arg(m.count)
                                .arg(get<std::uint32_t>(bytes, 4)));
        return m;
    }
    case ExtensionType::FileEnd: {
        if (bytes.size() != kFileEndSize)
            return wrongSize("File end message", bytes.size(), kFileEndSize);
        FileEnd m;
        m.entry = get<std::uint32_t>(bytes, 4);
        if (m.entry == 0)
            return rejected(QStringLiteral("File end message for entry 0"));
        std::memcpy(m.digest.data(), bytes.data() + 8, m.digest.size());
        return m;
    }
    case ExtensionType::ResumeOffer:
        return decodeResumeOffer(bytes);
    case ExtensionType::Receipt:
        return decodeReceipt(bytes);
    case ExtensionType::Summary: {
        if (bytes.size() != kSummarySize)
            return wrongSize("Summary message", bytes.size(), kSummarySize);
        CopySummary m;
        m.filesStored = get<std::uint32_t>(bytes, 4);
        m.filesSkipped = get<std::uint32_t>(bytes, 8);
        m.filesNotStored = get<std::uint32_t>(bytes, 12);
        m.foldersMade = get<std::uint32_t>(bytes, 16);
        m.foldersNotMade = get<std::uint32_t>(bytes, 20);
        m.bytesStored = get<std::uint64_t>(bytes, 24);
        return m;
    }
    }
    return rejected(QStringLiteral("Type %1 is not one of the extension's").arg(type));
}

QString PathProblem(const QByteArray& path)
{
    if (path.isEmpty())
        return QStringLiteral("the path is empty");
    if (path.size() > kMaxPathBytes)
        return QStringLiteral("the path is longer than %1 bytes").arg(kMaxPathBytes);
    if (path.startsWith('/'))
        return QStringLiteral("the path is absolute");
    if (path.contains('\\'))
        return QStringLiteral("the path holds a \"\\\"");
    if (HasControlBytes(path))
        return QStringLiteral("the path holds a control character");
    for (const QByteArray& part : path.split('/')) {
        if (part.isEmpty())
            return QStringLiteral("the path has an empty part");
        if (part == "." || part == "..")
            return QStringLiteral("the path has a part \"%1\"").arg(QString::fromLatin1(part));
        if (part.size() > kMaxPartBytes)
            return QStringLiteral("a part of the path is longer than %1 bytes").arg(kMaxPartBytes);
    }
    return QString();
}
