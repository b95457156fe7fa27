#pragma once

#include "platform/dplay/transport.h"

#include <QString>

class SettingsRegistry;

// The user's options: each one's stored name (a value of the "Ferrowarden" section) and
// its default, in one table. A value that is absent or unreadable reads as its default.
struct FlagSetting {
    const char* name;
    bool defaultValue;
};
// A number outside its range reads as the default.
struct NumberSetting {
    const char* name;
    qint16 defaultValue;
    qint16 min;
    qint16 max;
};
// Stored as its TransportText; "IPX" (exactly) selects IPX, any other text TCP/IP.
struct TransportSetting {
    const char* name;
    TTransport defaultValue;
};
// An empty text, or a single space, reads as the default.
struct TextSetting {
    const char* name;
    const char* defaultValue;
};

namespace Setting {
inline constexpr FlagSetting ExtFileList{"ExtFileList", false};
inline constexpr FlagSetting ShowMessages{"ShowMessages", true};
inline constexpr FlagSetting AutoSearch{"AutoSearch", true};
inline constexpr FlagSetting Encrypt{"Encrypt", false};
// No packet carries more than 2048 bytes, and the sender divides by it.
inline constexpr NumberSetting Blocksize{"Blocksize", 2048, 1, 2048};
inline constexpr TransportSetting Transport{"Protocol", trTCPIP};
inline constexpr FlagSetting CreateLog{"CreateLog", true};
inline constexpr FlagSetting AppendLogData{"AppendLogData", true};
inline constexpr TextSetting LogFile{"LogFile", "fwd.txt"};
// A received file that is cut off is kept, so that the next copy of it goes on from there.
inline constexpr FlagSetting KeepPartials{"KeepPartialFiles", true};
// Who may send to a hosted session: 0 anyone, 1 paired or trusted devices, 2 trusted only
// (AcceptPolicy in secure/acceptpolicy.h).
inline constexpr NumberSetting AcceptPolicy{"AcceptPolicy", 0, 0, 2};
} // namespace Setting

// The one way an option is read: its stored value, or its default.
bool ReadSetting(const SettingsRegistry& registry, const FlagSetting& setting);
qint16 ReadSetting(const SettingsRegistry& registry, const NumberSetting& setting);
TTransport ReadSetting(const SettingsRegistry& registry, const TransportSetting& setting);
QString ReadSetting(const SettingsRegistry& registry, const TextSetting& setting);

// The user's options, loaded once at start; only the preferences dialog changes them.
struct Settings {
    bool ExtFileList = Setting::ExtFileList.defaultValue;
    bool ShowMessages = Setting::ShowMessages.defaultValue;
    bool AutoSearch = Setting::AutoSearch.defaultValue;
    bool Encrypt = Setting::Encrypt.defaultValue;
    qint16 Blocksize = Setting::Blocksize.defaultValue;
    TTransport Transport = Setting::Transport.defaultValue;
    bool CreateLog = Setting::CreateLog.defaultValue;
    bool AppendLogData = Setting::AppendLogData.defaultValue;
    QString LogFile = QString::fromLatin1(Setting::LogFile.defaultValue);
    bool KeepPartials = Setting::KeepPartials.defaultValue;
    qint16 AcceptPolicy = Setting::AcceptPolicy.defaultValue;
};

// Reads every option of the table.
Settings LoadSettings(const SettingsRegistry& registry);

// "IPX" (exactly) selects IPX; any other text, the default "TCPIP" included, TCP/IP. The
// preferences store TransportText's names.
TTransport TransportFromText(const QString& protocol);
