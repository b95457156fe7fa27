// Discovery datagrams on arbitrary bytes: the decoder accepts only what its grammar
// describes, so every datagram it accepts encodes back to exactly the bytes received.

#include "fuzzcheck.h"

#include "platform/dplay/discoverymessage.h"

#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::optional<DiscoveryMessage> message = DiscoveryMessage::Decode(data, size);
    if (!message)
        return 0;
    FUZZ_CHECK(message->name.size() <= DiscoveryMessage::kMaxSessionName);
    if (message->kind == DiscoveryMessage::Kind::Reply)
        FUZZ_CHECK(message->tcpPort != 0);
    const std::vector<unsigned char> encoded = message->Encode();
    FUZZ_CHECK(encoded.size() == size);
    FUZZ_CHECK(std::memcmp(encoded.data(), data, size) == 0);
    return 0;
}
