#include "transfer/receivesummary.h"

void ReceiveSummary::CountFile(Outcome outcome, std::uint8_t detail, qint64 size)
{
    switch (outcome) {
    case Outcome::Stored:
        ++completedFiles;
        bytesStored += size;
        break;
    case Outcome::Skipped:
        ++skippedFiles;
        break;
    case Outcome::Refused:
        ++failedFiles;
        break;
    case Outcome::Discarded:
        if (detail == static_cast<std::uint8_t>(DiscardedWhy::CorruptBlocks))
            ++filesWithCorruptBlocks;
        else if (detail == static_cast<std::uint8_t>(DiscardedWhy::PacketDropped))
            ++filesWithDroppedPackets;
        else
            ++failedFiles;
        break;
    }
}

int ReceiveSummary::Entries() const
{
    return completedFiles + skippedFiles + failedFiles + filesWithCorruptBlocks + filesWithDroppedPackets + foldersMade
           + failedFolders;
}

bool ReceiveSummary::AllStored() const
{
    return failedFiles == 0 && filesWithCorruptBlocks == 0 && filesWithDroppedPackets == 0 && failedFolders == 0
           && completedFiles + skippedFiles == announcedFiles;
}

CopySummary ReceiveSummary::Message() const
{
    CopySummary summary;
    summary.filesStored = static_cast<std::uint32_t>(completedFiles);
    summary.filesSkipped = static_cast<std::uint32_t>(skippedFiles);
    summary.filesNotStored = static_cast<std::uint32_t>(failedFiles + filesWithCorruptBlocks + filesWithDroppedPackets);
    summary.foldersMade = static_cast<std::uint32_t>(foldersMade);
    summary.foldersNotMade = static_cast<std::uint32_t>(failedFolders);
    summary.bytesStored = static_cast<std::uint64_t>(bytesStored);
    return summary;
}
