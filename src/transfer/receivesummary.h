#pragma once

#include "transfer/extensionmessages.h"

#include <QtGlobal>

#include <cstdint>

// How the current (or last) copy went, for a front end that must say whether it worked.
struct ReceiveSummary {
    int announcedFiles = 0;          // file count of the last session data message
    int completedFiles = 0;          // files written in full and put in place
    int filesWithCorruptBlocks = 0;  // files discarded because blocks were corrupt
    int filesWithDroppedPackets = 0; // files discarded because a data packet of theirs was dropped
    int failedFiles = 0;             // refused, not creatable, not writable, or cut off
    int skippedFiles = 0;            // a file of that name was kept (ExistingFiles::Skip)
    int announcedFolders = 0;        // extension: folders announced
    int foldersMade = 0;             // extension: folders made or already there
    int failedFolders = 0;           // extension: folders refused or not creatable
    qint64 bytesStored = 0;          // bytes of the files put in place
    qint64 bytesKept = 0;            // bytes resumed files had here already: not received

    // Counts a file's outcome; `size` is what a stored file put in place.
    void CountFile(Outcome outcome, std::uint8_t detail, qint64 size);
    // Files and folders whose outcome is known.
    int Entries() const;
    // Every announced file was put in place without a corrupt block or a dropped packet, and
    // every folder made.
    bool AllStored() const;
    // What the summary message at the end of an extended copy tells the client.
    CopySummary Message() const;
};
