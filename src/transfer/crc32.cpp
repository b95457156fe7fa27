#include "transfer/crc32.h"

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
                   | std::uint32_t(kTableImage[i + 2]) << 16
                   | std::uint32_t(kTableImage[i + 3]) << 24;
    }
    return words;
}

constexpr std::array<std::uint32_t, 256> kOffsetWords = makeOffsetWords();

inline std::uint32_t step(std::uint32_t v, std::uint8_t b)
{
    return (v >> 8) ^ kOffsetWords[(v ^ b) & 0xFF];
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
    for (std::size_t i = 0; i < count; ++i)
        v = step(v, p[i]);
    return v;
}

namespace {

// GCC would pack the running values of an unrolled group into vector registers and shuffle
// them for every table fetch, which halves the speed; the chains must stay scalar.
#if defined(__GNUC__) && !defined(__clang__)
#define FW_SCALAR_CHAINS __attribute__((optimize("no-tree-vectorize")))
#else
#define FW_SCALAR_CHAINS
#endif

// Eight independent chains in one loop: while one waits on its table fetch the others
// run. Each block is finished on its own beyond the group's shortest length.
FW_SCALAR_CHAINS void checksumEight(std::uint32_t start, const std::uint8_t* const* blocks,
                                    const std::size_t* counts, std::uint32_t* results)
{
    const std::uint8_t* p[8];
    std::size_t c[8];
    std::size_t common = SIZE_MAX;
    for (std::size_t k = 0; k < 8; ++k) {
        p[k] = blocks[k];
        c[k] = p[k] ? counts[k] : 0;
        common = std::min(common, c[k]);
    }
    const std::uint8_t *p0 = p[0], *p1 = p[1], *p2 = p[2], *p3 = p[3];
    const std::uint8_t *p4 = p[4], *p5 = p[5], *p6 = p[6], *p7 = p[7];
    std::uint32_t v0 = start, v1 = start, v2 = start, v3 = start;
    std::uint32_t v4 = start, v5 = start, v6 = start, v7 = start;
    for (std::size_t i = 0; i < common; ++i) {
        v0 = step(v0, p0[i]);
        v1 = step(v1, p1[i]);
        v2 = step(v2, p2[i]);
        v3 = step(v3, p3[i]);
        v4 = step(v4, p4[i]);
        v5 = step(v5, p5[i]);
        v6 = step(v6, p6[i]);
        v7 = step(v7, p7[i]);
    }
    std::uint32_t v[8] = {v0, v1, v2, v3, v4, v5, v6, v7};
    for (std::size_t k = 0; k < 8; ++k) {
        for (std::size_t i = common; i < c[k]; ++i)
            v[k] = step(v[k], p[k][i]);
        results[k] = v[k];
    }
}

} // namespace

void BlockChecksums(std::uint32_t start, const std::uint8_t* const* blocks,
                    const std::size_t* counts, std::uint32_t* results, std::size_t n)
{
    std::size_t b = 0;
    for (; b + 8 <= n; b += 8)
        checksumEight(start, blocks + b, counts + b, results + b);
    for (; b + 4 <= n; b += 4) {
        const std::uint8_t* p0 = blocks[b];
        const std::uint8_t* p1 = blocks[b + 1];
        const std::uint8_t* p2 = blocks[b + 2];
        const std::uint8_t* p3 = blocks[b + 3];
        std::size_t c[4] = {p0 ? counts[b] : 0, p1 ? counts[b + 1] : 0, p2 ? counts[b + 2] : 0,
                            p3 ? counts[b + 3] : 0};
        std::uint32_t v0 = start, v1 = start, v2 = start, v3 = start;
        const std::size_t common = std::min({c[0], c[1], c[2], c[3]});
        for (std::size_t i = 0; i < common; ++i) {
            v0 = step(v0, p0[i]);
            v1 = step(v1, p1[i]);
            v2 = step(v2, p2[i]);
            v3 = step(v3, p3[i]);
        }
        for (std::size_t i = common; i < c[0]; ++i) v0 = step(v0, p0[i]);
        for (std::size_t i = common; i < c[1]; ++i) v1 = step(v1, p1[i]);
        for (std::size_t i = common; i < c[2]; ++i) v2 = step(v2, p2[i]);
        for (std::size_t i = common; i < c[3]; ++i) v3 = step(v3, p3[i]);
        results[b] = v0;
        results[b + 1] = v1;
        results[b + 2] = v2;
        results[b + 3] = v3;
    }
    for (; b < n; ++b)
        results[b] = BlockChecksum(start, blocks[b], counts[b]);
}
