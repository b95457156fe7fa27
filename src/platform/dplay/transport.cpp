#include "platform/dplay/transport.h"

QString TransportText(TTransport transport)
{
    return transport == trIPX ? QStringLiteral("IPX") : QStringLiteral("TCP/IP");
}
