#include "transfer/cipher.h"

#include <QTime>

#include <algorithm>
#include <array>
#include <random>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define FW_HAVE_AVX2_PATH 1
#define FW_AVX2 __attribute__((target("avx2")))
#else
#define FW_HAVE_AVX2_PATH 0
#endif

// GCC would pack the key states of an unrolled group into vector registers and shuffle
// them for every byte; the scalar lanes must stay scalar.
#if defined(__GNUC__) && !defined(__clang__)
#define FW_SCALAR_LANES __attribute__((optimize("no-tree-vectorize")))
#else
#define FW_SCALAR_LANES
#endif

namespace {

constexpr std::uint16_t kMultiplier = 0xDC02;
constexpr std::uint16_t kAddend = 0x6C86;
// (k + e + kFoldedAddend) * kMultiplier == (k + e) * kMultiplier + kAddend modulo 2^16:
// one addition fewer on the chain from one key state to the next.
constexpr std::uint16_t kFoldedAddend = 0x6C43;
static_assert(static_cast<std::uint16_t>(kFoldedAddend * kMultiplier) == kAddend);

// Both directions drive the key state with the enciphered byte. The state is kept in 32
// unsigned bits: only its low 16 bits are the key, and sums and products modulo 2^32 keep
// those exact (and cannot overflow as 16-bit values promoted to int could).
inline std::uint32_t nextKey(std::uint32_t k, std::uint32_t enciphered)
{
    return (k + enciphered + kFoldedAddend) * kMultiplier;
}

// Deciphering knows the byte that feeds the key before the key: k * M + (e + folded) * M
// keeps only a multiplication and an addition on the chain from key to key. (Compilers
// rewrite that sum back into the longer form, but not a table fetch.)
constexpr std::array<std::uint32_t, 256> makeFedProducts()
{
    std::array<std::uint32_t, 256> products{};
    for (std::uint32_t e = 0; e < 256; ++e)
        products[e] = (e + kFoldedAddend) * kMultiplier;
    return products;
}

constexpr std::array<std::uint32_t, 256> kFedProducts = makeFedProducts();

// Runs `Lanes` blocks side by side over `count` bytes each, each lane from its own key
// state in keys[lane], which is left at the state after the last byte. A lane's byte
// depends on the one before through the key, so a single block is bound by the latency
// of that chain; several lanes fill the gaps.
template <bool Encrypt, std::size_t Lanes>
FW_SCALAR_LANES void cipherLanes(std::uint8_t* const* blocks, std::size_t count, std::uint32_t* keys)
{
    std::uint8_t* p[Lanes];
    std::uint32_t k[Lanes];
    for (std::size_t lane = 0; lane < Lanes; ++lane) {
        p[lane] = blocks[lane];
        k[lane] = keys[lane];
    }
    for (std::size_t i = 0; i < count; ++i) {
        for (std::size_t lane = 0; lane < Lanes; ++lane) {
            const std::uint32_t in = p[lane][i];
            if constexpr (Encrypt) {
                const std::uint32_t out = (in ^ (k[lane] >> 8)) & 0xFF;
                p[lane][i] = static_cast<std::uint8_t>(out);
                k[lane] = nextKey(k[lane], out);
            } else {
                p[lane][i] = static_cast<std::uint8_t>(in ^ (k[lane] >> 8));
                k[lane] = k[lane] * kMultiplier + kFedProducts[in];
            }
        }
    }
    for (std::size_t lane = 0; lane < Lanes; ++lane)
        keys[lane] = k[lane];
}

// Enciphering has a longer chain per byte than deciphering (the enciphered byte depends on
// the key), so it gains from more lanes.
template <bool Encrypt>
void cipherPortable(std::uint8_t* const* blocks, std::size_t n, std::size_t count, std::uint32_t* keys)
{
    constexpr std::size_t kWide = Encrypt ? 8 : 4;
    std::size_t b = 0;
    for (; b + kWide <= n; b += kWide)
        cipherLanes<Encrypt, kWide>(blocks + b, count, keys + b);
    if (Encrypt && b + 4 <= n) {
        cipherLanes<Encrypt, 4>(blocks + b, count, keys + b);
        b += 4;
    }
    if (b + 2 <= n) {
        cipherLanes<Encrypt, 2>(blocks + b, count, keys + b);
        b += 2;
    }
    if (b < n)
        cipherLanes<Encrypt, 1>(blocks + b, count, keys + b);
}

#if FW_HAVE_AVX2_PATH

// Transposes, in each 128-bit half, eight rows of eight 16-bit words (row r in y[r]).
FW_AVX2 inline void transposeWords(__m256i* y)
{
    __m256i a[8];
    __m256i b[8];
    for (int i = 0; i < 4; ++i) {
        a[2 * i] = _mm256_unpacklo_epi16(y[2 * i], y[2 * i + 1]);
        a[2 * i + 1] = _mm256_unpackhi_epi16(y[2 * i], y[2 * i + 1]);
    }
    for (int h = 0; h < 2; ++h) {
        b[4 * h] = _mm256_unpacklo_epi32(a[4 * h], a[4 * h + 2]);
        b[4 * h + 1] = _mm256_unpackhi_epi32(a[4 * h], a[4 * h + 2]);
        b[4 * h + 2] = _mm256_unpacklo_epi32(a[4 * h + 1], a[4 * h + 3]);
        b[4 * h + 3] = _mm256_unpackhi_epi32(a[4 * h + 1], a[4 * h + 3]);
    }
    for (int q = 0; q < 4; ++q) {
        y[2 * q] = _mm256_unpacklo_epi64(b[q], b[4 + q]);
        y[2 * q + 1] = _mm256_unpackhi_epi64(b[q], b[4 + q]);
    }
}

// One byte of sixteen blocks, one block per 16-bit lane; returns the output bytes and
// advances the keys.
template <bool Encrypt>
FW_AVX2 inline __m256i cipherColumn(__m256i in, __m256i& k)
{
    const __m256i multiplier = _mm256_set1_epi16(static_cast<short>(kMultiplier));
    const __m256i folded = _mm256_set1_epi16(static_cast<short>(kFoldedAddend));
    const __m256i out = _mm256_xor_si256(in, _mm256_srli_epi16(k, 8));
    const __m256i fed = Encrypt ? _mm256_add_epi16(_mm256_add_epi16(k, folded), out)
                                : _mm256_add_epi16(k, _mm256_add_epi16(in, folded));
    k = _mm256_mullo_epi16(fed, multiplier);
    return out;
}

// Up to sixteen blocks, one per 16-bit lane of a vector, over the first count / 16 * 16
// bytes; the rest of each block is left to the caller with the key state in keys[].
// Each round takes 16 bytes of every block and transposes them, so that one vector holds
// bytes 2w and 2w + 1 of all sixteen blocks, runs the sixteen chains 16 bytes on, and
// transposes back.
template <bool Encrypt>
FW_AVX2 std::size_t cipherAvx2(std::uint8_t* const* blocks, std::size_t n, std::size_t count, std::uint32_t* keys)
{
    std::uint8_t idle[16] = {};
    std::uint8_t* p[16];
    std::size_t advance[16];
    std::uint16_t start[16];
    for (std::size_t lane = 0; lane < 16; ++lane) {
        const bool used = lane < n;
        p[lane] = used ? blocks[lane] : idle;
        advance[lane] = used ? 16 : 0;
        start[lane] = static_cast<std::uint16_t>(used ? keys[lane] : 0);
    }
    __m256i k = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(start));
    const __m256i lowBytes = _mm256_set1_epi16(0xFF);
    const std::size_t done = count / 16 * 16;
    for (std::size_t i = 0; i < done; i += 16) {
        __m256i rows[8]; // rows r and r + 8, then words
        for (int r = 0; r < 8; ++r) {
            const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p[r]));
            const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p[r + 8]));
            rows[r] = _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
        }
        transposeWords(rows);
        for (int w = 0; w < 8; ++w) {
            const __m256i first = cipherColumn<Encrypt>(_mm256_and_si256(rows[w], lowBytes), k);
            const __m256i second = cipherColumn<Encrypt>(_mm256_srli_epi16(rows[w], 8), k);
            rows[w] = _mm256_or_si256(first, _mm256_slli_epi16(second, 8));
        }
        transposeWords(rows);
        for (int r = 0; r < 8; ++r) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(p[r]), _mm256_castsi256_si128(rows[r]));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(p[r + 8]), _mm256_extracti128_si256(rows[r], 1));
        }
        for (int lane = 0; lane < 16; ++lane)
            p[lane] += advance[lane];
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(start), k);
    for (std::size_t lane = 0; lane < n; ++lane)
        keys[lane] = start[lane];
    return done;
}

