#pragma once

#include <QByteArray>
#include <QString>

#include <optional>
#include <vector>

// An ordered list of texts, each with an optional block of bytes that the list owns; the
// session search keeps each session's name with its 16-byte instance GUID here.
class TObjectList final {
public:
    int Count() const { return static_cast<int>(m_entries.size()); }
    bool IsEmpty() const { return m_entries.empty(); }

    // Appends an entry and returns its index.
    int Add(const QString& text);
    int AddObject(const QString& text, const QByteArray& block);

    // Index must be in 0 .. Count() - 1; out-of-range indexes raise AppError.
    const QString& Strings(int index) const;
    // The entry's block, or null for an entry without one.
    const QByteArray* Objects(int index) const;

    void Delete(int index);
    void Clear() { m_entries.clear(); }

private:
    struct Entry {
        QString text;
        std::optional<QByteArray> block;
    };
    const Entry& At(int index) const;

    std::vector<Entry> m_entries;
};
