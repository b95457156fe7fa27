#include "transfer/blockchecksum.h"

#include <algorithm>
#include <cstdint>

namespace {

constexpr std::array<std::uint8_t, 1024> makeTableImage()
{
    std::array<std::uint8_t, 1024> image{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int round = 0; round < 8; ++round)
            c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        for (int b = 0; b < 4; ++b)
            image[4 * n + b] = static_cast<std::uint8_t>(c >> (8 * b));
    }
    return image;
}

constexpr std::array<std::uint8_t, 1024> kTableImage = makeTableImage();

// The word the checksum fetches for index i: the four image bytes from byte offset i.
// Precomputed so the hot loop does one aligned load per byte.
constexpr std::array<std::uint32_t, 256> makeOffsetWords()
{
    std::array<std::uint32_t, 256> words{};
    for (std::size_t i = 0; i < 256; ++i) {
        words[i] = std::uint32_t(kTableImage[i]) | std::uint32_t(kTableImage[i + 1]) << 8
                   | std::uint32_t(kTableImage[i + 2]) << 16 | std::uint32_t(kTableImage[i + 3]) << 24;
    }
    return words;
}

constexpr std::array<std::uint32_t, 256> kOffsetWords = makeOffsetWords();

inline std::uint32_t step(std::uint32_t v, std::uint8_t b)
{
    return (v >> 8) ^ kOffsetWords[(v ^ b) & 0xFF];
}

// One step without a data byte: the byte has already been folded into the running value.
inline std::uint32_t fold(std::uint32_t v)
{
    return (v >> 8) ^ kOffsetWords[v & 0xFF];
}

// Four data bytes, first byte lowest (compilers make this one load on little-endian
// machines).
inline std::uint32_t word(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

// Like CRC-32, each step shifts the value right by a byte and mixes only its lowest byte
// with the data byte, so four data bytes can be folded into the value at once and four
// steps run without data: the index of each step is still (value ^ its data byte). This
// holds although the offset fetch makes the function non-linear; it saves the per-byte load
// and xor of the data.
inline std::uint32_t fourSteps(std::uint32_t v, const std::uint8_t* p)
{
    v ^= word(p);
    v = fold(v);
    v = fold(v);
    v = fold(v);
    return fold(v);
}

// GCC would pack the running values of an unrolled group into vector registers and shuffle
// them for every table fetch, which halves the speed; the chains must stay scalar.
#if defined(__GNUC__) && !defined(__clang__)
#define FW_SCALAR_CHAINS __attribute__((optimize("no-tree-vectorize")))
#else
#define FW_SCALAR_CHAINS
#endif

// Advances `Lanes` independent chains by `length` bytes each: while one waits on its table
// fetch the others run. A single chain is bound by the latency of a fetch; with eight or
// more the loop is bound by instruction throughput instead.
template <std::size_t Lanes>
FW_SCALAR_CHAINS void advanceLanes(std::uint32_t* values, const std::uint8_t* const* p, std::size_t length)
{
    std::uint32_t v[Lanes];
    for (std::size_t k = 0; k < Lanes; ++k)
        v[k] = values[k];
    std::size_t i = 0;
    for (; i + 4 <= length; i += 4) {
        for (std::size_t k = 0; k < Lanes; ++k)
            v[k] ^= word(p[k] + i);
        for (int round = 0; round < 4; ++round) {
            for (std::size_t k = 0; k < Lanes; ++k)
                v[k] = fold(v[k]);
        }
    }
    for (; i < length; ++i) {
        for (std::size_t k = 0; k < Lanes; ++k)
            v[k] = step(v[k], p[k][i]);
    }
    for (std::size_t k = 0; k < Lanes; ++k)
        values[k] = v[k];
}

// Checksums all blocks on `Lanes` chains. A lane whose block ends takes the next block, so
// blocks of mixed lengths keep the lanes busy; once no block is left, an idle lane repeats
// the work of a busy one (its result is dropped) so that it never reads past a block.
template <std::size_t Lanes>
void checksumOnLanes(std::uint32_t start, const std::uint8_t* const* blocks, const std::size_t* counts,
                     std::uint32_t* results, std::size_t n)
{
    constexpr std::size_t kIdle = SIZE_MAX;
    const std::uint8_t* p[Lanes];
    std::size_t left[Lanes];
    std::size_t owner[Lanes];
    std::uint32_t v[Lanes];
    std::size_t next = 0;
    auto take = [&](std::size_t lane) {
        while (next < n) {
            const std::size_t b = next++;
            const std::size_t count = blocks[b] ? counts[b] : 0;
            if (count == 0) {
                results[b] = start;
                continue;
            }
            p[lane] = blocks[b];
            left[lane] = count;
            owner[lane] = b;
            v[lane] = start;
            return;
        }
        owner[lane] = kIdle;
    };
    for (std::size_t lane = 0; lane < Lanes; ++lane)
        take(lane);
    for (;;) {
        const std::size_t* busy = std::find_if(owner, owner + Lanes, [](std::size_t o) { return o != kIdle; });
        if (busy == owner + Lanes)
            return;
        const std::size_t leader = static_cast<std::size_t>(busy - owner);
        std::size_t common = SIZE_MAX;
        for (std::size_t lane = 0; lane < Lanes; ++lane) {
            if (owner[lane] == kIdle) {
                p[lane] = p[leader];
                left[lane] = left[leader];
            }
            common = std::min(common, left[lane]);
        }
        advanceLanes<Lanes>(v, p, common);
        for (std::size_t lane = 0; lane < Lanes; ++lane) {
            p[lane] += common;
            left[lane] -= common;
            if (left[lane] == 0 && owner[lane] != kIdle) {
                results[owner[lane]] = v[lane];
                take(lane);
            }
        }
    }
}

} // namespace

