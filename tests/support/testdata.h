#pragma once

// Fixtures shared by the tests of several subsystems.

#include <QByteArray>
#include <QRandomGenerator>

#include <sys/resource.h>

#include <csignal>

// `size` bytes that depend only on `seed`.
inline QByteArray RandomBytes(qsizetype size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    for (char& c : bytes)
        c = static_cast<char>(generator.bounded(256));
    return bytes;
}

// A file size limit stands in for a full disk: while it lives, writes beyond `bytes` fail
// with EFBIG instead of raising SIGXFSZ.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &m_saved);
        rlimit limit = m_saved;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &m_saved); }

    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit m_saved{};
};
