// Frame sequencer: the step countdown's events, the quarter- and
// half-frame clocks they give the channels, the $4017 mode write and the
// distance to the next frame interrupt.
#include <cmath>

#include "frame/state.h"

namespace pelrin {

namespace {

// The records the frame clocks act on: the 2A03's pulses, then the MMC5's
// where that chip is in, the triangle and the noise. Noise: the noise's
// record, or (QuietSteps) a copy of its envelope and length counter.
template <typename Noise>
struct Clocked {
    PulseChannel *pulse[4];
    int pulses;
    TriangleChannel *triangle;
    Noise *noise;
};

Clocked<NoiseChannel> ClockedOf(ApuState &apu) {
    const bool mmc5 = apu.expansionChip == kChipMmc5;
    return {{&apu.pulse[0], &apu.pulse[1], &apu.mmc5Pulse[0], &apu.mmc5Pulse[1]},
            mmc5 ? 4 : 2,
            &apu.triangle,
            &apu.noise};
}

template <typename Noise>
void ClockQuarter(const Clocked<Noise> &c) {
    for (int i = 0; i < c.pulses; i++) ClockEnvelope(c.pulse[i]->envelope);
    ClockLinearCounter(*c.triangle);
    ClockEnvelope(c.noise->envelope);
}

template <typename Noise>
void ClockHalf(const Clocked<Noise> &c) {
    for (int i = 0; i < c.pulses; i++) ClockPulseHalfFrame(*c.pulse[i]);
    ClockLength(*c.triangle);
    ClockLength(*c.noise);
}

enum : unsigned { kQuarterClock = 1, kHalfClock = 2, kWrapStep = 4 };

// Moves the step on by one; returns the clocks that step gives.
unsigned NextStep(uint8_t &step, uint8_t limit) {
    if (step < limit) {
        step++;
        if (step >= 4) return 0;
        return kQuarterClock | ((step & 1) ? kHalfClock : 0u);
    }
    // Wrap: raises the frame interrupt (while enabled) and gives a
    // quarter-frame clock only.
    step = 0;
    return kWrapStep | kQuarterClock;
}

template <typename Noise>
void Clock(const Clocked<Noise> &c, unsigned clocks) {
    if (clocks & kQuarterClock) ClockQuarter(c);
    if (clocks & kHalfClock) ClockHalf(c);
}

// What the clocks can change of how the channels sound: whether each
// sounds, its volume, and a pulse's period (the sweep moves it). The
// runners read nothing else that the clocks write.
struct Audible {
    uint16_t pulse[4][3];
    uint8_t triangleGated;
    uint8_t noise[2];
    bool operator==(const Audible &) const = default;
};

template <typename Noise>
Audible AudibleOf(const Clocked<Noise> &c) {
    Audible a{};
    for (int i = 0; i < c.pulses; i++) {
        const PulseChannel &p = *c.pulse[i];
        a.pulse[i][0] = p.muted != 0 || p.length == 0;
        a.pulse[i][1] = p.envelope.volume;
        a.pulse[i][2] = p.period;
    }
    const TriangleChannel &t = *c.triangle;
    a.triangleGated = t.length == 0 || t.linearCounter == 0 || t.period < 8;
    a.noise[0] = c.noise->length == 0;
    a.noise[1] = c.noise->envelope.volume;
    return a;
}

// The noise's part in the clocks.
struct NoiseClocked {
    Envelope envelope;
    uint8_t lengthCounting;
    uint8_t length;
};

// Whether no clock can change what the channels sound, at this step or
// any later one: volumes constant, lengths not counting (or run out),
// sweeps off, the triangle's linear counter still. The common case of a
// music engine that sets each channel's volume itself.
bool NeverHeard(const ApuState &apu) {
    const PulseChannel *pulse[4] = {&apu.pulse[0], &apu.pulse[1], &apu.mmc5Pulse[0], &apu.mmc5Pulse[1]};
    for (int i = 0; i < (apu.expansionChip == kChipMmc5 ? 4 : 2); i++) {
        const PulseChannel &p = *pulse[i];
        const bool sweeps = p.sweepEnabled && !p.muted && p.sweepShift != 0;
        if (p.envelope.mode != 0 || (p.lengthCounting && p.length != 0) || sweeps) return false;
    }
    const NoiseChannel &n = apu.noise;
    if (n.envelope.mode != 0 || (n.lengthCounting && n.length != 0)) return false;
    const TriangleChannel &t = apu.triangle;
    const bool linearMoves = t.linearCounter != 0 && (t.linearActive || (t.linearStartPending && !t.control));
    return !(t.lengthCounting && t.length != 0) && !linearMoves;
}

}  // namespace

void QuarterFrameClock(ApuState &apu) { ClockQuarter(ClockedOf(apu)); }

void StepEvent(ApuState &apu) {
    apu.frameStepCountdown += apu.frameStepPeriod;
    const unsigned clocks = NextStep(apu.frameStep, apu.frameStepLimit);
    if (clocks & kWrapStep) apu.frameIrqFlag = apu.frameIrqEnabled;
    Clock(ClockedOf(apu), clocks);
}

uint32_t QuietSteps(const ApuState &apu, uint32_t most) {
    if (NeverHeard(apu)) return most;
    const int pulses = apu.expansionChip == kChipMmc5 ? 4 : 2;
    PulseChannel pulse[4];
    pulse[0] = apu.pulse[0];
    pulse[1] = apu.pulse[1];
    if (pulses == 4) {
        pulse[2] = apu.mmc5Pulse[0];
        pulse[3] = apu.mmc5Pulse[1];
    }
    TriangleChannel triangle = apu.triangle;
    NoiseClocked noise{apu.noise.envelope, apu.noise.lengthCounting, apu.noise.length};
    const Clocked<NoiseClocked> copy{{&pulse[0], &pulse[1], &pulse[2], &pulse[3]}, pulses, &triangle, &noise};
    const Audible before = AudibleOf(copy);
    uint8_t step = apu.frameStep;
    uint32_t quiet = 0;
    for (; quiet < most; quiet++) {
        Clock(copy, NextStep(step, apu.frameStepLimit));
        if (!(AudibleOf(copy) == before)) break;
    }
    return quiet;
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
