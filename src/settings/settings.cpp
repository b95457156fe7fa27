#include "settings/settings.h"

#include "settings/settingsregistry.h"

namespace {

QString Section()
{
    return QString::fromLatin1(SettingsRegistry::kSection);
}

} // namespace

TTransport TransportFromText(const QString& protocol)
{
    return protocol == QLatin1String("IPX") ? trIPX : trTCPIP;
}

bool ReadSetting(const SettingsRegistry& registry, const FlagSetting& setting)
{
    return registry.ReadFlag(Section(), QString::fromLatin1(setting.name), setting.defaultValue);
}

qint16 ReadSetting(const SettingsRegistry& registry, const NumberSetting& setting)
{
    const qint32 value = registry.ReadNumber(Section(), QString::fromLatin1(setting.name), setting.defaultValue);
    return value >= setting.min && value <= setting.max ? static_cast<qint16>(value) : setting.defaultValue;
}

TTransport ReadSetting(const SettingsRegistry& registry, const TransportSetting& setting)
{
    const QString text =
        registry.ReadText(Section(), QString::fromLatin1(setting.name), TransportText(setting.defaultValue));
    return TransportFromText(text);
}

QString ReadSetting(const SettingsRegistry& registry, const TextSetting& setting)
{
    const QString text =
        registry.ReadText(Section(), QString::fromLatin1(setting.name), QString::fromLatin1(setting.defaultValue));
    if (text.isEmpty() || text == QLatin1String(" "))
        return QString::fromLatin1(setting.defaultValue);
    return text;
}

Settings LoadSettings(const SettingsRegistry& registry)
{
    Settings settings;
    settings.ExtFileList = ReadSetting(registry, Setting::ExtFileList);
    settings.ShowMessages = ReadSetting(registry, Setting::ShowMessages);
    settings.AutoSearch = ReadSetting(registry, Setting::AutoSearch);
    settings.Encrypt = ReadSetting(registry, Setting::Encrypt);
    settings.AcceptPolicy = ReadSetting(registry, Setting::AcceptPolicy);
    settings.Blocksize = ReadSetting(registry, Setting::Blocksize);
    settings.Transport = ReadSetting(registry, Setting::Transport);
    settings.CreateLog = ReadSetting(registry, Setting::CreateLog);
    settings.AppendLogData = ReadSetting(registry, Setting::AppendLogData);
    settings.KeepPartials = ReadSetting(registry, Setting::KeepPartials);
    settings.LogFile = ReadSetting(registry, Setting::LogFile);
    return settings;
}
