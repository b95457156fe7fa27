#include "transfer/brcmath.h"

#include <QTime>

#include <random>

namespace {

constexpr std::uint16_t kMultiplier = 0xDC02;
constexpr std::uint16_t kAddend = 0x6C86;

// Both directions drive the key state with the enciphered byte. The product is taken in
// 32 unsigned bits: two 16-bit values promoted to int can overflow it.
inline std::uint16_t nextKey(std::uint16_t k, std::uint8_t enciphered)
{
    const std::uint32_t state = static_cast<std::uint16_t>(k + enciphered);
    return static_cast<std::uint16_t>(state * kMultiplier + kAddend);
}

inline std::uint8_t encryptByte(std::uint16_t& k, std::uint8_t x)
{
    const auto y = static_cast<std::uint8_t>(x ^ (k >> 8));
    k = nextKey(k, y);
    return y;
}

inline std::uint8_t decryptByte(std::uint16_t& k, std::uint8_t y)
{
    const auto x = static_cast<std::uint8_t>(y ^ (k >> 8));
    k = nextKey(k, y);
    return x;
}

template <std::uint8_t (*Byte)(std::uint16_t&, std::uint8_t)>
void blocksInPlace(std::uint8_t* const* blocks, std::size_t n, std::size_t count,
                   std::uint16_t key)
{
    std::size_t b = 0;
    for (; b + 4 <= n; b += 4) {
        std::uint8_t* p0 = blocks[b];
        std::uint8_t* p1 = blocks[b + 1];
        std::uint8_t* p2 = blocks[b + 2];
        std::uint8_t* p3 = blocks[b + 3];
        std::uint16_t k0 = key, k1 = key, k2 = key, k3 = key;
        for (std::size_t i = 0; i < count; ++i) {
            p0[i] = Byte(k0, p0[i]);
            p1[i] = Byte(k1, p1[i]);
            p2[i] = Byte(k2, p2[i]);
            p3[i] = Byte(k3, p3[i]);
        }
    }
    for (; b < n; ++b) {
        std::uint16_t k = key;
        for (std::size_t i = 0; i < count; ++i)
            blocks[b][i] = Byte(k, blocks[b][i]);
    }
}

} // namespace

void EncryptInPlace(std::uint8_t* data, std::size_t count, std::uint16_t key)
{
    std::uint16_t k = key;
    for (std::size_t i = 0; i < count; ++i)
        data[i] = encryptByte(k, data[i]);
}

void DecryptInPlace(std::uint8_t* data, std::size_t count, std::uint16_t key)
{
    std::uint16_t k = key;
    for (std::size_t i = 0; i < count; ++i)
        data[i] = decryptByte(k, data[i]);
}

void EncryptBlocksInPlace(std::uint8_t* const* blocks, std::size_t n, std::size_t count,
                          std::uint16_t key)
{
    blocksInPlace<encryptByte>(blocks, n, count, key);
}

void DecryptBlocksInPlace(std::uint8_t* const* blocks, std::size_t n, std::size_t count,
                          std::uint16_t key)
{
    blocksInPlace<decryptByte>(blocks, n, count, key);
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
