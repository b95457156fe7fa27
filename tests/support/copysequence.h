#pragma once

#include <QByteArray>

#include <cstdint>
#include <optional>
#include <vector>

// One file of a copy, for BuildCopySequence.
struct CopyFile {
    QByteArray name;
    QByteArray bytes;
};

// Every message of one copy as a sender makes it, built independently of the sending
// engine: the session data, then per file its header and data packets. The data area
// beyond `count` is zero. With a key the copy is encrypted under it.
std::vector<QByteArray> BuildCopySequence(const std::vector<CopyFile>& files, std::int16_t blockSize,
                                          std::optional<std::uint16_t> key);
