#include "bridge/endpointsink.h"

#include "net/tdplayer.h"
#include "platform/apperror.h"

void EndpointSink::Send(std::uint32_t to, std::uint32_t flags, const void* data, std::uint32_t size)
{
    m_player.Send(to, flags, data, size);
}

void EndpointSink::Finish()
{
    try {
        m_player.Close();
    } catch (const AppError& error) {
        throw AppError(QStringLiteral("The server did not confirm that it received the whole copy (%1)")
                           .arg(error.message()));
    }
}
