#include "platform/dplay/dplay.h"

#include "platform/dplay/dplaylobby.h"
#include "platform/dplay/receivedmessages.h"
#include "platform/dplay/sessionservice.h"

#include <algorithm>

std::shared_ptr<IDirectPlay4A> CreateDirectPlay()
{
    return std::make_shared<SessionService>();
}

std::shared_ptr<IDirectPlayLobby3A> CreateDirectPlayLobby()
{
    return std::make_shared<DirectPlayLobby>();
}

HRESULT IDirectPlay4A::ReceiveBatch(ReceivedMessages& batch, std::size_t maxMessages, std::size_t maxBytes)
{
    // Messages go back to back into one buffer, kept from call to call; a message too large
    // for what is left of it gets a buffer of its own.
    MessageBytes shared;
    if (!batch.buffers.empty())
        shared = std::move(batch.buffers.front());
    batch.Clear();
    shared.resize(std::max<std::size_t>({shared.size(), maxBytes, 64 * 1024}));
    batch.buffers.push_back(std::move(shared));
    std::size_t used = 0;

    while (batch.messages.size() < std::max<std::size_t>(maxMessages, 1) && batch.bytes < maxBytes) {
        std::uint8_t* data = batch.buffers.front().data() + used;
        DWORD room = DWORD(batch.buffers.front().size() - used);
        DPID from = 0;
        DPID to = 0;
        DWORD size = room;
        HRESULT hr = Receive(&from, &to, DPRECEIVE_ALL, data, &size);
        bool own = false;
        if (hr == DPERR_BUFFERTOOSMALL) {
            if (size <= room)
                break; // asks for no more room than it had: give up
            batch.buffers.emplace_back(size);
            data = batch.buffers.back().data();
            room = size;
            own = true;
            hr = Receive(&from, &to, DPRECEIVE_ALL, data, &size);
        }
        if (FAILED(hr))
            break; // the queue is empty, or the object failed
        if (size > room)
            continue; // claims more bytes than it was given: taken, never read past
        if (!own)
            used += size;
        batch.messages.push_back({from, to, data, size});
        batch.bytes += size;
    }
    return batch.messages.empty() ? DPERR_NOMESSAGES : DP_OK;
}

HRESULT IDirectPlay4A::ReserveSend(DPID, DPID, DWORD, DWORD, std::uint8_t**, std::size_t*)
{
    return DPERR_UNSUPPORTED;
}
