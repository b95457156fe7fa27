#include "platform/registry/registry.h"

#include "platform/apperror.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLockFile>
#include <QSaveFile>
#include <QStandardPaths>

#include <functional>

// File layout: a JSON object per key, {"keys": {name: key...}, "values": {name: value...}},
// where a value is {"type": "text"|"number", "data": string|integer}. Names keep the case
// they were first written with; lookups ignore case.

namespace {

const QString kKeys = QStringLiteral("keys");
const QString kValues = QStringLiteral("values");
const QString kType = QStringLiteral("type");
const QString kData = QStringLiteral("data");

QStringList splitPath(const QString& keyPath)
{
    return keyPath.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
}

// The stored spelling of `name` among the keys of `object`, or `name` itself when absent.
QString storedName(const QJsonObject& object, const QString& name)
{
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (it.key().compare(name, Qt::CaseInsensitive) == 0)
            return it.key();
    }
    return name;
}

std::optional<QJsonObject> findKey(const QJsonObject& root, const QString& keyPath)
{
    QJsonObject key = root;
    for (const QString& part : splitPath(keyPath)) {
        const QJsonObject children = key.value(kKeys).toObject();
        const QString stored = storedName(children, part);
        if (!children.contains(stored))
            return std::nullopt;
        key = children.value(stored).toObject();
    }
    return key;
}

std::optional<QJsonObject> findValue(const QJsonObject& root, const QString& keyPath, const QString& name)
{
    const auto key = findKey(root, keyPath);
    if (!key)
        return std::nullopt;
    const QJsonObject values = key->value(kValues).toObject();
    const QString stored = storedName(values, name);
    if (!values.contains(stored))
        return std::nullopt;
    return values.value(stored).toObject();
}

// Returns `key` with `parts` created below it and `change` applied to the innermost key.
QJsonObject updated(QJsonObject key, QStringList parts, const std::function<void(QJsonObject&)>& change)
{
    if (parts.isEmpty()) {
        change(key);
        return key;
    }
    QJsonObject children = key.value(kKeys).toObject();
    const QString stored = storedName(children, parts.takeFirst());
    children.insert(stored, updated(children.value(stored).toObject(), parts, change));
    key.insert(kKeys, children);
    return key;
}

QString typeName(Registry::ValueType type)
{
    return type == Registry::ValueType::Text ? QStringLiteral("text") : QStringLiteral("number");
}

} // namespace

Registry::Registry(QString filePath) : m_filePath(std::move(filePath)) {}

QString Registry::defaultFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
           + QStringLiteral("/ferrowarden/registry.json");
}

QJsonObject Registry::load() const
{
    m_damagedInPlace = false;
    QFile file(m_filePath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    file.close();
    if (error.error != QJsonParseError::NoError) {
        setAside(error.errorString());
        return {};
    }
    if (!document.isObject()) {
        setAside(QStringLiteral("not a JSON object"));
        return {};
    }
    return document.object();
}

void Registry::addProblem(const QString& text) const
{
    if (!m_problems.contains(text))
        m_problems << text;
}

void Registry::setAside(const QString& reason) const
{
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString aside = m_filePath + QStringLiteral(".damaged-") + stamp;
    for (int n = 2; QFileInfo::exists(aside); ++n)
        aside = m_filePath + QStringLiteral(".damaged-%1-%2").arg(stamp).arg(n);
    if (QFile::rename(m_filePath, aside)) {
        addProblem(QStringLiteral("The settings file %1 was damaged (%2); it is kept as %3, and "
                                  "the defaults are used")
                       .arg(m_filePath, reason, aside));
        return;
    }
    // Another process may have moved it first; then there is nothing left to protect.
    if (!QFileInfo::exists(m_filePath))
        return;
    m_damagedInPlace = true;
    addProblem(QStringLiteral("The settings file %1 is damaged (%2) and cannot be renamed; the "
                              "defaults are used and no setting is stored")
                   .arg(m_filePath, reason));
}

void Registry::save(const QJsonObject& root, const QString& what) const
{
    if (m_damagedInPlace)
        throw AppError(QStringLiteral("Cannot write %1 to %2: the file is damaged, and it is "
                                      "kept as it is")
                           .arg(what, m_filePath));
    QSaveFile file(m_filePath);
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(root).toJson(QJsonDocument::Indented)) < 0
        || !file.commit()) {
        throw AppError(QStringLiteral("Cannot write %1 to %2: %3").arg(what, m_filePath, file.errorString()));
    }
}

