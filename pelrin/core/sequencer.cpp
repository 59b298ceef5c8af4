// Frame sequencer: the step countdown's events, the quarter- and
// half-frame clocks they give the channels, the $4017 mode write and the
// distance to the next frame interrupt.
#include <cmath>

#include "frame/state.h"

namespace pelrin {

void QuarterFrameClock(ApuState &apu) {
    ClockEnvelope(apu.pulse[0].envelope);
    ClockEnvelope(apu.pulse[1].envelope);
    ClockLinearCounter(apu.triangle);
    ClockEnvelope(apu.noise.envelope);
    if (apu.expansionChip == kChipMmc5) {
        ClockEnvelope(apu.mmc5Pulse[0].envelope);
        ClockEnvelope(apu.mmc5Pulse[1].envelope);
    }
}

void HalfFrameClock(ApuState &apu) {
    ClockPulseHalfFrame(apu.pulse[0]);
    ClockPulseHalfFrame(apu.pulse[1]);
    ClockLength(apu.triangle);
    ClockLength(apu.noise);
    if (apu.expansionChip == kChipMmc5) {
        ClockPulseHalfFrame(apu.mmc5Pulse[0]);
        ClockPulseHalfFrame(apu.mmc5Pulse[1]);
    }
}

void StepEvent(ApuState &apu) {
    apu.frameStepCountdown += apu.frameStepPeriod;
    if (apu.frameStep < apu.frameStepLimit) {
        apu.frameStep++;
        if (apu.frameStep < 4) {
            QuarterFrameClock(apu);
            if (apu.frameStep & 1) HalfFrameClock(apu);
        }
    } else {
        // Wrap: raises the frame interrupt (while enabled) and gives a
        // quarter-frame clock only.
        apu.frameIrqFlag = apu.frameIrqEnabled;
        apu.frameStep = 0;
        QuarterFrameClock(apu);
    }
}

void WriteFrameCounter(ApuState &apu, uint8_t v) {
    apu.frameStepCountdown = apu.frameStepPeriod;
    if (v & 0x80) {
        apu.frameStepLimit = 4;
        apu.frameStep = 0;
        QuarterFrameClock(apu);
    } else {
        // Step 4 above limit 3: the first event, one period on, is the wrap.
        apu.frameStepLimit = 3;
        apu.frameStep = 4;
    }
    apu.frameIrqEnabled = (v & 0x40) ? 0 : 1;
    if (v & 0x40) apu.frameIrqFlag = 0;
}

uint32_t FrameIrqDistance(ApuState &apu) {
    if (!apu.frameIrqEnabled) return 0xFFFFFFFFu;
    double cycles;
    if (apu.frameStep > apu.frameStepLimit) {
        // Left by a four-step $4017 write: the very next step is the wrap.
        cycles = std::ceil(static_cast<double>(apu.frameStepCountdown));
    } else {
        int steps = static_cast<int>(apu.frameStepLimit) - static_cast<int>(apu.frameStep);
        cycles = std::ceil(steps * static_cast<double>(apu.frameStepPeriod) +
                           static_cast<double>(apu.frameStepCountdown));
    }
    // Absurd step periods: too far away to foresee.
    if (!(cycles < 4294967296.0)) return 0xFFFFFFFFu;
    return static_cast<uint32_t>(cycles);
}

}  // namespace pelrin
