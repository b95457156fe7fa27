#include "transfer/packetsteps.h"

std::int64_t PacketSteps::StepFor(std::int64_t size, std::int16_t blockSize)
{
    return (size / blockSize) / 100;
}

void PacketSteps::Restart()
{
    m_count = 0;
    m_percent = 0;
}

bool PacketSteps::Count()
{
    if (m_step <= 0 || ++m_count != m_step)
        return false;
    m_count = 0;
    if (m_percent == 100)
        return false;
    ++m_percent;
    return true;
}
