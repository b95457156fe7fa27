#pragma once

#include "transfer/sendentry.h"

#include <QString>

#include <cstdint>
#include <optional>

// What a copy of entries holds, as counted before it starts: its first message carries it.
struct EntryCounts {
    std::uint32_t files = 0;
    std::uint32_t folders = 0;
    std::uint64_t bytes = 0;
    QString firstFile; // the first file's full path, shown before the copy starts
};

// The entries of a copy, one at a time in sending order (a folder before what it holds), so
// that a copy of a million files never holds them all: the sending engine pulls the next one
// when the last one is out.
class EntrySource {
public:
    virtual ~EntrySource() = default;

    // The next entry, into `entry`; false after the last. Throws AppError when the entries
    // can no longer be given as they were counted (the files changed since).
    virtual bool Next(SendEntry& entry) = 0;
    // Back before the first entry.
    virtual void Rewind() = 0;
    // The counts found when the entries were checked; nothing when the source does not know
    // them (the engine then counts them in a pass of its own, and rewinds).
    virtual std::optional<EntryCounts> Counts() const { return std::nullopt; }
};
