#include "bridge/endpointsink.h"

#include "net/tdplayer.h"

void EndpointSink::Send(std::uint32_t to, std::uint32_t flags, const void* data, std::uint32_t size)
{
    m_player.Send(to, flags, data, size);
}
