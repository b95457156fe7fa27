#include "engineinput.h"

#include "transfer/messages.h"

#include <QtEndian>

#include <algorithm>
#include <cstring>

namespace {

enum : std::uint8_t { kMessage = 0, kDataPacket = 1, kFlush = 2, kClose = 3 };

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    bool AtEnd() const { return m_pos >= m_size; }
    std::uint8_t U8() { return AtEnd() ? 0 : m_data[m_pos++]; }
    std::uint16_t U16()
    {
        const std::uint16_t low = U8();
        return std::uint16_t(low | U8() << 8);
    }
    std::uint32_t U32()
    {
        const std::uint32_t low = U16();
        return low | std::uint32_t(U16()) << 16;
    }
    // Up to n bytes, fewer at the end of the input.
    QByteArray Bytes(std::size_t n)
    {
        n = std::min(n, m_size - std::min(m_pos, m_size));
        QByteArray out(reinterpret_cast<const char*>(m_data + m_pos), qsizetype(n));
        m_pos += n;
        return out;
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

void appendU16(QByteArray& out, std::uint16_t v)
{
    char b[2];
    qToLittleEndian(v, b);
    out.append(b, 2);
}

void appendU32(QByteArray& out, std::uint32_t v)
{
    char b[4];
    qToLittleEndian(v, b);
    out.append(b, 4);
}

} // namespace

std::vector<EngineStep> DecodeEngineInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<EngineStep> steps;
    Reader in(data, size);
    while (!in.AtEnd()) {
        switch (in.U8() % 4) {
        case kMessage: {
            const std::uint16_t n = in.U16();
            steps.push_back({EngineStep::Op::Message, in.Bytes(n)});
            break;
        }
        case kDataPacket: {
            const auto count = static_cast<std::int32_t>(in.U32());
            const std::uint32_t checksum = in.U32();
            const std::uint16_t n = in.U16();
            const QByteArray area = in.Bytes(std::min<std::size_t>(n, kDataAreaSize));
            steps.push_back({EngineStep::Op::Message, EncodeDataPacket(area, count, checksum)});
            break;
        }
        case kFlush:
            steps.push_back({EngineStep::Op::Flush, {}});
            break;
        case kClose:
            steps.push_back({EngineStep::Op::Close, {}});
            break;
        }
    }
    return steps;
}

QByteArray EncodeEngineMessage(const QByteArray& message)
{
    QByteArray out;
    const DecodedMessage decoded = DecodeMessage(message);
    if (const auto* packet = std::get_if<DataPacket>(&decoded); packet && message.size() == kDataPacketSize) {
        QByteArray area = message.mid(kDataAreaOffset, kDataAreaSize);
        while (!area.isEmpty() && area.back() == '\0')
            area.chop(1);
        out.append(char(kDataPacket));
        appendU32(out, std::uint32_t(packet->count));
        appendU32(out, packet->checksum);
        appendU16(out, std::uint16_t(area.size()));
        return out + area;
    }
    out.append(char(kMessage));
    appendU16(out, std::uint16_t(std::min<qsizetype>(message.size(), 0xFFFF)));
    return out + message.left(0xFFFF);
}

QByteArray EncodeEngineFlush()
{
    return QByteArray(1, char(kFlush));
}
