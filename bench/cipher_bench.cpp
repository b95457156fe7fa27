// Which cipher seals the records of a secure copy: AES-256-GCM (only where the processor
// has AES-NI and CLMUL) against ChaCha20-Poly1305, each sealing and opening records of one
// Data packet (2060 bytes) in place, as the copy does (the records are on OpenSSL); beside
// them libsodium sealing the same records in place, and the plain copy's own per-block work
// (the block checksum over a batch, and with --encrypt the design's cipher) for scale.
// Beside them a batch sealed 16 packets to a record and opened again, as a copy does where the
// server takes grouped records.
// Run: build/bench/cipher_bench --benchmark_repetitions=5
#include "secure/clienthandshake.h"
#include "secure/recordchannel.h"
#include "secure/serverhandshake.h"
#include "transfer/blockchecksum.h"
#include "transfer/cipher.h"
#include "transfer/messages.h"

#include <QtEndian>

#include <benchmark/benchmark.h>

#include <sodium.h>

#include <vector>

namespace {

constexpr std::size_t kMessage = std::size_t(kDataPacketSize);
constexpr std::size_t kRecords = 256; // one batch of the sending engine
constexpr std::size_t kStride = kMessage + RecordChannel::kOverhead;

struct Batch {
    Batch() : bytes(kRecords * kStride)
    {
        randombytes_buf(bytes.data(), bytes.size());
        randombytes_buf(key.data(), key.size());
    }
    std::vector<std::uint8_t> bytes;
    Bytes32 key{};
};

void seal(benchmark::State& state, RecordCipher cipher)
{
    if (cipher == RecordCipher::Aes256Gcm && !AesGcmAvailable()) {
        state.SkipWithError("no AES instructions here");
        return;
    }
    Batch batch;
    RecordChannel sender(cipher, RecordChannel::Side::Client, batch.key, batch.key);
    for (auto _ : state) {
        for (std::size_t i = 0; i < kRecords; ++i)
            sender.SealInPlace(batch.bytes.data() + i * kStride, kMessage);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations() * kRecords * kMessage));
}

// Seal then open each record: what both ends of a copy do between them.
void sealAndOpen(benchmark::State& state, RecordCipher cipher)
{
    if (cipher == RecordCipher::Aes256Gcm && !AesGcmAvailable()) {
        state.SkipWithError("no AES instructions here");
        return;
    }
    Batch batch;
    RecordChannel sender(cipher, RecordChannel::Side::Client, batch.key, batch.key);
    RecordChannel receiver(cipher, RecordChannel::Side::Server, batch.key, batch.key);
    for (auto _ : state) {
        for (std::size_t i = 0; i < kRecords; ++i) {
            std::uint8_t* record = batch.bytes.data() + i * kStride;
            sender.SealInPlace(record, kMessage);
            if (!receiver.OpenInPlace(record, kStride).ok())
                state.SkipWithError("a record did not open");
        }
    }
    state.SetBytesProcessed(std::int64_t(state.iterations() * kRecords * kMessage));
}

// The same batch sealed 16 packets to a record, each after its length, and opened and split
// again: what a copy does where the server takes grouped records.
void groupedSealAndOpen(benchmark::State& state, RecordCipher cipher)
{
    if (cipher == RecordCipher::Aes256Gcm && !AesGcmAvailable()) {
        state.SkipWithError("no AES instructions here");
        return;
    }
    constexpr std::size_t kGroup = 16;
    constexpr std::size_t kSlot = RecordChannel::kGroupPrefix + kMessage;
    constexpr std::size_t kRecordStride = RecordChannel::kOverhead + kGroup * kSlot;
    Batch batch;
    std::vector<std::uint8_t> records(kRecords / kGroup * kRecordStride);
    randombytes_buf(records.data(), records.size());
    RecordChannel sender(cipher, RecordChannel::Side::Client, batch.key, batch.key);
    RecordChannel receiver(cipher, RecordChannel::Side::Server, batch.key, batch.key);
    receiver.SetOpensGroups(true);
    std::size_t delivered = 0;
    for (auto _ : state) {
        for (std::size_t r = 0; r < kRecords / kGroup; ++r) {
            std::uint8_t* record = records.data() + r * kRecordStride;
            for (std::size_t j = 0; j < kGroup; ++j)
                qToLittleEndian(std::uint32_t(kMessage), record + RecordChannel::kHead + j * kSlot);
            sender.SealGroupInPlace(record, kGroup * kSlot);
            const RecordChannel::Opened opened = receiver.OpenInPlace(record, kRecordStride);
            QString error;
            if (!opened.ok()
                || !RecordChannel::SplitGroup(
                    opened.data, opened.size, [&](std::uint8_t*, std::size_t) { return ++delivered > 0; }, &error))
                state.SkipWithError("a record did not open");
        }
    }
    benchmark::DoNotOptimize(delivered);
    state.SetBytesProcessed(std::int64_t(state.iterations() * kRecords * kMessage));
}

