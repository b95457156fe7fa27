#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <utility>
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