const std::array<std::uint8_t, 1024>& ChecksumTable()
{
    return kTableImage;
}

std::uint32_t BlockChecksum(std::uint32_t start, const void* data, std::size_t count)
{
    if (!data || count == 0)
        return start;
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::uint32_t v = start;
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4)
        v = fourSteps(v, p + i);
    for (; i < count; ++i)
        v = step(v, p[i]);
    return v;
}

void BlockChecksums(std::uint32_t start, const std::uint8_t* const* blocks, const std::size_t* counts,
                    std::uint32_t* results, std::size_t n)
{
    // Once all are busy, twelve lanes run about 1.2 times as fast as eight, but a round of
    // twelve with lanes idle costs as much as a full one. So the first blocks go to twelve
    // lanes and the rest to eight, split where the rounds cost least (in tenths of a round
    // of twelve): 24 + 8 for 32 blocks, say, but 8 + 8 for 16.
    std::size_t onTwelve = 0;
    std::size_t cheapest = SIZE_MAX;
    for (std::size_t twelves = 0; twelves <= (n + 11) / 12; ++twelves) {
        const std::size_t first = std::min(n, twelves * 12);
        const std::size_t cost = twelves * 10 + (n - first + 7) / 8 * 8;
        if (cost < cheapest) {
            cheapest = cost;
            onTwelve = first;
        }
    }
    BlockChecksumsOn(ChecksumLanes::Twelve, start, blocks, counts, results, onTwelve);
    BlockChecksumsOn(ChecksumLanes::Eight, start, blocks + onTwelve, counts + onTwelve, results + onTwelve,
                     n - onTwelve);
}

void BlockChecksumsOn(ChecksumLanes lanes, std::uint32_t start, const std::uint8_t* const* blocks,
                      const std::size_t* counts, std::uint32_t* results, std::size_t n)
{
    switch (lanes) {
    case ChecksumLanes::One:
        for (std::size_t b = 0; b < n; ++b)
            results[b] = BlockChecksum(start, blocks[b], counts[b]);
        return;
    case ChecksumLanes::Eight:
        checksumOnLanes<8>(start, blocks, counts, results, n);
        return;
    case ChecksumLanes::Twelve:
        checksumOnLanes<12>(start, blocks, counts, results, n);
        return;
    }
}
