#include "platform/dplay/dplay.h"

#include "platform/dplay/dplaylobby.h"
#include "platform/dplay/sessionservice.h"

std::shared_ptr<IDirectPlay4A> CreateDirectPlay()
{
    return std::make_shared<SessionService>();
}

std::shared_ptr<IDirectPlayLobby3A> CreateDirectPlayLobby()
{
    return std::make_shared<DirectPlayLobby>();
}
