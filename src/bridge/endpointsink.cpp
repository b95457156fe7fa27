#include "bridge/endpointsink.h"

#include "net/tdplayer.h"
#include "platform/apperror.h"

void EndpointSink::Send(std::uint32_t to, std::uint32_t flags, const void* data, std::uint32_t size)
{
    m_player.Send(to, flags, data, size);
}

MessageSink::Room EndpointSink::Reserve(std::uint32_t to, std::uint32_t flags, std::uint32_t size, std::uint32_t count)
{
    const TDPlayer::SendRoom room = m_player.ReserveSend(to, flags, size, count);
    return {room.base, room.stride};
}

void EndpointSink::SendReserved()
{
    m_player.SendReserved();
}

void EndpointSink::CancelReserved()
{
    m_player.CancelReserved();
}

void EndpointSink::Finish()
{
    try {
        m_player.Close();
    } catch (const AppError& error) {
        throw AppError(
            QStringLiteral("The server did not confirm that it received the whole copy (%1)").arg(error.message()));
    }
}
