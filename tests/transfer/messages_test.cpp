#include "support/copysequence.h"
#include "transfer/blockchecksum.h"
#include "transfer/cipher.h"
#include "transfer/messages.h"

#include <gtest/gtest.h>

#include <QtEndian>

#include <random>

namespace {

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(text);
}

std::int32_t i32At(const QByteArray& message, qsizetype offset)
{
    return qFromLittleEndian<std::int32_t>(message.constData() + offset);
}

template <typename T>
T decodeAs(const QByteArray& bytes)
{
    const DecodedMessage decoded = DecodeMessage(bytes);
    EXPECT_TRUE(std::holds_alternative<T>(decoded))
        << (std::holds_alternative<RejectedMessage>(decoded) ? std::get<RejectedMessage>(decoded).reason.toStdString()
                                                             : std::string("other kind"));
    return std::holds_alternative<T>(decoded) ? std::get<T>(decoded) : T{};
}

TEST(TransferMessages, WorkedExampleByteForByte)
{
    const auto sequence = BuildCopySequence({{"a.txt", "abc"}}, 2048, std::nullopt);
    ASSERT_EQ(sequence.size(), 3u);

    EXPECT_EQ(sequence[0], hex("01000000"
                               "01000000"
                               "03000000"
                               "0008"
                               "00"
                               "00"
                               "0000"
                               "0000"));

    QByteArray header(kFileHeaderSize, '\0');
    header.replace(0, 4, hex("02000000"));
    header.replace(4, 5, "a.txt");
    header.replace(260, 8,
                   hex("03000000"
                       "01000000"));
    EXPECT_EQ(sequence[1], header);

    const QByteArray& packet = sequence[2];
    ASSERT_EQ(packet.size(), kDataPacketSize);
    EXPECT_EQ(packet.left(7), hex("03000000616263"));
    EXPECT_EQ(packet.mid(2052, 8), hex("03000000"
                                       "0639D46C"));
}

TEST(TransferMessages, PacketCountRule)
{
    for (int blockSize : {2048, 1024, 576}) {
        for (int size : {0, 3, 2047, 2048, 4096, 5000}) {
            QByteArray bytes(size, '\0');
            for (int i = 0; i < size; ++i)
                bytes[i] = char(i * 7);
            const auto sequence = BuildCopySequence({{"f", bytes}}, std::int16_t(blockSize), std::nullopt);
            const int packets = size / blockSize + 1;
            ASSERT_EQ(int(sequence.size()), 2 + packets) << size << " / " << blockSize;
            for (int p = 0; p < packets; ++p) {
                const QByteArray& packet = sequence[2 + p];
                const int count = p < packets - 1 ? blockSize : size % blockSize;
                const QByteArray valid = bytes.mid(p * blockSize, count);
                EXPECT_EQ(i32At(packet, 2052), count) << size << " / " << blockSize << " #" << p;
                EXPECT_EQ(packet.mid(4, count), valid);
                EXPECT_EQ(qFromLittleEndian<std::uint32_t>(packet.constData() + 2056),
                          BlockChecksum(kChecksumStart, valid.constData(), valid.size()));
            }
        }
    }
}

TEST(TransferMessages, EmptyFileEndsWithEmptyPacketOfStartChecksum)
{
    const auto sequence = BuildCopySequence({{"empty", {}}}, 2048, std::nullopt);
    ASSERT_EQ(sequence.size(), 3u);
    EXPECT_EQ(i32At(sequence[1], 260), 0);
    EXPECT_EQ(decodeAs<DataPacket>(sequence[2]), (DataPacket{0, 0x00FFFFFF}));
}

