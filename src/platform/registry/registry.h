#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class QLockFile;

// A per-user store of typed values under nested keys, standing in for the registry of the
// current user. Key and value names compare without regard to case; each value is a text or
// a 32-bit number. Every read loads the file afresh and every write replaces it atomically,
// so several processes (the desktop program and the command line) share one store.
//
// A store file that cannot be parsed is never overwritten: the first read that meets it
// renames it to "<name>.damaged-<date>-<time>" and reads an empty store; the problem is
// kept for the front end to report (Problems). Should the rename fail, writes fail too.
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

    // What went wrong with the store file so far, one sentence each, for the user.
    const QStringList& Problems() const { return m_problems; }

private:
    // Serialises read-modify-write cycles between processes; held until destroyed.
    std::unique_ptr<QLockFile> lockStore() const;
    // The store's contents; empty when the file is missing or damaged.
    QJsonObject load() const;
    void setAside(const QString& reason) const;
    void addProblem(const QString& text) const;
    void save(const QJsonObject& root, const QString& what) const;
    void write(const QString& keyPath, const QString& name, ValueType type, const QJsonValue& data);

    QString m_filePath;
    mutable QStringList m_problems;
    // A damaged file that could not be renamed is still in place: never write over it.
    mutable bool m_damagedInPlace = false;
};
