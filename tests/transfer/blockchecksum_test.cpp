#include "transfer/blockchecksum.h"

#include <QtEndian>

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

// The checksum as defined, one byte at a time: the table word fetched at byte offset
// (value ^ byte) into the table image. The fast forms must all agree with it.
std::uint32_t definedChecksum(std::uint32_t value, const std::uint8_t* data, std::size_t count)
{
    const auto& image = ChecksumTable();
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t fetched;
        std::memcpy(&fetched, image.data() + ((value ^ data[i]) & 0xFF), 4);
        value = (value >> 8) ^ qFromLittleEndian(fetched);
    }
    return value;
}

constexpr std::size_t kLengthClasses[] = {0, 1, 7, 8, 9, 63, 2047, 2048};
constexpr std::uint32_t kStarts[] = {kChecksumStart, 0, 0xFFFFFFFF, 0x89ABCDEF};

// A block of exactly `count` bytes that starts `misalign` bytes past an aligned address,
// so that a read past its end stands out under the address sanitizer.
struct TestBlock {
    std::vector<std::uint8_t> storage;
    std::size_t misalign = 0;
    std::size_t count = 0;
    const std::uint8_t* data() const { return storage.data() + misalign; }
};

TestBlock randomBlock(std::mt19937& generator, std::size_t count, std::size_t misalign)
{
    TestBlock block{std::vector<std::uint8_t>(misalign + count), misalign, count};
    for (auto& b : block.storage)
        b = static_cast<std::uint8_t>(generator());
    return block;
}

TEST(BlockChecksum, MatchesTheDefinitionForEveryLengthAlignmentAndStart)
{
    std::mt19937 generator(11);
    for (std::size_t count : kLengthClasses) {
        for (std::size_t misalign : {0u, 1u, 3u, 6u}) {
            const TestBlock block = randomBlock(generator, count, misalign);
            for (std::uint32_t start : kStarts) {
                EXPECT_EQ(BlockChecksum(start, block.data(), count), definedChecksum(start, block.data(), count))
                    << "count " << count << " misalign " << misalign << " start " << start;
            }
        }
    }
}

TEST(BlockChecksums, MatchesOneBlockAtATime)
{
    // Every way of running side by side, for 1 to 17 blocks and a few more, of mixed length
    // classes and alignments, with absent blocks and from several starts.
    const struct {
        const char* name;
        bool picked; // BlockChecksums choosing the lanes itself
        ChecksumLanes lanes;
    } ways[] = {{"picked", true, ChecksumLanes::Eight},
                {"one", false, ChecksumLanes::One},
                {"eight", false, ChecksumLanes::Eight},
                {"twelve", false, ChecksumLanes::Twelve}};
    std::vector<std::size_t> groupSizes;
    for (std::size_t n = 1; n <= 17; ++n)
        groupSizes.push_back(n);
    for (std::size_t n : {24u, 25u, 32u})
        groupSizes.push_back(n);
    std::mt19937 generator(7);
    for (std::size_t n : groupSizes) {
        for (std::uint32_t start : kStarts) {
            std::vector<TestBlock> storage(n);
            std::vector<const std::uint8_t*> blocks(n);
            std::vector<std::size_t> counts(n);
            std::vector<std::uint32_t> expected(n);
            for (std::size_t i = 0; i < n; ++i) {
                const std::size_t count = kLengthClasses[generator() % std::size(kLengthClasses)];
                storage[i] = randomBlock(generator, count, generator() % 8);
                // An absent block with a count counts as empty.
                const bool absent = n > 2 && i == 2;
                blocks[i] = absent ? nullptr : storage[i].data();
                counts[i] = absent ? 100 : count;
                expected[i] = absent ? start : definedChecksum(start, blocks[i], count);
            }
            for (const auto& way : ways) {
                std::vector<std::uint32_t> results(n, 0xDEADBEEF);
                if (way.picked)
                    BlockChecksums(start, blocks.data(), counts.data(), results.data(), n);
                else
                    BlockChecksumsOn(way.lanes, start, blocks.data(), counts.data(), results.data(), n);
                EXPECT_EQ(results, expected) << way.name << ", " << n << " blocks, start " << start;
            }
        }
    }
}

TEST(BlockChecksums, OneLongBlockAmongShortOnes)
{
    // The long block runs on alone after the others end; it must neither stop early nor
    // have idle lanes read past the blocks.
    std::mt19937 generator(8);
    for (std::size_t n : {2u, 9u, 13u}) {
        for (std::size_t longOne : {std::size_t(0), n - 1}) {
            std::vector<TestBlock> storage(n);
            std::vector<const std::uint8_t*> blocks(n);
            std::vector<std::size_t> counts(n);
            for (std::size_t i = 0; i < n; ++i) {
                storage[i] = randomBlock(generator, i == longOne ? 2048 : 1 + i, 1);
                blocks[i] = storage[i].data();
                counts[i] = storage[i].count;
            }
            for (ChecksumLanes lanes : {ChecksumLanes::Eight, ChecksumLanes::Twelve}) {
                std::vector<std::uint32_t> results(n);
                BlockChecksumsOn(lanes, kChecksumStart, blocks.data(), counts.data(), results.data(), n);
                for (std::size_t i = 0; i < n; ++i)
                    EXPECT_EQ(results[i], definedChecksum(kChecksumStart, blocks[i], counts[i]))
                        << n << " blocks, long one at " << longOne << ", block " << i;
            }
        }
    }
}

} // namespace