TEST(TransferMessages, EncryptedCopyCarriesKeyAndEnciphersWholeDataAreaOnly)
{
    const QByteArray bytes = "hello, block";
    const auto sequence = BuildCopySequence({{"h", bytes}}, 2048, std::uint16_t(0xA1B2));
    EXPECT_EQ(decodeAs<SessionData>(sequence[0]), (SessionData{1, 12, 2048, true, 0xA1B2}));
    const QByteArray& packet = sequence[2];
    const QByteArray area = DecryptBlock(packet.mid(4, 2048), 0xA1B2);
    EXPECT_EQ(area.left(12), bytes);
    EXPECT_EQ(area.mid(12), QByteArray(2048 - 12, '\0'));
    EXPECT_EQ(decodeAs<DataPacket>(packet), (DataPacket{12, BlockChecksum(kChecksumStart, bytes.constData(), 12)}));
}

TEST(TransferMessages, RoundTripAndTotalSizeWraps)
{
    const SessionData session{300, -1, 576, false, 0};
    EXPECT_EQ(decodeAs<SessionData>(EncodeSessionData(session)), session);
    EXPECT_EQ(EncodeSessionData(session).mid(14), QByteArray(6, '\0'));

    const FileHeader header{"Grüße.txt", 5000, 7};
    EXPECT_EQ(decodeAs<FileHeader>(EncodeFileHeader(header)), header);
}

TEST(TransferMessages, NamesAreCutAt255BytesOnACharacterBoundary)
{
    const QByteArray exact(255, 'n');
    const QByteArray encoded = EncodeFileHeader({exact, 1, 1});
    EXPECT_EQ(encoded.mid(4, 255), exact);
    EXPECT_EQ(encoded[259], '\0');
    EXPECT_EQ(decodeAs<FileHeader>(encoded).name, exact);

    // 254 ASCII bytes then a two-byte letter: the letter would straddle byte 255.
    const QByteArray straddling = QByteArray(254, 'n') + QByteArray("ü");
    EXPECT_EQ(CutName(straddling), QByteArray(254, 'n'));
    EXPECT_EQ(decodeAs<FileHeader>(EncodeFileHeader({straddling + "tail", 1, 1})).name, QByteArray(254, 'n'));
}

TEST(TransferMessages, DecoderRejectsTruncatedMessagesAndRanges)
{
    const auto sequence = BuildCopySequence({{"x", "abc"}}, 2048, std::nullopt);
    for (const QByteArray& message : sequence) {
        for (qsizetype size = 0; size < message.size(); ++size) {
            const DecodedMessage decoded = DecodeMessage(QByteArrayView(message.constData(), size));
            ASSERT_TRUE(std::holds_alternative<RejectedMessage>(decoded)) << size;
            ASSERT_FALSE(std::get<RejectedMessage>(decoded).reason.isEmpty());
        }
    }

    for (std::int32_t count : {-1, 2049, 100000, INT32_MIN}) {
        QByteArray packet = EncodeDataPacket({}, 0, 0);
        qToLittleEndian(count, packet.data() + 2052);
        EXPECT_TRUE(std::holds_alternative<RejectedMessage>(DecodeMessage(packet))) << count;
    }
    for (std::int16_t blockSize : {0, -1, 2049, 32767}) {
        EXPECT_TRUE(
            std::holds_alternative<RejectedMessage>(DecodeMessage(EncodeSessionData({1, 1, blockSize, false, 0}))))
            << blockSize;
    }
    EXPECT_EQ(decodeAs<DataPacket>(EncodeDataPacket({}, 2048, 5)), (DataPacket{2048, 5}));
}

TEST(TransferMessages, UnknownTypeIsReportedWithItsValue)
{
    EXPECT_EQ(decodeAs<UnknownMessage>(hex("07000000")).type, 7u);
    EXPECT_EQ(decodeAs<UnknownMessage>(hex("FFFFFFFF0000")).type, 0xFFFFFFFFu);
}

TEST(TransferMessages, NameFieldWithoutTerminatorStopsAt255Bytes)
{
    QByteArray header = EncodeFileHeader({"x", 1, 1});
    header.replace(4, 256, QByteArray(256, 'A'));
    EXPECT_EQ(decodeAs<FileHeader>(header).name, QByteArray(255, 'A'));
}

} // namespace
