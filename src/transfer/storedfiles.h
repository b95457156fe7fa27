#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <cstdint>
#include <vector>

// The files a server confirmed it holds (stored, skipped, or there already), each as an
// 8-byte key of its relative name, size and modification time: after a cut copy, the files
// to send again are those whose key is not here. A file changed since it was stored has
// another key and goes again; so does one whose name matches a stored one only by its key
// (the chance of that is about one in 2^64 per pair).
class StoredFiles {
public:
    static std::uint64_t Key(const QByteArray& name, qint64 size, qint64 modifiedNs);

    void Add(std::uint64_t key);
    void Add(const StoredFiles& other);
    bool Contains(std::uint64_t key) const;
    void Clear() { m_keys.clear(); }
    // Room for `count` keys at once: no growing copies (a page costs only once it is used).
    void Reserve(std::size_t count) { m_keys.reserve(count); }
    std::size_t Count() const { return m_keys.size(); }

private:
    void sort() const;

    mutable std::vector<std::uint64_t> m_keys;
    mutable bool m_sorted = true;
};