std::unique_ptr<QLockFile> Registry::lockStore() const
{
    QDir().mkpath(QFileInfo(m_filePath).absolutePath());
    auto lock = std::make_unique<QLockFile>(m_filePath + QStringLiteral(".lock"));
    lock->lock(); // without a lock (an unwritable place) the write fails and says so
    return lock;
}

bool Registry::keyExists(const QString& keyPath) const
{
    return findKey(load(), keyPath).has_value();
}

void Registry::createKey(const QString& keyPath)
{
    const auto lock = lockStore();
    const QJsonObject root = load();
    if (findKey(root, keyPath))
        return;
    save(updated(root, splitPath(keyPath), [](QJsonObject&) {}), QStringLiteral("key \"%1\"").arg(keyPath));
}

std::optional<Registry::ValueType> Registry::valueType(const QString& keyPath, const QString& name) const
{
    const auto value = findValue(load(), keyPath, name);
    if (!value)
        return std::nullopt;
    return value->value(kType).toString() == QLatin1String("number") ? ValueType::Number : ValueType::Text;
}

std::optional<QString> Registry::readText(const QString& keyPath, const QString& name) const
{
    const auto value = findValue(load(), keyPath, name);
    if (!value)
        return std::nullopt;
    if (value->value(kType).toString() != QLatin1String("text") || !value->value(kData).isString())
        throw AppError(QStringLiteral("Registry value \"%1\" in \"%2\" is not a text value").arg(name, keyPath));
    return value->value(kData).toString();
}

std::optional<qint32> Registry::readNumber(const QString& keyPath, const QString& name) const
{
    const auto value = findValue(load(), keyPath, name);
    if (!value)
        return std::nullopt;
    if (value->value(kType).toString() != QLatin1String("number") || !value->value(kData).isDouble())
        throw AppError(QStringLiteral("Registry value \"%1\" in \"%2\" is not a number value").arg(name, keyPath));
    return static_cast<qint32>(value->value(kData).toInteger());
}

void Registry::write(const QString& keyPath, const QString& name, ValueType type, const QJsonValue& data)
{
    const auto lock = lockStore();
    const QJsonObject root = updated(load(), splitPath(keyPath), [&](QJsonObject& key) {
        QJsonObject values = key.value(kValues).toObject();
        values.insert(storedName(values, name), QJsonObject{{kType, typeName(type)}, {kData, data}});
        key.insert(kValues, values);
    });
    save(root, QStringLiteral("value \"%1\" of \"%2\"").arg(name, keyPath));
}

void Registry::writeText(const QString& keyPath, const QString& name, const QString& value)
{
    write(keyPath, name, ValueType::Text, value);
}

void Registry::writeNumber(const QString& keyPath, const QString& name, qint32 value)
{
    write(keyPath, name, ValueType::Number, value);
}

void Registry::deleteValue(const QString& keyPath, const QString& name)
{
    const auto lock = lockStore();
    const QJsonObject root = load();
    if (!findValue(root, keyPath, name))
        return;
    save(updated(root, splitPath(keyPath),
                 [&](QJsonObject& key) {
                     QJsonObject values = key.value(kValues).toObject();
                     values.remove(storedName(values, name));
                     key.insert(kValues, values);
                 }),
         QStringLiteral("value \"%1\" of \"%2\"").arg(name, keyPath));
}