bool avx2Supported()
{
    static const bool supported = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return supported;
}

#endif // FW_HAVE_AVX2_PATH

// Fewer blocks than this run faster on the scalar lanes than in a mostly idle vector.
constexpr std::size_t kFewestForVector = 4;

template <bool Encrypt>
void blocksInPlace(CipherPath path, std::uint8_t* const* blocks, std::size_t n, std::size_t count, std::uint16_t key)
{
    constexpr std::size_t kGroup = 16;
    std::uint32_t keys[kGroup];
    for (std::size_t b = 0; b < n; b += kGroup) {
        const std::size_t group = std::min(kGroup, n - b);
        std::fill(keys, keys + group, key);
        std::size_t done = 0;
#if FW_HAVE_AVX2_PATH
        if (path == CipherPath::Avx2 && group >= kFewestForVector && avx2Supported())
            done = cipherAvx2<Encrypt>(blocks + b, group, count, keys);
#else
        (void)path;
#endif
        if (done == 0) {
            cipherPortable<Encrypt>(blocks + b, group, count, keys);
            continue;
        }
        if (done < count) {
            std::uint8_t* rest[kGroup];
            for (std::size_t i = 0; i < group; ++i)
                rest[i] = blocks[b + i] + done;
            cipherPortable<Encrypt>(rest, group, count - done, keys);
        }
    }
}

