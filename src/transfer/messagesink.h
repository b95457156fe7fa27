#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::uint32_t kToAllPlayers = 0;   // DPID_ALLPLAYERS
inline constexpr std::uint32_t kSendGuaranteed = 1; // DPSEND_GUARANTEED

// Where the sending engine's messages go: the session endpoint's Send. The bytes are only
// valid during the call (the endpoint copies or queues them); a failure is thrown as
// AppError and ends the copy.
class MessageSink {
public:
    virtual ~MessageSink() = default;
    virtual void Send(std::uint32_t to, std::uint32_t flags, const void* data, std::uint32_t size) = 0;
    // Room for `count` messages of `size` bytes each, filled in place (message i at At(i))
    // and sent together by SendReserved, after everything sent before;
    // CancelReserved gives it back unsent. A null base when the sink has no such room (the
    // caller then sends each message with Send). One room at a time; failures throw like
    // Send's.
    struct Room {
        std::uint8_t* base = nullptr;
        std::size_t stride = 0;
        // Messages may come in groups of `group`, each group `groupStride` after the last
        // (sealed records holding several messages); 0: one even stride throughout.
        std::size_t group = 0;
        std::size_t groupStride = 0;
        std::uint8_t* At(std::size_t i) const
        {
            return group ? base + i / group * groupStride + i % group * stride : base + i * stride;
        }
    };
    virtual Room Reserve(std::uint32_t /*to*/, std::uint32_t /*flags*/, std::uint32_t /*size*/, std::uint32_t /*count*/)
    {
        return {};
    }
    virtual void SendReserved() {}
    virtual void CancelReserved() {}
    // Sends on what the sink may still hold to share a write with later messages; called
    // before every wait for the receiver's answer.
    virtual void Flush() {}
    // Waits until everything sent has reached the receiver (its end of the connection has
    // read all of it); throws AppError when that cannot be confirmed. The copy is over then.
    virtual void Finish() {}
};
