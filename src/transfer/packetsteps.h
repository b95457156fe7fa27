#pragma once

#include <cstdint>

// One progress bar driven by packets: it runs from 0 to 100 and moves one point every
// `step` packets, where the step is a hundredth of the full blocks (0 or less: it stands
// still). CopyProgress keeps one for the file and one for the whole copy.
class PacketSteps {
public:
    // Packets per one-point step for `size` bytes in blocks of `blockSize`, truncated.
    static std::int64_t StepFor(std::int64_t size, std::int16_t blockSize);

    // Back to 0 and to the start of a step.
    void Restart();
    void SetStep(std::int64_t step) { m_step = step; }
    // Counts one packet; true when that moved the bar (to Percent()).
    bool Count();
    int Percent() const { return m_percent; }

private:
    std::int64_t m_step = 0;
    std::int64_t m_count = 0;
    int m_percent = 0;
};
