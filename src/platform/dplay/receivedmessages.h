#pragma once

#include "platform/dplay/dplay.h"
#include "platform/dplay/messagebytes.h"

#include <cstdint>
#include <vector>

// Messages taken together by IDirectPlay4A::ReceiveBatch, in arrival order. Each message is
// a view into one of `buffers`, which the batch owns: its bytes stay where they are, and
// whoever holds the batch may change them in place, until the batch is cleared or filled
// again. Filling a batch may reuse its old buffers.
struct ReceivedMessages {
    struct Message {
        DPID fromId = 0;
        DPID toId = 0;
        std::uint8_t* data = nullptr;
        DWORD size = 0;
    };
    std::vector<Message> messages;
    std::vector<MessageBytes> buffers;
    std::size_t bytes = 0; // the messages' sizes added up

    void Clear()
    {
        messages.clear();
        buffers.clear();
        bytes = 0;
    }
};
