#pragma once

#include "transfer/packetsteps.h"
#include "transfer/transferview.h"

#include <QtGlobal>

#include <cstdint>
#include <functional>

// Where a copy stands, as both engines count it and report it to their view: the packet
// counter, the file and total bars (moved by PacketSteps), and the bytes of the file and of
// the whole copy (TransferProgress).
class CopyProgress {
public:
    // `showPackets` shows the packet counter, sent or received.
    CopyProgress(TransferView& view, std::function<void(qint64 packets)> showPackets);

    // A new copy: the packet counter, the total bar and the copy's bytes back to 0.
    void RestartCopy();
    // `fileCount` files of `totalSize` bytes, sent in blocks of `blockSize`.
    void SetCopy(int fileCount, qint64 totalSize, std::int16_t blockSize);
    // File `number` of `size` bytes begins: its bar and bytes back to 0.
    void RestartFile(int number, qint64 size);
    // The file's bar moves one point per hundredth of its full blocks.
    void SetFileStep(std::int16_t blockSize);

    void AddBytes(qint64 count);
    // One packet counted: the counter and, when their step is reached, the bars move.
    void CountPacket();
    // Reports the bytes (TransferView::ShowProgress).
    void Show() const;

    qint64 Packets() const { return m_packets; }
    int FileCount() const { return m_bytes.fileCount; }
    qint64 FileSize() const { return m_bytes.fileSize; }
    qint64 FileBytes() const { return m_bytes.fileBytes; }

private:
    TransferView& m_view;
    std::function<void(qint64)> m_showPackets;
    qint64 m_packets = 0;
    PacketSteps m_totalSteps;
    PacketSteps m_fileSteps;
    TransferProgress m_bytes;
};
