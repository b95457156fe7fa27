#include "transfer/listentrysource.h"

#include "transfer/filetimes.h"
#include "transfer/storedfiles.h"

#include <QFile>

#include <sys/stat.h>

bool ListEntrySource::Next(SendEntry& entry)
{
    while (m_next < m_entries.size()) {
        const SendEntry& next = m_entries.at(m_next++);
        if (!stored(next)) {
            entry = next;
            return true;
        }
    }
    return false;
}

bool ListEntrySource::stored(const SendEntry& entry) const
{
    if (!m_skip || entry.folder)
        return false;
    struct stat info {};
    if (::stat(QFile::encodeName(entry.path).constData(), &info) != 0)
        return false; // it goes, and its failure is told then
    return m_skip->Contains(StoredFiles::Key(entry.name, info.st_size, ModifiedNsOf(info)));
}
