#include "cli/hostlookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

HostLookup LookUpHost(const QString& name)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int result = ::getaddrinfo(name.toLocal8Bit().constData(), nullptr, &hints, &found);
    if (result != 0 || !found) {
        if (found)
            ::freeaddrinfo(found);
        return {QString(), QString::fromLocal8Bit(result != 0 ? ::gai_strerror(result) : "no address")};
    }
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr, text, sizeof text);
    ::freeaddrinfo(found);
    return {QString::fromLatin1(text), QString()};
}
