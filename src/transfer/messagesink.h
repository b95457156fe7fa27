#pragma once

#include <cstdint>

inline constexpr std::uint32_t kToAllPlayers = 0; // DPID_ALLPLAYERS
inline constexpr std::uint32_t kSendGuaranteed = 1; // DPSEND_GUARANTEED

// Where the sending engine's messages go: the session endpoint's Send. The bytes are only
// valid during the call (the endpoint copies or queues them); a failure is thrown as
// AppError and ends the copy.
class MessageSink {
public:
    virtual ~MessageSink() = default;
    virtual void Send(std::uint32_t to, std::uint32_t flags, const void* data,
                      std::uint32_t size) = 0;
    // Waits until everything sent has reached the receiver (its end of the connection has
    // read all of it); throws AppError when that cannot be confirmed. The copy is over then.
    virtual void Finish() {}
};
