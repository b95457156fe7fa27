#include "transfer/brcmath.h"

#include <QTime>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <set>
#include <vector>

namespace {

QByteArray randomBytes(std::mt19937& generator, qsizetype n)
{
    QByteArray bytes(n, '\0');
    for (auto& b : bytes)
        b = static_cast<char>(generator());
    return bytes;
}

TEST(TransferCipher, RoundTripsRandomDataUnderRandomKeys)
{
    std::mt19937 generator(1);
    for (int round = 0; round < 200; ++round) {
        const auto key = static_cast<std::uint16_t>(generator());
        const QByteArray plain = randomBytes(generator, generator() % 2049);
        const QByteArray cipher = EncryptBlock(plain, key);
        ASSERT_EQ(cipher.size(), plain.size());
        ASSERT_EQ(DecryptBlock(cipher, key), plain) << "key " << key;
    }
}

TEST(TransferCipher, EmptyInputGivesEmptyOutput)
{
    EXPECT_TRUE(EncryptBlock({}, 0x1234).isEmpty());
    EXPECT_TRUE(DecryptBlock({}, 0x1234).isEmpty());
}

TEST(TransferCipher, FirstByteDependsOnlyOnKeyHighByte)
{
    EXPECT_EQ(EncryptBlock("\x5A", 0x00FF), QByteArray("\x5A"));
    EXPECT_EQ(EncryptBlock("\x5A", 0x3C00), QByteArray(1, char(0x5A ^ 0x3C)));
    EXPECT_EQ(EncryptBlock("\x5Axyz", 0x3C77).left(1), EncryptBlock("\x5A", 0x3C00));
}

TEST(TransferCipher, KnownKeyStream)
{
    // k0 = 0x1234: y0 = 0x00 ^ 0x12 = 0x12; k1 = ((0x1234 + 0x12) * 0xDC02 + 0x6C86) mod 2^16
    const std::uint16_t k1 = static_cast<std::uint16_t>((0x1246 * 0xDC02 + 0x6C86) & 0xFFFF);
    const QByteArray out = EncryptBlock(QByteArray(2, '\0'), 0x1234);
    EXPECT_EQ(std::uint8_t(out[0]), 0x12);
    EXPECT_EQ(std::uint8_t(out[1]), k1 >> 8);
}

TEST(TransferCipher, PrefixIsUnaffectedByLaterBytesAndIdenticalBlocksMatch)
{
    std::mt19937 generator(2);
    const QByteArray block = randomBytes(generator, 2048);
    QByteArray changedTail = block;
    changedTail[2047] = char(~changedTail[2047]);
    EXPECT_EQ(EncryptBlock(block, 999).left(2047), EncryptBlock(changedTail, 999).left(2047));
    EXPECT_EQ(EncryptBlock(block, 999), EncryptBlock(block, 999));
}

TEST(TransferCipher, KeysThirtyTwoKiloApartDifferOnlyInFirstBytesTopBit)
{
    std::mt19937 generator(3);
    const QByteArray plain = randomBytes(generator, 2048);
    const std::uint16_t key = 0x1357;
    const QByteArray other = DecryptBlock(EncryptBlock(plain, key), key ^ 0x8000);
    EXPECT_EQ(std::uint8_t(other[0]), std::uint8_t(plain[0]) ^ 0x80);
    EXPECT_EQ(other.mid(1), plain.mid(1));
}

TEST(TransferCipher, SeveralBlocksAtOnceMatchOneAtATime)
{
    std::mt19937 generator(4);
    for (std::size_t n : {1u, 4u, 7u}) {
        std::vector<QByteArray> plain(n);
        std::vector<QByteArray> blocks(n);
        std::vector<std::uint8_t*> pointers(n);
        for (std::size_t i = 0; i < n; ++i) {
            plain[i] = randomBytes(generator, 2048);
            blocks[i] = QByteArray(plain[i].constData(), plain[i].size()); // a deep copy
            pointers[i] = reinterpret_cast<std::uint8_t*>(blocks[i].data());
        }
        EncryptBlocksInPlace(pointers.data(), n, 2048, 0xBEEF);
        for (std::size_t i = 0; i < n; ++i)
            ASSERT_EQ(blocks[i], EncryptBlock(plain[i], 0xBEEF)) << i;
        DecryptBlocksInPlace(pointers.data(), n, 2048, 0xBEEF);
        for (std::size_t i = 0; i < n; ++i)
            ASSERT_EQ(blocks[i], plain[i]) << i;
    }
}

TEST(MakeRandomKey, CoversTheKeyRange)
{
    // Seeded from the time of day in milliseconds: the keys of one second of draws fall into
    // every sixteenth of the range, and neighbouring milliseconds seldom share a key.
    std::set<std::uint16_t> keys;
    std::array<bool, 16> sixteenths{};
    for (std::uint32_t ms = 43'200'000; ms < 43'201'000; ++ms) {
        const std::uint16_t key = KeyForMillisecond(ms);
        keys.insert(key);
        sixteenths[key >> 12] = true;
    }
    EXPECT_GT(keys.size(), 950u);
    EXPECT_TRUE(std::all_of(sixteenths.begin(), sixteenths.end(), [](bool hit) { return hit; }));
    // And the drawn key is the one of the current millisecond.
    const auto before = static_cast<std::uint32_t>(QTime::currentTime().msecsSinceStartOfDay());
    const std::uint16_t key = MakeRandomKey();
    const auto after = static_cast<std::uint32_t>(QTime::currentTime().msecsSinceStartOfDay());
    bool matched = false;
    for (std::uint32_t ms = before; ms <= after && !matched; ++ms)
        matched = KeyForMillisecond(ms) == key;
    EXPECT_TRUE(matched || after < before); // after < before: midnight passed meanwhile
}

} // namespace
