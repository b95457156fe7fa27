#include "secure/trusteddevices.h"

#include "platform/apperror.h"
#include "text/printable.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QSaveFile>
#include <QStandardPaths>

#include <algorithm>
#include <cstring>

namespace {

QString keyText(const Identity::PublicKey& key)
{
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(key.data()), qsizetype(key.size())).toHex());
}

bool sameName(const QString& a, const QString& b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

} // namespace

TrustedDevices::TrustedDevices(QString filePath) : m_filePath(std::move(filePath)) {}

QString TrustedDevices::defaultFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
           + QStringLiteral("/ferrowarden/trusted-devices.json");
}

std::unique_ptr<QLockFile> TrustedDevices::lock() const
{
    QDir().mkpath(QFileInfo(m_filePath).absolutePath());
    auto file = std::make_unique<QLockFile>(m_filePath + QStringLiteral(".lock"));
    if (!file->tryLock(5000))
        throw AppError(QStringLiteral("The list of trusted devices %1 is locked by another program").arg(m_filePath));
    return file;
}

QList<TrustedDevice> TrustedDevices::load() const
{
    QFile file(m_filePath);
    if (!file.exists())
        return {};
    if (!file.open(QIODevice::ReadOnly))
        throw AppError(
            QStringLiteral("Cannot read the list of trusted devices %1: %2").arg(m_filePath, file.errorString()));
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(file.read(16 * 1024 * 1024), &error);
    const auto damaged = [this](const QString& why) {
        return AppError(QStringLiteral("The list of trusted devices %1 is damaged (%2)").arg(m_filePath, why));
    };
    if (error.error != QJsonParseError::NoError)
        throw damaged(error.errorString());
    QList<TrustedDevice> devices;
    for (const QJsonValue& value : document.object().value(QStringLiteral("devices")).toArray()) {
        const QJsonObject entry = value.toObject();
        TrustedDevice device;
        device.name = entry.value(QStringLiteral("name")).toString();
        const QByteArray key = QByteArray::fromHex(entry.value(QStringLiteral("key")).toString().toLatin1());
        device.lastSeen = QDateTime::fromString(entry.value(QStringLiteral("lastSeen")).toString(), Qt::ISODate);
        if (device.name.isEmpty() || key.size() != qsizetype(device.key.size()))
            throw damaged(QStringLiteral("an entry without a name or key"));
        std::memcpy(device.key.data(), key.constData(), device.key.size());
        devices.append(device);
    }
    std::sort(devices.begin(), devices.end(), [](const TrustedDevice& a, const TrustedDevice& b) {
        return a.name.compare(b.name, Qt::CaseInsensitive) < 0;
    });
    return devices;
}

void TrustedDevices::save(const QList<TrustedDevice>& devices) const
{
    QJsonArray entries;
    for (const TrustedDevice& device : devices)
        entries.append(QJsonObject{{QStringLiteral("name"), device.name},
                                   {QStringLiteral("key"), keyText(device.key)},
                                   {QStringLiteral("lastSeen"), device.lastSeen.toUTC().toString(Qt::ISODate)}});
    QSaveFile file(m_filePath);
    if (!file.open(QIODevice::WriteOnly))
        throw AppError(
            QStringLiteral("Cannot write the list of trusted devices %1: %2").arg(m_filePath, file.errorString()));
    file.write(QJsonDocument(QJsonObject{{QStringLiteral("devices"), entries}}).toJson());
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (!file.commit())
        throw AppError(
            QStringLiteral("Cannot write the list of trusted devices %1: %2").arg(m_filePath, file.errorString()));
}

QList<TrustedDevice> TrustedDevices::list() const
{
    return load();
}

TrustedDevices::Check TrustedDevices::check(const QString& name, const Identity::PublicKey& key) const
{
    const QList<TrustedDevice> devices = load();
    for (const TrustedDevice& device : devices)
        if (device.key == key)
            return {Standing::Trusted, device};
    for (const TrustedDevice& device : devices)
        if (sameName(device.name, name))
            return {Standing::KeyChanged, device};
    return {};
}

void TrustedDevices::add(const QString& name, const Identity::PublicKey& key)
{
    const auto held = lock();
    QList<TrustedDevice> devices = load();
    for (const TrustedDevice& device : devices)
        if (sameName(device.name, name) && device.key != key)
            throw AppError(QStringLiteral("A device named \"%1\" is trusted with another key (fingerprint %2, "
                                          "not %3); forget it first if it was set up anew")
                               .arg(Printable(name), Identity::Fingerprint(device.key), Identity::Fingerprint(key)));
    devices.removeIf([&](const TrustedDevice& device) { return device.key == key; });
    devices.append({name, key, QDateTime::currentDateTimeUtc()});
    save(devices);
}

void TrustedDevices::seen(const Identity::PublicKey& key)
{
    const auto held = lock();
    QList<TrustedDevice> devices = load();
    for (TrustedDevice& device : devices)
        if (device.key == key)
            device.lastSeen = QDateTime::currentDateTimeUtc();
    save(devices);
}

bool TrustedDevices::forget(const QString& name)
{
    const auto held = lock();
    QList<TrustedDevice> devices = load();
    if (devices.removeIf([&](const TrustedDevice& device) { return sameName(device.name, name); }) == 0)
        return false;
    save(devices);
    return true;
}
