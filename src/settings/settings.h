#pragma once

#include "platform/dplay/transport.h"

#include <QString>

class SettingsRegistry;

// The user's options, loaded once at start; only the preferences dialog changes them.
struct Settings {
    bool ExtFileList = false;
    bool ShowMessages = true;
    bool AutoSearch = true;
    bool Encrypt = false;
    qint16 Blocksize = 2048;
    TTransport Transport = trTCPIP;
    bool CreateLog = true;
    bool AppendLogData = true;
    QString LogFile = QStringLiteral("fwd.txt");
};

inline constexpr qint16 kDefaultBlocksize = 2048;
inline constexpr const char* kDefaultLogFile = "fwd.txt";

// Fills every field from the store; absent or unreadable values take their defaults. A
// stored block size outside 1 to 2048 loads as 2048, since no packet can carry more and
// the sender divides by it.
Settings LoadSettings(const SettingsRegistry& registry);

// "IPX" (exactly) selects IPX; any other text, the default "TCPIP" included, TCP/IP. The
// preferences store TransportText's names.
TTransport TransportFromText(const QString& protocol);
