#include "transfer/messages.h"

#include <QtEndian>

#include <cstring>

namespace {

template <typename T>
void put(std::uint8_t* out, qsizetype offset, T value)
{
    qToLittleEndian(value, out + offset);
}

template <typename T>
T get(const std::uint8_t* in, qsizetype offset)
{
    return qFromLittleEndian<T>(in + offset);
}

std::uint8_t* bytes(QByteArray& array)
{
    return reinterpret_cast<std::uint8_t*>(array.data());
}

RejectedMessage tooShort(const char* what, qsizetype size, qsizetype needed)
{
    return {QStringLiteral("%1 of %2 bytes is shorter than %3 bytes").arg(QLatin1String(what)).arg(size).arg(needed)};
}

} // namespace

QByteArray CutName(const QByteArray& name, qsizetype maxBytes)
{
    if (name.size() <= maxBytes)
        return name;
    qsizetype end = maxBytes;
    // Step back over continuation bytes (10xxxxxx) so that no character is split.
    while (end > 0 && (static_cast<std::uint8_t>(name[end]) & 0xC0) == 0x80)
        --end;
    return name.left(end);
}

QByteArray EncodeSessionData(const SessionData& message)
{
    QByteArray out(kSessionDataSize, '\0');
    std::uint8_t* p = bytes(out);
    put<std::uint32_t>(p, 0, static_cast<std::uint32_t>(MessageType::SessionData));
    put<std::int32_t>(p, 4, message.fileCount);
    put<std::int32_t>(p, 8, message.totalSize);
    put<std::int16_t>(p, 12, message.blockSize);
    p[14] = message.encrypted ? 1 : 0;
    put<std::uint16_t>(p, 16, message.key);
    return out;
}

QByteArray EncodeFileHeader(const FileHeader& message)
{
    QByteArray out(kFileHeaderSize, '\0');
    std::uint8_t* p = bytes(out);
    put<std::uint32_t>(p, 0, static_cast<std::uint32_t>(MessageType::FileHeader));
    const QByteArray name = CutName(message.name);
    std::memcpy(p + 4, name.constData(), static_cast<std::size_t>(name.size()));
    put<std::int32_t>(p, 260, message.fileSize);
    put<std::int32_t>(p, 264, message.fileNumber);
    return out;
}

void EncodeDataPacketFields(std::uint8_t* packet, std::int32_t count, std::uint32_t checksum)
{
    put<std::uint32_t>(packet, 0, static_cast<std::uint32_t>(MessageType::DataPacket));
    put<std::int32_t>(packet, kDataCountOffset, count);
    put<std::uint32_t>(packet, kDataChecksumOffset, checksum);
}

void EncodeDataPacket(std::uint8_t* out, const std::uint8_t* area, std::int32_t count, std::uint32_t checksum)
{
    if (area)
        std::memcpy(out + kDataAreaOffset, area, kDataAreaSize);
    else
        std::memset(out + kDataAreaOffset, 0, kDataAreaSize);
    EncodeDataPacketFields(out, count, checksum);
}

QByteArray EncodeDataPacket(QByteArrayView area, std::int32_t count, std::uint32_t checksum)
{
    QByteArray out(kDataPacketSize, '\0');
    std::uint8_t* p = bytes(out);
    EncodeDataPacket(p, nullptr, count, checksum);
    if (!area.isEmpty()) // an empty view may have no data pointer at all
        std::memcpy(p + kDataAreaOffset, area.data(), static_cast<std::size_t>(std::min(area.size(), kDataAreaSize)));
    return out;
}

DecodedMessage DecodeMessage(QByteArrayView view)
{
    const auto* p = reinterpret_cast<const std::uint8_t*>(view.data());
    const qsizetype size = view.size();
    if (size < 4)
        return tooShort("Message", size, 4);
    const auto type = get<std::uint32_t>(p, 0);
    switch (static_cast<MessageType>(type)) {
    case MessageType::SessionData: {
        if (size < kSessionDataSize)
            return tooShort("Session data message", size, kSessionDataSize);
        SessionData message;
        message.fileCount = get<std::int32_t>(p, 4);
        message.totalSize = get<std::int32_t>(p, 8);
        message.blockSize = get<std::int16_t>(p, 12);
        message.encrypted = p[14] != 0;
        message.key = get<std::uint16_t>(p, 16);
        if (message.blockSize < 1 || message.blockSize > kMaxBlockSize)
            return RejectedMessage{QStringLiteral("Session data message announces block size %1, "
                                                  "outside 1 to %2")
                                       .arg(message.blockSize)
                                       .arg(kMaxBlockSize)};
        return message;
    }
    case MessageType::FileHeader: {
        if (size < kFileHeaderSize)
            return tooShort("File header message", size, kFileHeaderSize);
        FileHeader message;
        const auto* name = reinterpret_cast<const char*>(p + 4);
        message.name = QByteArray(name, static_cast<qsizetype>(strnlen(name, kMaxNameBytes)));
        message.fileSize = get<std::int32_t>(p, 260);
        message.fileNumber = get<std::int32_t>(p, 264);
        return message;
    }
    case MessageType::DataPacket: {
        if (size < kDataPacketSize)
            return tooShort("Data packet message", size, kDataPacketSize);
        DataPacket message;
        message.count = get<std::int32_t>(p, kDataCountOffset);
        message.checksum = get<std::uint32_t>(p, kDataChecksumOffset);
        if (message.count < 0 || message.count > kDataAreaSize)
            return RejectedMessage{QStringLiteral("Data packet message with count %1, outside 0 to %2")
                                       .arg(message.count)
                                       .arg(kDataAreaSize)};
        return message;
    }
    }
    return UnknownMessage{type};
}
