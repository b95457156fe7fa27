#include "transfer/crc32.h"

#include <algorithm>

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

void BlockChecksums(std::uint32_t start, const std::uint8_t* const* blocks,
                    const std::size_t* counts, std::uint32_t* results, std::size_t n)
{
    std::size_t b = 0;
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
