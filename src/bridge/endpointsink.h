#pragma once

#include "transfer/messagesink.h"

class TDPlayer;

// Hands the sending engine's messages to the session endpoint's Send. It lives with the front
// ends, which join the transfer and net layers; neither of those knows the other.
class EndpointSink final : public MessageSink {
public:
    explicit EndpointSink(TDPlayer& player) : m_player(player) {}
    void Send(std::uint32_t to, std::uint32_t flags, const void* data, std::uint32_t size) override;
    // Room in the endpoint's send queue itself (TDPlayer::ReserveSend).
    Room Reserve(std::uint32_t to, std::uint32_t flags, std::uint32_t size, std::uint32_t count) override;
    void SendReserved() override;
    void CancelReserved() override;
    // Leaves the session, confirming that the server read everything (TDPlayer::Close).
    void Finish() override;

private:
    TDPlayer& m_player;
};
