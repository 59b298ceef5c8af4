#include "support.h"

namespace pelrin::test {

void LoadFresh() { apu = ApuState{}; }

void Unit::SetUp() { Start(0); }

void Unit::Start(int chip) {
    LoadFresh();
    APU_Initialize();
    APU_SetOutputBuffer(buffer.data(), static_cast<uint32_t>(buffer.size()));
    APU_Reset(chip);
}

std::vector<int16_t> Unit::Samples(uint32_t cycle) {
    APU_RunToCycle(cycle);
    uint32_t bytes = APU_GetWrittenBufferSize(1);
    std::vector<int16_t> out(bytes / 2);
    for (size_t i = 0; i < out.size(); i++)
        out[i] = static_cast<int16_t>(buffer[2 * i] | (buffer[2 * i + 1] << 8));
    return out;
}

void Unit::OneSamplePerCycle() {
    APU_SetEnvironment(-1, 1000000.0f, -1.0f);
    APU_SetOutputFormat(1000000, 16, 1);
    apu.sampleCountdown = apu.cyclesPerSample;
}

}  // namespace pelrin::test
