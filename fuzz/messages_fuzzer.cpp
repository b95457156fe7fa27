// The transfer message decoders on arbitrary bytes: whatever they accept is within the
// limits their grammar promises and encodes back to a message that decodes the same (the
// extension's messages: to the very same bytes). The name cutter and the path check are
// checked on the same bytes.

#include "fuzzcheck.h"

#include "transfer/extensionmessages.h"
#include "transfer/messages.h"

#include <QList>

#include <cstdint>
#include <cstring>

namespace {

void checkCutName(const QByteArray& name)
{
    const QByteArray cut = CutName(name);
    FUZZ_CHECK(cut.size() <= kMaxNameBytes);
    FUZZ_CHECK(name.startsWith(cut));
    if (name.size() <= kMaxNameBytes)
        FUZZ_CHECK(cut == name);
    else if (!cut.isEmpty())
        FUZZ_CHECK((static_cast<std::uint8_t>(name[cut.size()]) & 0xC0) != 0x80);
}

// Every message of the extension that decodes is within its limits and encodes back to
// exactly its bytes.
void checkExtension(const QByteArray& bytes)
{
    const ExtensionMessage message = DecodeExtensionMessage(bytes);
    if (const auto* rejected = std::get_if<RejectedMessage>(&message)) {
        FUZZ_CHECK(!rejected->reason.isEmpty());
        return;
    }
    QByteArray encoded;
    if (const auto* start = std::get_if<CopyStart>(&message)) {
        FUZZ_CHECK(start->blockSize >= 1 && start->blockSize <= kMaxBlockSize);
        encoded = EncodeCopyStart(*start);
    } else if (const auto* file = std::get_if<FileEntry>(&message)) {
        FUZZ_CHECK(file->entry >= 1 && !file->path.isEmpty() && file->path.size() <= kMaxPathBytes);
        encoded = EncodeFileEntry(*file);
    } else if (const auto* folder = std::get_if<FolderEntry>(&message)) {
        FUZZ_CHECK(folder->entry >= 1 && !folder->path.isEmpty() && folder->path.size() <= kMaxPathBytes);
        encoded = EncodeFolderEntry(*folder);
    } else if (const auto* run = std::get_if<ZeroRun>(&message)) {
        FUZZ_CHECK(run->count >= 1);
        encoded = EncodeZeroRun(*run);
    } else if (const auto* end = std::get_if<CopyEnd>(&message)) {
        encoded = EncodeCopyEnd(*end);
    } else if (const auto* receipt = std::get_if<Receipt>(&message)) {
        FUZZ_CHECK(receipt->entry >= 1 && receipt->storedAs.size() <= kMaxPathBytes
                   && receipt->note.size() <= kMaxNoteBytes);
        encoded = EncodeReceipt(*receipt);
    } else if (const auto* attributes = std::get_if<Attributes>(&message)) {
        FUZZ_CHECK(attributes->entry >= 1 && attributes->mode <= 07777);
        encoded = EncodeAttributes(*attributes);
    } else if (const auto* keep = std::get_if<Keep>(&message)) {
        FUZZ_CHECK(keep->count >= 1);
        encoded = EncodeKeep(*keep);
    } else if (const auto* fileEnd = std::get_if<FileEnd>(&message)) {
        FUZZ_CHECK(fileEnd->entry >= 1);
        encoded = EncodeFileEnd(*fileEnd);
    } else if (const auto* offer = std::get_if<ResumeOffer>(&message)) {
        FUZZ_CHECK(offer->entry >= 1 && offer->chunks.size() <= kMaxOfferedChunks);
        FUZZ_CHECK(offer->chunkSize >= (1u << 20) && (offer->chunkSize & (offer->chunkSize - 1)) == 0);
        for (std::size_t i = 1; i < offer->chunks.size(); ++i)
            FUZZ_CHECK(offer->chunks[i].index > offer->chunks[i - 1].index);
        encoded = EncodeResumeOffer(*offer);
    } else {
        encoded = EncodeSummary(std::get<CopySummary>(message));
    }
    FUZZ_CHECK(encoded == bytes);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    checkCutName(bytes);
    // A path that passes the check has no part that leads anywhere but down.
    if (PathProblem(bytes).isEmpty()) {
        FUZZ_CHECK(!bytes.startsWith('/') && !bytes.contains('\\'));
        for (const QByteArray& part : bytes.split('/'))
            FUZZ_CHECK(!part.isEmpty() && part != "." && part != ".." && part.size() <= 255);
    }

    const DecodedMessage message = DecodeMessage(bytes);
    if (const auto* session = std::get_if<SessionData>(&message)) {
        FUZZ_CHECK(bytes.size() >= kSessionDataSize);
        FUZZ_CHECK(session->blockSize >= 1 && session->blockSize <= kMaxBlockSize);
        const DecodedMessage again = DecodeMessage(EncodeSessionData(*session));
        FUZZ_CHECK(std::get_if<SessionData>(&again) && std::get<SessionData>(again) == *session);
    } else if (const auto* header = std::get_if<FileHeader>(&message)) {
        FUZZ_CHECK(bytes.size() >= kFileHeaderSize);
        FUZZ_CHECK(header->name.size() <= kMaxNameBytes);
        FUZZ_CHECK(!header->name.contains('\0'));
        FUZZ_CHECK(bytes.mid(4, header->name.size()) == header->name);
        const DecodedMessage again = DecodeMessage(EncodeFileHeader(*header));
        const auto* decoded = std::get_if<FileHeader>(&again);
        FUZZ_CHECK(decoded);
        FUZZ_CHECK(decoded->name == CutName(header->name));
        FUZZ_CHECK(decoded->fileSize == header->fileSize);
        FUZZ_CHECK(decoded->fileNumber == header->fileNumber);
    } else if (const auto* packet = std::get_if<DataPacket>(&message)) {
        FUZZ_CHECK(bytes.size() >= kDataPacketSize);
        FUZZ_CHECK(packet->count >= 0 && packet->count <= kDataAreaSize);
        const QByteArray area = bytes.mid(kDataAreaOffset, kDataAreaSize);
        const QByteArray encoded = EncodeDataPacket(area, packet->count, packet->checksum);
        FUZZ_CHECK(encoded == bytes.left(kDataPacketSize));
        const DecodedMessage again = DecodeMessage(encoded);
        FUZZ_CHECK(std::get_if<DataPacket>(&again) && std::get<DataPacket>(again) == *packet);
    } else if (const auto* unknown = std::get_if<UnknownMessage>(&message)) {
        FUZZ_CHECK(bytes.size() >= 4);
        FUZZ_CHECK(unknown->type < 1 || unknown->type > 3);
        std::uint32_t type = 0;
        std::memcpy(&type, data, sizeof type);
        FUZZ_CHECK(unknown->type == type);
        if (IsExtensionType(type))
            checkExtension(bytes);
    } else {
        FUZZ_CHECK(!std::get<RejectedMessage>(message).reason.isEmpty());
    }
    return 0;
}
