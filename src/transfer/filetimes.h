#pragma once

#include <QtGlobal>

#include <sys/stat.h>
#include <time.h>

// A file's modification time as the extension carries it: nanoseconds since 1970 (UTC),
// negative before it.
inline qint64 ModifiedNsOf(const struct stat& info)
{
    return qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

// The same time for futimens: whole seconds rounded down, so that the nanoseconds stay
// between 0 and 999,999,999 before 1970 too.
inline timespec TimespecOf(qint64 ns)
{
    timespec time{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    if (time.tv_nsec < 0) {
        time.tv_sec -= 1;
        time.tv_nsec += 1000000000;
    }
    return time;
}
