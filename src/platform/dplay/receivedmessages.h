#pragma once

#include "platform/dplay/dplay.h"

#include <cstdint>
#include <memory>
#include <new>
#include <vector>

// An allocator that leaves new bytes as they are instead of zeroing them: a large receive
// buffer then takes memory only as far as data is actually read into it.
template <typename T>
struct UninitializedAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitializedAllocator<U>;
    };
    UninitializedAllocator() = default;
    template <typename U>
    UninitializedAllocator(const UninitializedAllocator<U>&) noexcept
    {
    }
    template <typename U>
    void construct(U* p) noexcept
    {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args)
    {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

// Received bytes: frames as read from a connection, or messages gathered for a batch.
using MessageBytes = std::vector<std::uint8_t, UninitializedAllocator<std::uint8_t>>;

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
