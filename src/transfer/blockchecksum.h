#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// The block checksum carried by every data packet. It is table-driven like the reflected
// CRC-32 but a different function: it starts from the caller's value (0x00FFFFFF on the
// wire), has no final inversion and fetches its table word at a *byte offset* into the
// table's little-endian image. Both ends must compute exactly this function.

inline constexpr std::uint32_t kChecksumStart = 0x00FFFFFF;

// The 1024-byte little-endian image of the reflected CRC-32 table (polynomial 0xEDB88320).
const std::array<std::uint8_t, 1024>& ChecksumTable();

std::uint32_t BlockChecksum(std::uint32_t start, const void* data, std::size_t count);

// Checksums of `n` independent blocks at once (blocks[i] of counts[i] bytes, each from
// `start`; a null block counts as empty), written to results[i]. Identical to calling
// BlockChecksum for each block, but runs eight or twelve blocks side by side so the table
// fetches of one block hide the latency of another: give it eight or more blocks where you
// can. Blocks may differ in length.
void BlockChecksums(std::uint32_t start, const std::uint8_t* const* blocks, const std::size_t* counts,
                    std::uint32_t* results, std::size_t n);

// How many blocks BlockChecksums runs side by side. BlockChecksums picks by the number of
// blocks; tests and benchmarks pick one with BlockChecksumsOn, which is otherwise the same.
enum class ChecksumLanes { One, Eight, Twelve };
void BlockChecksumsOn(ChecksumLanes lanes, std::uint32_t start, const std::uint8_t* const* blocks,
                      const std::size_t* counts, std::uint32_t* results, std::size_t n);
