#pragma once

#include "transfer/entrysource.h"

#include <QList>

class StoredFiles;

// Entries a caller holds already (the window's selection, a test's files) as an entry
// source. With `skip`, the files the server holds unchanged (their key is in it) are left
// out, for the copy that goes on after a cut one; folders always go.
class ListEntrySource final : public EntrySource {
public:
    explicit ListEntrySource(QList<SendEntry> entries, const StoredFiles* skip = nullptr)
        : m_entries(std::move(entries)), m_skip(skip)
    {
    }

    bool Next(SendEntry& entry) override;
    void Rewind() override { m_next = 0; }

private:
    bool stored(const SendEntry& entry) const;

    QList<SendEntry> m_entries;
    const StoredFiles* m_skip;
    qsizetype m_next = 0;
};
