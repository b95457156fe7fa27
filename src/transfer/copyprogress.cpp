#include "transfer/copyprogress.h"

CopyProgress::CopyProgress(TransferView& view, std::function<void(qint64)> showPackets)
    : m_view(view), m_showPackets(std::move(showPackets))
{
}

void CopyProgress::RestartCopy()
{
    m_packets = 0;
    m_showPackets(0);
    m_totalSteps.Restart();
    m_view.SetTotalProgress(0);
    m_bytes.totalBytes = 0;
}

void CopyProgress::SetCopy(int fileCount, qint64 totalSize, std::int16_t blockSize)
{
    m_bytes.fileCount = fileCount;
    m_bytes.totalSize = totalSize;
    m_totalSteps.SetStep(PacketSteps::StepFor(totalSize, blockSize));
}

void CopyProgress::RestartFile(int number, qint64 size)
{
    m_fileSteps.Restart();
    m_view.SetFileProgress(0);
    m_bytes.fileNumber = number;
    m_bytes.fileSize = size;
    m_bytes.fileBytes = 0;
}

void CopyProgress::SetFileStep(std::int16_t blockSize)
{
    m_fileSteps.SetStep(PacketSteps::StepFor(m_bytes.fileSize, blockSize));
}

void CopyProgress::AddBytes(qint64 count)
{
    m_bytes.fileBytes += count;
    m_bytes.totalBytes += count;
}

void CopyProgress::CountPacket()
{
    ++m_packets;
    m_showPackets(m_packets);
    if (m_totalSteps.Count())
        m_view.SetTotalProgress(m_totalSteps.Percent());
    if (m_fileSteps.Count())
        m_view.SetFileProgress(m_fileSteps.Percent());
}

void CopyProgress::Show() const
{
    m_view.ShowProgress(m_bytes);
}
