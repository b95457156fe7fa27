// The transfer message decoder on arbitrary bytes: whatever it accepts is within the
// limits its grammar promises and encodes back to a message that decodes the same.
// The name cutter is checked on the same bytes.

#include "fuzzcheck.h"

#include "transfer/messages.h"

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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    checkCutName(bytes);

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
    } else {
        FUZZ_CHECK(!std::get<RejectedMessage>(message).reason.isEmpty());
    }
    return 0;
}
