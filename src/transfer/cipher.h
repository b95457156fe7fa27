#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <cstddef>
#include <cstdint>

// The transfer cipher: a byte-wise stream cipher whose 16-bit key state is fed back with
// every enciphered byte. Each data area is enciphered on its own, starting from the key.
// It hides data from a casual look, nothing more: the key comes from the clock's
// milliseconds, keys that differ only in their top bit decipher a block alike but for one
// bit, and anyone who sees the traffic can try every key in a moment.

QByteArray EncryptBlock(QByteArrayView data, std::uint16_t key);
QByteArray DecryptBlock(QByteArrayView data, std::uint16_t key);

// A fresh key, drawn from a generator seeded with the time of day to the millisecond.
std::uint16_t MakeRandomKey();
// The key MakeRandomKey draws at `millisecondOfDay`.
std::uint16_t KeyForMillisecond(std::uint32_t millisecondOfDay);

// In-place forms used by the engines: no allocation.
void EncryptInPlace(std::uint8_t* data, std::size_t count, std::uint16_t key);
void DecryptInPlace(std::uint8_t* data, std::size_t count, std::uint16_t key);

// Several independent, non-overlapping blocks at once (blocks[i] of `count` bytes each, all
// under `key`), in place. Identical to one call per block, but runs the blocks side by
// side: the per-byte key-state chain of one block hides the latency of another's. Where
// the processor has AVX2, sixteen blocks run in the lanes of one vector; give it sixteen
// or more blocks where you can.
void EncryptBlocksInPlace(std::uint8_t* const* blocks, std::size_t n, std::size_t count, std::uint16_t key);
void DecryptBlocksInPlace(std::uint8_t* const* blocks, std::size_t n, std::size_t count, std::uint16_t key);

// The ways the block forms can run. They pick the fastest the processor has; tests and
// benchmarks pick one with the ...On forms, which are otherwise the same (a path the
// processor lacks runs as Portable).
enum class CipherPath { Portable, Avx2 };
bool CipherPathAvailable(CipherPath path);
void EncryptBlocksInPlaceOn(CipherPath path, std::uint8_t* const* blocks, std::size_t n, std::size_t count,
                            std::uint16_t key);
void DecryptBlocksInPlaceOn(CipherPath path, std::uint8_t* const* blocks, std::size_t n, std::size_t count,
                            std::uint16_t key);
