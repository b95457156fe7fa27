#include "settings/settingsregistry.h"

#include "platform/apperror.h"
#include "settings/logging.h"

#include <QDebug>
#include <QRegularExpression>

std::optional<qint32> ParseStoredInteger(const QString& text)
{
    static const QRegularExpression integer(QStringLiteral("^\\s*[-+]?[0-9]+\\s*$"));
    if (!integer.match(text).hasMatch())
        return std::nullopt;
    bool ok = false;
    const qint32 value = text.trimmed().toInt(&ok, 10);
    return ok ? std::optional<qint32>(value) : std::nullopt;
}

SettingsRegistry::SettingsRegistry(Registry& registry) : m_registry(registry)
{
    try {
        m_registry.createKey(QString::fromLatin1(kRootKey));
    } catch (const AppError& error) {
        m_cannotStore = QStringLiteral("Settings cannot be stored: %1").arg(error.message());
    }
}

QStringList SettingsRegistry::Problems() const
{
    QStringList problems = m_registry.Problems();
    if (!m_cannotStore.isEmpty())
        problems << m_cannotStore;
    return problems;
}

QString SettingsRegistry::keyPath(const QString& section) const
{
    return QString::fromLatin1(kRootKey) + QLatin1Char('\\') + section;
}

std::optional<QString> SettingsRegistry::readStored(const QString& section, const QString& name) const
{
    try {
        return m_registry.readText(keyPath(section), name);
    } catch (const AppError& error) {
        qCWarning(lcSettings).noquote() << error.message() << "- using its default";
        return std::nullopt;
    }
}

bool SettingsRegistry::ReadFlag(const QString& section, const QString& name, bool defaultValue) const
{
    const auto text = readStored(section, name);
    const auto number = text ? ParseStoredInteger(*text) : std::nullopt;
    return number ? *number != 0 : defaultValue;
}

qint32 SettingsRegistry::ReadNumber(const QString& section, const QString& name, qint32 defaultValue) const
{
    const auto text = readStored(section, name);
    const auto number = text ? ParseStoredInteger(*text) : std::nullopt;
    return number.value_or(defaultValue);
}

QString SettingsRegistry::ReadText(const QString& section, const QString& name, const QString& defaultValue) const
{
    return readStored(section, name).value_or(defaultValue);
}

void SettingsRegistry::StoreFlag(const QString& section, const QString& name, bool value)
{
    m_registry.writeText(keyPath(section), name, value ? QStringLiteral("1") : QStringLiteral("0"));
}

void SettingsRegistry::StoreNumber(const QString& section, const QString& name, qint32 value)
{
    m_registry.writeText(keyPath(section), name, QString::number(value));
}

void SettingsRegistry::StoreText(const QString& section, const QString& name, const QString& value)
{
    m_registry.writeText(keyPath(section), name, value);
}
