// Throughput of the per-block work on 2048-byte blocks: checksum, encipher, decipher, one
// block at a time and many independent blocks at once, in each of the ways the code can
// run them.
#include "transfer/blockchecksum.h"
#include "transfer/cipher.h"

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

namespace {

constexpr std::size_t kBlock = 2048;
constexpr std::size_t kData = 96 * kBlock; // stays in cache: measures the loops

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
    auto data = randomBytes(kData);
    for (auto _ : state) {
        for (std::size_t offset = 0; offset < kData; offset += kBlock)
            benchmark::DoNotOptimize(BlockChecksum(kChecksumStart, data.data() + offset, kBlock));
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * kData);
}

// The data in calls of `group` blocks each, as the engines make them.
template <typename Call>
void inGroups(benchmark::State& state, std::size_t group, Call call)
{
    auto data = randomBytes(kData);
    const std::size_t calls = kData / kBlock / group;
    std::vector<std::uint8_t*> blocks(calls * group);
    for (std::size_t b = 0; b < blocks.size(); ++b)
        blocks[b] = data.data() + b * kBlock;
    for (auto _ : state) {
        for (std::size_t c = 0; c < calls; ++c)
            call(blocks.data() + c * group);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * calls * group * kBlock);
}

// Arguments: lanes (0 = as BlockChecksums picks, else 1, 8 or 12) and blocks per call.
void BM_BlockChecksums(benchmark::State& state)
{
    const auto lanes = state.range(0);
    const auto group = static_cast<std::size_t>(state.range(1));
    std::vector<std::size_t> counts(group, kBlock);
    std::vector<std::uint32_t> results(group);
    inGroups(state, group, [&](std::uint8_t* const* blocks) {
        const auto* const* in = const_cast<const std::uint8_t* const*>(blocks);
        if (lanes == 0)
            BlockChecksums(kChecksumStart, in, counts.data(), results.data(), group);
        else
            BlockChecksumsOn(lanes == 1   ? ChecksumLanes::One
                             : lanes == 8 ? ChecksumLanes::Eight
                                          : ChecksumLanes::Twelve,
                             kChecksumStart, in, counts.data(), results.data(), group);
        benchmark::DoNotOptimize(results.data());
    });
}

template <void (*Cipher)(std::uint8_t*, std::size_t, std::uint16_t)>
void BM_Cipher(benchmark::State& state)
{
    auto data = randomBytes(kData);
    for (auto _ : state) {
        for (std::size_t offset = 0; offset < kData; offset += kBlock)
            Cipher(data.data() + offset, kBlock, 0x1234);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * kData);
}

// Arguments: path (0 = as the plain form picks, 1 = portable, 2 = AVX2) and blocks per call.
template <void (*Cipher)(std::uint8_t* const*, std::size_t, std::size_t, std::uint16_t),
          void (*CipherOn)(CipherPath, std::uint8_t* const*, std::size_t, std::size_t, std::uint16_t)>
void BM_Ciphers(benchmark::State& state)
{
    const auto path = state.range(0);
    const auto group = static_cast<std::size_t>(state.range(1));
    if (path == 2 && !CipherPathAvailable(CipherPath::Avx2)) {
        state.SkipWithError("no AVX2 on this processor");
        return;
    }
    inGroups(state, group, [&](std::uint8_t* const* blocks) {
        if (path == 0)
            Cipher(blocks, group, kBlock, 0x1234);
        else
            CipherOn(path == 1 ? CipherPath::Portable : CipherPath::Avx2, blocks, group, kBlock, 0x1234);
    });
}

void cipherArguments(benchmark::internal::Benchmark* b)
{
    for (int group : {8, 16, 24, 32}) {
        for (int path : {0, 1, 2})
            b->Args({path, group});
    }
}

void checksumArguments(benchmark::internal::Benchmark* b)
{
    for (int group : {8, 12, 16, 24, 32}) {
        for (int lanes : {0, 8, 12})
            b->Args({lanes, group});
    }
    b->Args({1, 8});
}

} // namespace

BENCHMARK(BM_BlockChecksum);
BENCHMARK(BM_BlockChecksums)->Apply(checksumArguments)->ArgNames({"lanes", "blocks"});
BENCHMARK_TEMPLATE(BM_Cipher, EncryptInPlace)->Name("BM_EncryptBlock");
BENCHMARK_TEMPLATE(BM_Cipher, DecryptInPlace)->Name("BM_DecryptBlock");
BENCHMARK_TEMPLATE(BM_Ciphers, EncryptBlocksInPlace, EncryptBlocksInPlaceOn)
    ->Name("BM_EncryptBlocks")
    ->Apply(cipherArguments)
    ->ArgNames({"path", "blocks"});
BENCHMARK_TEMPLATE(BM_Ciphers, DecryptBlocksInPlace, DecryptBlocksInPlaceOn)
    ->Name("BM_DecryptBlocks")
    ->Apply(cipherArguments)
    ->ArgNames({"path", "blocks"});

BENCHMARK_MAIN();
