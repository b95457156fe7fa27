#include "transfer/storedfiles.h"

#include <xxhash.h>

#include <algorithm>

std::uint64_t StoredFiles::Key(const QByteArray& name, qint64 size, qint64 modifiedNs)
{
    const qint64 facts[2] = {size, modifiedNs};
    return XXH3_64bits_withSeed(name.constData(), std::size_t(name.size()), XXH3_64bits(facts, sizeof facts));
}

void StoredFiles::Add(std::uint64_t key)
{
    m_sorted = m_sorted && (m_keys.empty() || m_keys.back() < key);
    m_keys.push_back(key);
}

void StoredFiles::Add(const StoredFiles& other)
{
    m_keys.insert(m_keys.end(), other.m_keys.begin(), other.m_keys.end());
    m_sorted = false;
}

bool StoredFiles::Contains(std::uint64_t key) const
{
    sort();
    return std::binary_search(m_keys.begin(), m_keys.end(), key);
}

void StoredFiles::sort() const
{
    if (m_sorted)
        return;
    std::sort(m_keys.begin(), m_keys.end());
    m_keys.erase(std::unique(m_keys.begin(), m_keys.end()), m_keys.end());
    m_keys.shrink_to_fit();
    m_sorted = true;
}
