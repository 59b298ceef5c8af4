// Power-up state. A selective reset: it clears what the hardware clears and
// keeps the registers a game programs again before it plays a note.
#include <cstring>

#include "pelrin.h"
#include "frame/instance.h"
#include "frame/state.h"

using namespace pelrin;

namespace {

void SilencePulse(PulseChannel &c) {
    c.enabled = 0;
    c.length = 0;
    c.output.sumLeft = c.output.sumRight = 0;
}

uint8_t ValidChip(int32_t chip) {
    switch (chip) {
        case 1: case 2: case 4: case 8: case 16: case 32: return static_cast<uint8_t>(chip);
        default: return kChipNone;
    }
}

}  // namespace

namespace pelrin {

int32_t Reset(ApuState &apu, int32_t chip) {
    RunDeferred(apu);
    apu.expansionChip = ValidChip(chip);
    apu.frameStepCountdown = apu.frameStepPeriod;
    RewindOutputBuffer(apu);
    apu.frameStep = 0;
    apu.frameStepLimit = 3;
    apu.frameIrqFlag = 0;
    apu.frameIrqEnabled = 1;
    apu.timestamp = 0;
    apu.sampleCountdown = apu.cyclesPerSample;

    SilencePulse(apu.pulse[0]);
    apu.pulse[0].sweepNegateExtra = 1;  // pulse 1 lowers its period by one more
    SilencePulse(apu.pulse[1]);
    apu.pulse[1].sweepNegateExtra = 0;

    TriangleChannel &t = apu.triangle;
    t.enabled = 0;
    t.length = 0;
    t.output.sumLeft = t.output.sumRight = 0;
    t.step = 0;

    NoiseChannel &n = apu.noise;
    n.enabled = 0;
    n.length = 0;
    n.output.sumLeft = n.output.sumRight = 0;
    n.shiftRegister = 1;

    DmcChannel &d = apu.dmc;
    d.level = 0;
    d.active = 0;
    d.irqFlag = 0;
    d.irqEnabled = 0;
    d.output.sumLeft = d.output.sumRight = 0;
    d.rampTarget = 64;
    d.mixLevel = 0;

    apu.sampleCycles = 0;

    for (Vrc6PulseChannel &v : apu.vrc6Pulse) {
        v.enabled = 0;
        v.output.sumLeft = v.output.sumRight = 0;
    }
    Vrc6SawChannel &saw = apu.vrc6Saw;
    saw.output.sumLeft = saw.output.sumRight = 0;
    saw.enabled = 0;
    saw.step = 0;
    saw.accumulator = 0;

    for (PulseChannel &m : apu.mmc5Pulse) {
        SilencePulse(m);
        m.muted = 1;
        m.sweepEnabled = 0;
    }
    apu.mmc5Pcm.enabled = 0;
    apu.mmc5Pcm.output.sumLeft = apu.mmc5Pcm.output.sumRight = 0;
    apu.mmc5Pcm.value = 128;

    N163State &s = apu.n163;
    for (int i = 0; i < 8; i++) {
        s.sumLeft[i] = s.sumRight[i] = 0;
        s.frequency[i] = 0;
    }
    std::memset(s.ram, 0, sizeof s.ram);
    return 0;
}

}  // namespace pelrin