// libsodium sealing the same records in place, its AES state expanded once: the same bytes
// on the wire as RecordChannel's, for comparison.
void sodiumSeal(benchmark::State& state, RecordCipher cipher)
{
    if (cipher == RecordCipher::Aes256Gcm && !AesGcmAvailable()) {
        state.SkipWithError("no AES instructions here");
        return;
    }
    Batch batch;
    crypto_aead_aes256gcm_state expanded;
    crypto_aead_aes256gcm_beforenm(&expanded, batch.key.data());
    std::uint8_t nonce[12] = {1};
    for (auto _ : state) {
        for (std::size_t i = 0; i < kRecords; ++i) {
            std::uint8_t* record = batch.bytes.data() + i * kStride;
            std::uint8_t* text = record + RecordChannel::kHead;
            nonce[4] = std::uint8_t(i);
            if (cipher == RecordCipher::Aes256Gcm)
                crypto_aead_aes256gcm_encrypt_detached_afternm(text, text + kMessage, nullptr, text, kMessage, record,
                                                               RecordChannel::kHead, nullptr, nonce, &expanded);
            else
                crypto_aead_chacha20poly1305_ietf_encrypt_detached(text, text + kMessage, nullptr, text, kMessage,
                                                                   record, RecordChannel::kHead, nullptr, nonce,
                                                                   batch.key.data());
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations() * kRecords * kMessage));
}

void BM_SealAesGcm(benchmark::State& state)
{
    seal(state, RecordCipher::Aes256Gcm);
}
void BM_SodiumSealAesGcm(benchmark::State& state)
{
    sodiumSeal(state, RecordCipher::Aes256Gcm);
}
void BM_SodiumSealChaCha20Poly1305(benchmark::State& state)
{
    sodiumSeal(state, RecordCipher::ChaCha20Poly1305);
}
void BM_SealChaCha20Poly1305(benchmark::State& state)
{
    seal(state, RecordCipher::ChaCha20Poly1305);
}
void BM_SealAndOpenAesGcm(benchmark::State& state)
{
    sealAndOpen(state, RecordCipher::Aes256Gcm);
}
void BM_SealAndOpenChaCha20Poly1305(benchmark::State& state)
{
    sealAndOpen(state, RecordCipher::ChaCha20Poly1305);
}
void BM_GroupedSealAndOpenAesGcm(benchmark::State& state)
{
    groupedSealAndOpen(state, RecordCipher::Aes256Gcm);
}
void BM_GroupedSealAndOpenChaCha20Poly1305(benchmark::State& state)
{
    groupedSealAndOpen(state, RecordCipher::ChaCha20Poly1305);
}

// The plain copy's work on the same batch: the checksum of every block, and the design's
// cipher on top when --encrypt is given.
void BM_PlainChecksums(benchmark::State& state)
{
    Batch batch;
    std::uint8_t* blocks[kRecords];
    std::size_t sizes[kRecords];
    std::uint32_t sums[kRecords];
    for (std::size_t i = 0; i < kRecords; ++i) {
        blocks[i] = batch.bytes.data() + i * kStride;
        sizes[i] = std::size_t(kDataAreaSize);
    }
    for (auto _ : state) {
        BlockChecksums(kChecksumStart, blocks, sizes, sums, kRecords);
        benchmark::DoNotOptimize(sums);
    }
    state.SetBytesProcessed(std::int64_t(state.iterations() * kRecords * kMessage));
}

void BM_PlainChecksumsAndDesignCipher(benchmark::State& state)
{
    Batch batch;
    std::uint8_t* blocks[kRecords];
    std::size_t sizes[kRecords];
    std::uint32_t sums[kRecords];
    for (std::size_t i = 0; i < kRecords; ++i) {
        blocks[i] = batch.bytes.data() + i * kStride;
        sizes[i] = std::size_t(kDataAreaSize);
    }
    for (auto _ : state) {
        BlockChecksums(kChecksumStart, blocks, sizes, sums, kRecords);
        EncryptBlocksInPlace(blocks, kRecords, std::size_t(kDataAreaSize), 0x1234);
        benchmark::DoNotOptimize(sums);
    }
    state.SetBytesProcessed(std::int64_t(state.iterations() * kRecords * kMessage));
}

// A whole handshake, both ends in this thread (on loopback the two run side by side, so a
// copy's start waits about half of this, plus two round trips): without a code, and pairing.
void handshake(benchmark::State& state, bool withCode)
{
    const QByteArray instance(16, '\x11');
    const Identity client = Identity::Generate();
    const Identity server = Identity::Generate();
    CodeGuard codes;
    for (auto _ : state) {
        ClientHandshake sender(
            {instance, client, "sender", withCode ? std::optional(codes.code()) : std::nullopt, nullptr, true});
        ServerHandshake receiver({instance, server, "receiver", withCode ? AcceptPolicy::Paired : AcceptPolicy::Open,
                                  withCode ? &codes : nullptr, nullptr, true});
        receiver.feed(sender.feed(receiver.feed(sender.hello())));
        if (receiver.state() != HandshakeState::Done)
            state.SkipWithError("the handshake failed");
    }
}

void BM_HandshakeOpen(benchmark::State& state)
{
    handshake(state, false);
}
void BM_HandshakePairing(benchmark::State& state)
{
    handshake(state, true);
}

BENCHMARK(BM_HandshakeOpen)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_HandshakePairing)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SealAesGcm);
BENCHMARK(BM_SealChaCha20Poly1305);
BENCHMARK(BM_SodiumSealAesGcm);
BENCHMARK(BM_SodiumSealChaCha20Poly1305);
BENCHMARK(BM_SealAndOpenAesGcm);
BENCHMARK(BM_SealAndOpenChaCha20Poly1305);
BENCHMARK(BM_GroupedSealAndOpenAesGcm);
BENCHMARK(BM_GroupedSealAndOpenChaCha20Poly1305);
BENCHMARK(BM_PlainChecksums);
BENCHMARK(BM_PlainChecksumsAndDesignCipher);

} // namespace

BENCHMARK_MAIN();
