#include "settings/settings.h"

#include "settings/settingsregistry.h"

TTransport TransportFromText(const QString& protocol)
{
    return protocol == QLatin1String("IPX") ? trIPX : trTCPIP;
}

Settings LoadSettings(const SettingsRegistry& registry)
{
    const QString section = QString::fromLatin1(SettingsRegistry::kSection);
    Settings settings;
    settings.ExtFileList = registry.ReadFlag(section, QStringLiteral("ExtFileList"), false);
    settings.ShowMessages = registry.ReadFlag(section, QStringLiteral("ShowMessages"), true);
    settings.AutoSearch = registry.ReadFlag(section, QStringLiteral("AutoSearch"), true);
    settings.Encrypt = registry.ReadFlag(section, QStringLiteral("Encrypt"), false);
    const qint32 blocksize = registry.ReadNumber(section, QStringLiteral("Blocksize"), kDefaultBlocksize);
    settings.Blocksize = (blocksize >= 1 && blocksize <= 2048) ? static_cast<qint16>(blocksize)
                                                               : kDefaultBlocksize;
    settings.Transport =
        TransportFromText(registry.ReadText(section, QStringLiteral("Protocol"), QStringLiteral("TCPIP")));
    settings.CreateLog = registry.ReadFlag(section, QStringLiteral("CreateLog"), true);
    settings.AppendLogData = registry.ReadFlag(section, QStringLiteral("AppendLogData"), true);
    settings.LogFile = registry.ReadText(section, QStringLiteral("LogFile"), QString::fromLatin1(kDefaultLogFile));
    if (settings.LogFile.isEmpty() || settings.LogFile == QLatin1String(" "))
        settings.LogFile = QString::fromLatin1(kDefaultLogFile);
    return settings;
}
