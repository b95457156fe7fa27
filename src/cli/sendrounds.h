#pragma once

#include "cli/sourcefiles.h"
#include "cli/sourcewalk.h"
#include "transfer/storedfiles.h"

#include <QStringList>

#include <memory>

class EntrySource;
class SendingEngine;

// The rounds of one `send`: the first sends the files and folders given, as checked; after a
// lost connection the next sends what is left: every folder, and the files that the server
// did not store (or that changed since it stored them). What earlier rounds did is kept as
// counts and the stored files' keys, never as a list of files.
class SendRounds {
public:
    explicit SendRounds(const QStringList& files) : m_files(files), m_walk(files) {}

    // Checks the files given; the first round sends them.
    SourceFiles Check() { return m_walk.Check(); }
    // The entries of the round to come.
    EntrySource& Entries();
    // A round that ran to its end.
    void Ended(const SendingEngine& engine);
    // A round cut off: what it stored counts, and what is left is checked for the next round;
    // the problems that check found (the next round cannot go then).
    std::vector<SourceFiles::Problem> Cut(const SendingEngine& engine);

    // Of the rounds before: files stored, their bytes, bytes sent as data, files the server
    // had already, unchanged.
    int FilesDone() const { return m_filesDone; }
    qint64 BytesDone() const { return m_bytesDone; }
    qint64 WireBytes() const { return m_wireBytes; }
    int AlreadyThere() const { return m_alreadyThere; }

private:
    QStringList m_files;
    SourceWalk m_walk;
    StoredFiles m_stored;
    std::unique_ptr<SourceWalk> m_rest; // what is left after a cut
    int m_filesDone = 0;
    qint64 m_bytesDone = 0;
    qint64 m_wireBytes = 0;
    int m_alreadyThere = 0;
};
