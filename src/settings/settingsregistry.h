#pragma once

#include "platform/registry/registry.h"

#include <QString>

// The accessor through which every user option passes: sections are subkeys of
// "Software\Brindlecraft", addressed like sections of an INI file. Values are stored as
// text: flags as "0"/"1", numbers in decimal.
class SettingsRegistry {
public:
    static constexpr const char* kRootKey = "Software\\Brindlecraft";
    static constexpr const char* kSection = "Ferrowarden";

    // Creates the root key when it is missing. A store that cannot be written is no
    // reason to stop: the settings that can be read, or the defaults, are used, and
    // Problems says so.
    explicit SettingsRegistry(Registry& registry);

    // What the user should hear once about the store: that settings cannot be stored, that
    // a damaged file was set aside. Empty when all is well.
    QStringList Problems() const;

    // A missing section or value reads as `defaultValue`; so does a text that does not
    // convert and a value stored with another type than text (reported with qWarning,
    // so a damaged store never stops the program from starting).
    bool ReadFlag(const QString& section, const QString& name, bool defaultValue) const;
    qint32 ReadNumber(const QString& section, const QString& name, qint32 defaultValue) const;
    QString ReadText(const QString& section, const QString& name, const QString& defaultValue) const;

    // Throw AppError naming the value when the store cannot be written.
    void StoreFlag(const QString& section, const QString& name, bool value);
    void StoreNumber(const QString& section, const QString& name, qint32 value);
    void StoreText(const QString& section, const QString& name, const QString& value);

private:
    std::optional<QString> readStored(const QString& section, const QString& name) const;
    QString keyPath(const QString& section) const;

    Registry& m_registry;
    QString m_cannotStore;
};

// The decimal text of a stored number or flag as an integer; nullopt when it is not one.
std::optional<qint32> ParseStoredInteger(const QString& text);
