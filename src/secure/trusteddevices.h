#pragma once

#include "secure/identity.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <memory>

class QLockFile;

// A device this one has paired with: its name, its identity key, when it last copied.
struct TrustedDevice {
    QString name;
    Identity::PublicKey key{};
    QDateTime lastSeen;
};

// The devices this installation trusts, kept in the config folder beside the settings
// ("ferrowarden/trusted-devices.json"). A device is known by its key; a known name that
// comes with another key is never trusted, only reported, and stays refused until the user
// forgets the old entry. Every call reads the file afresh and every change replaces it
// atomically under a lock, so the window and the command line share one list.
class TrustedDevices {
public:
    enum class Standing {
        Unknown,    // neither the key nor the name is known
        Trusted,    // the key is known (under `stored.name`)
        KeyChanged, // the name is known with another key (`stored.key`): refuse
    };
    struct Check {
        Standing standing = Standing::Unknown;
        TrustedDevice stored;
    };

    explicit TrustedDevices(QString filePath = defaultFilePath());
    static QString defaultFilePath();
    const QString& filePath() const { return m_filePath; }

    // By name, case ignored. AppError when the file is damaged.
    QList<TrustedDevice> list() const;
    Check check(const QString& name, const Identity::PublicKey& key) const;
    // Trusts `key` as `name` (seen now); a known key takes the new name. AppError when the
    // name belongs to another key, or the file cannot be written.
    void add(const QString& name, const Identity::PublicKey& key);
    // The device with this key copied just now.
    void seen(const Identity::PublicKey& key);
    // False when no device has that name (case ignored).
    bool forget(const QString& name);

private:
    std::unique_ptr<QLockFile> lock() const;
    QList<TrustedDevice> load() const;
    void save(const QList<TrustedDevice>& devices) const;

    QString m_filePath;
};
