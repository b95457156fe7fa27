#pragma once

#include <QString>

// The transports the program offers: which of the session service's providers it binds to.
enum TTransport { trIPX, trTCPIP };

// A transport's name as the program shows and stores it: "TCP/IP" or "IPX".
QString TransportText(TTransport transport);
