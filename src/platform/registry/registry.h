#pragma once

#include <QJsonObject>
#include <QString>

#include <memory>
#include <optional>

class QLockFile;

// A per-user store of typed values under nested keys, standing in for the registry of the
// current user. Key and value names compare without regard to case; each value is a text or
// a 32-bit number. Every read loads the file afresh and every write replaces it atomically,
// so several processes (the desktop program and the command line) share one store.
class Registry {
public:
    enum class ValueType { Text, Number };

    // The store's file; by default "ferrowarden/registry.json" under the user's config
    // directory (XDG_CONFIG_HOME moves it).
    explicit Registry(QString filePath = defaultFilePath());

    static QString defaultFilePath();
    const QString& filePath() const { return m_filePath; }

    // Key paths use "\" between key names, as in "Software\Brindlecraft\Ferrowarden".
    bool keyExists(const QString& keyPath) const;
    void createKey(const QString& keyPath);

    // nullopt when the key or the value is missing; AppError naming the value when it is
    // stored with the other type.
    std::optional<QString> readText(const QString& keyPath, const QString& name) const;
    std::optional<qint32> readNumber(const QString& keyPath, const QString& name) const;
    std::optional<ValueType> valueType(const QString& keyPath, const QString& name) const;

    // Creates missing keys; AppError naming the key or value when the store cannot be written.
    void writeText(const QString& keyPath, const QString& name, const QString& value);
    void writeNumber(const QString& keyPath, const QString& name, qint32 value);
    void deleteValue(const QString& keyPath, const QString& name);

private:
    // Serialises read-modify-write cycles between processes; held until destroyed.
    std::unique_ptr<QLockFile> lockStore() const;
    QJsonObject load() const;
    void save(const QJsonObject& root, const QString& what) const;
    void write(const QString& keyPath, const QString& name, ValueType type, const QJsonValue& data);

    QString m_filePath;
};
