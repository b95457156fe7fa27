// What the digests of resume cost: XXH3-128 over a copy's data as the engines feed it (one
// data packet at a time), against the CRC of the design's packets over the same bytes.
#include "transfer/chunkdigests.h"
#include "transfer/blockchecksum.h"
#include "transfer/messages.h"

#include <benchmark/benchmark.h>

#include <QRandomGenerator>

#include <vector>

namespace {

std::vector<std::uint8_t> data(std::size_t size)
{
    std::vector<std::uint8_t> bytes(size);
    QRandomGenerator generator(1);
    generator.fillRange(reinterpret_cast<quint32*>(bytes.data()), bytes.size() / 4);
    return bytes;
}

// The packets of a batch are in the cache when they are hashed: 512 KiB hashed 128 times
// stands for a 64 MiB file.
void DigestsPerPacket(benchmark::State& state)
{
    const auto bytes = data(std::size_t(512) << 10);
    constexpr qint64 kFile = qint64(64) << 20;
    ChunkDigests digests;
    for (auto _ : state) {
        digests.Restart(kFile);
        for (qint64 done = 0; done < kFile; done += qint64(bytes.size()))
            for (std::size_t at = 0; at < bytes.size(); at += 2048)
                digests.Add(bytes.data() + at, 2048);
        benchmark::DoNotOptimize(digests.FileDigest());
    }
    state.SetBytesProcessed(state.iterations() * kFile);
}
BENCHMARK(DigestsPerPacket)->Unit(benchmark::kMillisecond);

void PacketChecksums(benchmark::State& state)
{
    auto bytes = data(std::size_t(512) << 10);
    constexpr std::size_t kBatch = 256;
    for (auto _ : state) {
        for (std::size_t at = 0; at < bytes.size(); at += kBatch * 2048) {
            std::uint8_t* areas[kBatch];
            std::size_t sizes[kBatch];
            std::uint32_t sums[kBatch];
            for (std::size_t i = 0; i < kBatch; ++i) {
                areas[i] = bytes.data() + at + i * 2048;
                sizes[i] = 2048;
            }
            BlockChecksums(kChecksumStart, areas, sizes, sums, kBatch);
            benchmark::DoNotOptimize(sums);
        }
    }
    state.SetBytesProcessed(state.iterations() * qint64(bytes.size()));
}
BENCHMARK(PacketChecksums)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