CipherPath fastestPath()
{
#if FW_HAVE_AVX2_PATH
    if (avx2Supported())
        return CipherPath::Avx2;
#endif
    return CipherPath::Portable;
}

} // namespace

bool CipherPathAvailable(CipherPath path)
{
#if FW_HAVE_AVX2_PATH
    return path == CipherPath::Portable || avx2Supported();
#else
    return path == CipherPath::Portable;
#endif
}

void EncryptInPlace(std::uint8_t* data, std::size_t count, std::uint16_t key)
{
    std::uint32_t k = key;
    cipherLanes<true, 1>(&data, count, &k);
}

void DecryptInPlace(std::uint8_t* data, std::size_t count, std::uint16_t key)
{
    std::uint32_t k = key;
    cipherLanes<false, 1>(&data, count, &k);
}

void EncryptBlocksInPlace(std::uint8_t* const* blocks, std::size_t n, std::size_t count, std::uint16_t key)
{
    static const CipherPath path = fastestPath();
    blocksInPlace<true>(path, blocks, n, count, key);
}

void DecryptBlocksInPlace(std::uint8_t* const* blocks, std::size_t n, std::size_t count, std::uint16_t key)
{
    static const CipherPath path = fastestPath();
    blocksInPlace<false>(path, blocks, n, count, key);
}

void EncryptBlocksInPlaceOn(CipherPath path, std::uint8_t* const* blocks, std::size_t n, std::size_t count,
                            std::uint16_t key)
{
    blocksInPlace<true>(path, blocks, n, count, key);
}

void DecryptBlocksInPlaceOn(CipherPath path, std::uint8_t* const* blocks, std::size_t n, std::size_t count,
                            std::uint16_t key)
{
    blocksInPlace<false>(path, blocks, n, count, key);
}

QByteArray EncryptBlock(QByteArrayView data, std::uint16_t key)
{
    QByteArray out(data.data(), data.size());
    EncryptInPlace(reinterpret_cast<std::uint8_t*>(out.data()), out.size(), key);
    return out;
}

QByteArray DecryptBlock(QByteArrayView data, std::uint16_t key)
{
    QByteArray out(data.data(), data.size());
    DecryptInPlace(reinterpret_cast<std::uint8_t*>(out.data()), out.size(), key);
    return out;
}

std::uint16_t KeyForMillisecond(std::uint32_t millisecondOfDay)
{
    std::mt19937 generator(millisecondOfDay);
    std::uniform_int_distribution<int> distribution(0, 65535);
    return static_cast<std::uint16_t>(distribution(generator));
}

std::uint16_t MakeRandomKey()
{
    return KeyForMillisecond(static_cast<std::uint32_t>(QTime::currentTime().msecsSinceStartOfDay()));
}
