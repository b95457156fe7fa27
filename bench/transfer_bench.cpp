// Throughput of the per-block work on 2048-byte blocks: checksum, encipher, decipher,
// one block at a time and four independent blocks at once.
#include "transfer/brcmath.h"
#include "transfer/crc32.h"

#include <benchmark/benchmark.h>

#include <array>
#include <random>
#include <vector>

namespace {

constexpr std::size_t kBlock = 2048;
constexpr std::size_t kBlocks = 64; // 128 KiB: stays in cache, measures the loop

std::vector<std::uint8_t> randomBytes(std::size_t n)
{
    std::mt19937 generator(42);
    std::vector<std::uint8_t> bytes(n);
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(generator());
    return bytes;
}

void BM_BlockChecksum(benchmark::State& state)
{
    auto data = randomBytes(kBlock * kBlocks);
    for (auto _ : state) {
        for (std::size_t b = 0; b < kBlocks; ++b)
            benchmark::DoNotOptimize(BlockChecksum(kChecksumStart, data.data() + b * kBlock, kBlock));
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * kBlock * kBlocks);
}

void BM_BlockChecksums4(benchmark::State& state)
{
    auto data = randomBytes(kBlock * kBlocks);
    std::array<const std::uint8_t*, kBlocks> blocks;
    std::array<std::size_t, kBlocks> counts;
    std::array<std::uint32_t, kBlocks> results;
    for (std::size_t b = 0; b < kBlocks; ++b) {
        blocks[b] = data.data() + b * kBlock;
        counts[b] = kBlock;
    }
    for (auto _ : state) {
        BlockChecksums(kChecksumStart, blocks.data(), counts.data(), results.data(), kBlocks);
        benchmark::DoNotOptimize(results);
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * kBlock * kBlocks);
}

template <void (*Cipher)(std::uint8_t*, std::size_t, std::uint16_t)>
void BM_Cipher(benchmark::State& state)
{
    auto data = randomBytes(kBlock * kBlocks);
    for (auto _ : state) {
        for (std::size_t b = 0; b < kBlocks; ++b)
            Cipher(data.data() + b * kBlock, kBlock, 0x1234);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * kBlock * kBlocks);
}

template <void (*Cipher)(std::uint8_t* const*, std::size_t, std::size_t, std::uint16_t)>
void BM_Cipher4(benchmark::State& state)
{
    auto data = randomBytes(kBlock * kBlocks);
    std::array<std::uint8_t*, kBlocks> blocks;
    for (std::size_t b = 0; b < kBlocks; ++b)
        blocks[b] = data.data() + b * kBlock;
    for (auto _ : state) {
        Cipher(blocks.data(), kBlocks, kBlock, 0x1234);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * kBlock * kBlocks);
}

} // namespace

BENCHMARK(BM_BlockChecksum);
BENCHMARK(BM_BlockChecksums4)->Name("BM_BlockChecksumsAtOnce");
BENCHMARK_TEMPLATE(BM_Cipher, EncryptInPlace)->Name("BM_EncryptBlock");
BENCHMARK_TEMPLATE(BM_Cipher, DecryptInPlace)->Name("BM_DecryptBlock");
BENCHMARK_TEMPLATE(BM_Cipher4, EncryptBlocksInPlace)->Name("BM_EncryptBlocks4");
BENCHMARK_TEMPLATE(BM_Cipher4, DecryptBlocksInPlace)->Name("BM_DecryptBlocks4");

BENCHMARK_MAIN();
