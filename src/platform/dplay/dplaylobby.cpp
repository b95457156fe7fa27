#include "platform/dplay/dplaylobby.h"

#include "platform/dplay/wireguid.h"

#include <QtEndian>

namespace {

constexpr std::size_t kRecordHeader = 20;
constexpr std::size_t kSizeRecord = kRecordHeader + 4;
// Larger blocks are not addresses this program builds.
constexpr std::uint32_t kMaxAddressSize = 64 * 1024;

} // namespace

HRESULT DirectPlayLobby::CreateCompoundAddress(LPCDPCOMPOUNDADDRESSELEMENT lpElements, DWORD dwElementCount,
                                               void* lpAddress, DWORD* lpdwAddressSize)
{
    if (!lpElements || dwElementCount == 0 || !lpdwAddressSize)
        return DPERR_INVALIDPARAMS;
    std::uint64_t needed = kSizeRecord;
    for (DWORD i = 0; i < dwElementCount; ++i) {
        if (lpElements[i].dwDataSize > 0 && !lpElements[i].lpData)
            return DPERR_INVALIDPARAMS;
        needed += kRecordHeader + lpElements[i].dwDataSize;
    }
    if (needed > kMaxAddressSize)
        return DPERR_INVALIDPARAMS;
    if (!lpAddress || *lpdwAddressSize < needed) {
        *lpdwAddressSize = static_cast<DWORD>(needed);
        return DPERR_BUFFERTOOSMALL;
    }
    auto* out = static_cast<unsigned char*>(lpAddress);
    PutGuidLE(out, DPAID_TotalSize);
    qToLittleEndian<quint32>(4, out + 16);
    qToLittleEndian<quint32>(static_cast<quint32>(needed), out + kRecordHeader);
    out += kSizeRecord;
    for (DWORD i = 0; i < dwElementCount; ++i) {
        const auto& e = lpElements[i];
        PutGuidLE(out, e.guidDataType);
        qToLittleEndian<quint32>(e.dwDataSize, out + 16);
        if (e.dwDataSize > 0)
            std::memcpy(out + kRecordHeader, e.lpData, e.dwDataSize);
        out += kRecordHeader + e.dwDataSize;
    }
    *lpdwAddressSize = static_cast<DWORD>(needed);
    return DP_OK;
}

std::optional<std::vector<AddressElement>> ParseCompoundAddress(const void* block)
{
    std::vector<AddressElement> elements;
    const auto* p = static_cast<const unsigned char*>(block);
    if (!p || GetGuidLE(p) != DPAID_TotalSize || qFromLittleEndian<quint32>(p + 16) != 4)
        return std::nullopt;
    const std::size_t size = qFromLittleEndian<quint32>(p + kRecordHeader);
    if (size < kSizeRecord || size > kMaxAddressSize)
        return std::nullopt;
    std::size_t pos = kSizeRecord;
    while (pos < size) {
        if (size - pos < kRecordHeader)
            return std::nullopt;
        AddressElement e;
        e.type = GetGuidLE(p + pos);
        const std::size_t n = qFromLittleEndian<quint32>(p + pos + 16);
        pos += kRecordHeader;
        if (n > size - pos)
            return std::nullopt;
        e.data.assign(p + pos, p + pos + n);
        pos += n;
        elements.push_back(std::move(e));
    }
    return elements;
}

std::optional<ProviderAddress> ReadProviderAddress(const void* block)
{
    const auto elements = ParseCompoundAddress(block);
    if (!elements)
        return std::nullopt;
    ProviderAddress a;
    for (const auto& e : *elements) {
        if (e.type == DPAID_ServiceProvider && e.data.size() == sizeof(GUID)) {
            GUID g;
            std::memcpy(&g, e.data.data(), sizeof g);
            a.provider = g;
        } else if (e.type == DPAID_INet) {
            a.host.assign(reinterpret_cast<const char*>(e.data.data()), e.data.size());
            a.host = a.host.substr(0, a.host.find('\0'));
        } else if (e.type == DPAID_INetPort && e.data.size() == 2) {
            std::memcpy(&a.port, e.data.data(), 2);
        }
    }
    return a;
}
