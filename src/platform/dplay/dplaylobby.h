#pragma once

#include "platform/dplay/dplay.h"

#include <optional>
#include <string>
#include <vector>

// Address block layout (all little-endian), one record per element, records back to back:
//   offset 0   16 bytes  data type GUID (Data1 u32, Data2 u16, Data3 u16, Data4 8 bytes)
//   offset 16   4 bytes  data size N
//   offset 20   N bytes  data
// The first record is always DPAID_TotalSize with 4 bytes of data: the size of the whole
// block, so that a reader given only the block's address knows where it ends.

// The lobby object: builds the addresses that IDirectPlay4A::InitializeConnection takes.
class DirectPlayLobby final : public IDirectPlayLobby3A {
public:
    HRESULT CreateCompoundAddress(LPCDPCOMPOUNDADDRESSELEMENT lpElements, DWORD dwElementCount, void* lpAddress,
                                  DWORD* lpdwAddressSize) override;
};

// One element of a parsed address block.
struct AddressElement {
    GUID type;
    std::vector<unsigned char> data;
};

// What an address block says to a service provider.
struct ProviderAddress {
    std::optional<GUID> provider;
    std::string host;       // TCP/IP: the one host to ask when searching; empty: broadcast
    std::uint16_t port = 0; // TCP/IP: that host's discovery port; 0: our own
};

// nullopt when the block is no address block.
std::optional<ProviderAddress> ReadProviderAddress(const void* block);

// Splits an address block (without its size record); nullopt when the block does not start
// with a size record or a record runs past the end.
std::optional<std::vector<AddressElement>> ParseCompoundAddress(const void* block);
