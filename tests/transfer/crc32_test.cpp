#include "transfer/crc32.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

std::uint32_t checksumOf(const std::string& text)
{
    return BlockChecksum(kChecksumStart, text.data(), text.size());
}

TEST(BlockChecksum, WorkedValues)
{
    const struct {
        std::string bytes;
        std::uint32_t expected;
    } rows[] = {
        {"", 0x00FFFFFF},
        {"a", 0xA8FA5AF5},
        {"ab", 0x0D2D0711},
        {"abc", 0x6CD43906},
    };
    for (const auto& row : rows)
        EXPECT_EQ(checksumOf(row.bytes), row.expected) << '"' << row.bytes << '"';
}

TEST(BlockChecksum, IsNeitherTheStandardCrcNorTheEntryLookup)
{
    EXPECT_NE(checksumOf("abc"), 0x352441C2u);
    EXPECT_NE(checksumOf("abc"), 0xCADBBEC2u);
}

TEST(BlockChecksum, AbsentDataReturnsStart)
{
    EXPECT_EQ(BlockChecksum(kChecksumStart, nullptr, 10), kChecksumStart);
    EXPECT_EQ(BlockChecksum(0x1234, "abc", 0), 0x1234u);
}

TEST(ChecksumTable, IsTheReflectedCrc32TableInLittleEndian)
{
    const auto& table = ChecksumTable();
    auto entry = [&](int n) {
        std::uint32_t v;
        std::memcpy(&v, table.data() + 4 * n, 4);
        return v;
    };
    EXPECT_EQ(entry(0), 0x00000000u);
    EXPECT_EQ(entry(1), 0x77073096u);
    EXPECT_EQ(entry(255), 0x2D02EF8Du);
    EXPECT_EQ(table[4], 0x96); // least significant byte first
}

TEST(BlockChecksum, LastByteAlwaysMattersAndTailBeyondCountNever)
{
    std::set<std::uint32_t> results;
    for (int b = 0; b < 256; ++b) {
        const char block[3] = {'x', 'y', static_cast<char>(b)};
        results.insert(BlockChecksum(kChecksumStart, block, 3));
    }
    EXPECT_EQ(results.size(), 256u);

    char area[2048];
    std::memset(area, 'q', sizeof area);
    const auto before = BlockChecksum(kChecksumStart, area, 100);
    std::memset(area + 100, 'z', sizeof area - 100);
    EXPECT_EQ(BlockChecksum(kChecksumStart, area, 100), before);
}

TEST(BlockChecksums, MatchesOneBlockAtATime)
{
    std::mt19937 generator(7);
    // Blocks of uneven lengths, including empty and absent ones, in groups that are and
    // are not a multiple of four.
    for (std::size_t n : {1u, 3u, 4u, 9u, 16u}) {
        std::vector<std::vector<std::uint8_t>> storage(n);
        std::vector<const std::uint8_t*> blocks(n);
        std::vector<std::size_t> counts(n);
        for (std::size_t i = 0; i < n; ++i) {
            counts[i] = generator() % 2049;
            storage[i].resize(2048);
            for (auto& b : storage[i])
                b = static_cast<std::uint8_t>(generator());
            blocks[i] = (i == 2) ? nullptr : storage[i].data();
        }
        std::vector<std::uint32_t> results(n);
        BlockChecksums(kChecksumStart, blocks.data(), counts.data(), results.data(), n);
        for (std::size_t i = 0; i < n; ++i)
            EXPECT_EQ(results[i], BlockChecksum(kChecksumStart, blocks[i], counts[i])) << i;
    }
}

} // namespace
