#include "support/copysequence.h"

#include "transfer/blockchecksum.h"
#include "transfer/cipher.h"
#include "transfer/messages.h"

#include <algorithm>
#include <cstring>

std::vector<QByteArray> BuildCopySequence(const std::vector<CopyFile>& files, std::int16_t blockSize,
                                          std::optional<std::uint16_t> key)
{
    std::vector<QByteArray> sequence;
    SessionData session;
    session.fileCount = static_cast<std::int32_t>(files.size());
    std::uint32_t total = 0;
    for (const CopyFile& file : files)
        total += static_cast<std::uint32_t>(file.bytes.size());
    session.totalSize = static_cast<std::int32_t>(total);
    session.blockSize = blockSize;
    session.encrypted = key.has_value();
    session.key = key.value_or(0);
    sequence.push_back(EncodeSessionData(session));

    std::int32_t number = 0;
    for (const CopyFile& file : files) {
        sequence.push_back(EncodeFileHeader({file.name, static_cast<std::int32_t>(file.bytes.size()), ++number}));
        const auto* data = reinterpret_cast<const std::uint8_t*>(file.bytes.constData());
        const qsizetype size = file.bytes.size();
        qsizetype offset = 0;
        for (;;) {
            const qsizetype count = std::min<qsizetype>(blockSize, size - offset);
            std::uint8_t area[kDataAreaSize] = {};
            std::memcpy(area, data + offset, static_cast<std::size_t>(count));
            const std::uint32_t checksum = BlockChecksum(kChecksumStart, area, count);
            if (key)
                EncryptInPlace(area, kDataAreaSize, *key);
            QByteArray packet(kDataPacketSize, '\0');
            EncodeDataPacket(reinterpret_cast<std::uint8_t*>(packet.data()), area, static_cast<std::int32_t>(count),
                             checksum);
            sequence.push_back(packet);
            offset += count;
            if (count < blockSize)
                break;
        }
    }
    return sequence;
}
