#pragma once

#include "platform/dplay/dplay.h"

#include <QByteArray>
#include <QString>

// Service-provider addresses for InitializeConnection, built by the lobby object.

// The address made of `count` elements. Raises AppError when no lobby object can be made
// or the lobby refuses the elements.
QByteArray MakeCompoundAddress(const DPCOMPOUNDADDRESSELEMENT* elements, DWORD count);

// The TCP/IP address for "host" or "host:port" (an empty host asks the whole LAN). The
// port, the text after the first ":", must be a decimal number from 0 to 65535; anything
// else raises AppError.
QByteArray MakeTcpIpAddress(const QString& hostAndPort);

// The IPX address.
QByteArray MakeIpxAddress();

// Why FERROWARDEN_DISCOVERY_PORT cannot be used (it is set, but names no port from 1 to
// 65535), or an empty text. The session service then refuses to start rather than fall back
// to the default port, where nobody would find the session.
QString DiscoveryPortProblem();
