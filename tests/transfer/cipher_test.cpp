#include "transfer/cipher.h"

#include <QTime>

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <array>
#include <random>
#include <set>
#include <vector>

// Names the path in test output.
void PrintTo(CipherPath path, std::ostream* out)
{
    *out << (path == CipherPath::Portable ? "Portable" : "Avx2");
}

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

// The cipher as defined, one byte at a time in 16-bit arithmetic. The fast forms must all
// agree with it.
std::vector<std::uint8_t> definedCipher(bool encrypt, std::vector<std::uint8_t> bytes, std::uint16_t key)
{
    for (auto& b : bytes) {
        const auto in = b;
        b = static_cast<std::uint8_t>(in ^ (key >> 8));
        const std::uint16_t fed = static_cast<std::uint16_t>(key + (encrypt ? b : in));
        key = static_cast<std::uint16_t>(std::uint32_t(fed) * 0xDC02u + 0x6C86u);
    }
    return bytes;
}

// Blocks of exactly `count` bytes, each `misalign` bytes past an aligned address, so that
// a touch past a block's end stands out under the address sanitizer.
struct Blocks {
    std::vector<std::vector<std::uint8_t>> storage;
    std::size_t misalign = 0;
    std::size_t count = 0;
    std::vector<std::uint8_t*> pointers()
    {
        std::vector<std::uint8_t*> result;
        for (auto& s : storage)
            result.push_back(s.data() + misalign);
        return result;
    }
    std::vector<std::uint8_t> bytes(std::size_t i) const
    {
        return {storage[i].begin() + static_cast<std::ptrdiff_t>(misalign), storage[i].end()};
    }
};

Blocks randomBlocks(std::mt19937& generator, std::size_t n, std::size_t count, std::size_t misalign)
{
    Blocks blocks{std::vector<std::vector<std::uint8_t>>(n), misalign, count};
    for (auto& s : blocks.storage) {
        s.resize(misalign + count);
        for (auto& b : s)
            b = static_cast<std::uint8_t>(generator());
    }
    return blocks;
}

class CipherPaths : public testing::TestWithParam<CipherPath> {
protected:
    void SetUp() override
    {
        if (!CipherPathAvailable(GetParam()))
            GTEST_SKIP() << "this processor lacks the path";
    }
};

TEST_P(CipherPaths, BlocksMatchTheDefinitionForEveryCountAlignmentAndKey)
{
    // Counts around the 16-byte rounds of the vector path and the data area's 2048 bytes,
    // 1 to 17 blocks and a few more, keys with all kinds of high bytes.
    const std::size_t counts[] = {0, 1, 7, 8, 9, 15, 16, 17, 63, 2047, 2048};
    std::vector<std::size_t> groupSizes;
    for (std::size_t n = 1; n <= 17; ++n)
        groupSizes.push_back(n);
    for (std::size_t n : {20u, 32u, 33u})
        groupSizes.push_back(n);
    std::mt19937 generator(9);
    for (const bool encrypt : {true, false}) {
        for (std::size_t n : groupSizes) {
            for (std::size_t count : counts) {
                const auto key = static_cast<std::uint16_t>(generator());
                Blocks blocks = randomBlocks(generator, n, count, generator() % 8);
                std::vector<std::vector<std::uint8_t>> expected;
                for (std::size_t i = 0; i < n; ++i)
                    expected.push_back(definedCipher(encrypt, blocks.bytes(i), key));
                auto pointers = blocks.pointers();
                if (encrypt)
                    EncryptBlocksInPlaceOn(GetParam(), pointers.data(), n, count, key);
                else
                    DecryptBlocksInPlaceOn(GetParam(), pointers.data(), n, count, key);
                for (std::size_t i = 0; i < n; ++i) {
                    ASSERT_EQ(blocks.bytes(i), expected[i])
                        << (encrypt ? "encrypt" : "decrypt") << ", " << n << " blocks of " << count << " bytes, key "
                        << key << ", block " << i;
                }
            }
        }
    }
}

TEST_P(CipherPaths, DeciphersWhatTheOtherPathEnciphered)
{
    std::mt19937 generator(10);
    for (std::size_t n : {3u, 8u, 16u, 19u}) {
        Blocks blocks = randomBlocks(generator, n, 2048, 3);
        std::vector<std::vector<std::uint8_t>> plain;
        for (std::size_t i = 0; i < n; ++i)
            plain.push_back(blocks.bytes(i));
        const CipherPath other = GetParam() == CipherPath::Portable ? CipherPath::Avx2 : CipherPath::Portable;
        auto pointers = blocks.pointers();
        EncryptBlocksInPlaceOn(other, pointers.data(), n, 2048, 0x8001);
        DecryptBlocksInPlaceOn(GetParam(), pointers.data(), n, 2048, 0x8001);
        for (std::size_t i = 0; i < n; ++i)
            ASSERT_EQ(blocks.bytes(i), plain[i]) << n << " blocks, block " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(AllPaths, CipherPaths, testing::Values(CipherPath::Portable, CipherPath::Avx2),
                         [](const testing::TestParamInfo<CipherPath>& info) {
                             return info.param == CipherPath::Portable ? "Portable" : "Avx2";
                         });

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
