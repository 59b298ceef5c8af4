// The run loop: cuts a span of CPU cycles into slices that end at the next
// frame-sequencer step or output-sample boundary and runs every channel over
// each slice.
#include <cmath>

#include "pelrin.h"
#include "frame/state.h"

using namespace pelrin;

namespace pelrin {

namespace {

// Runs every integrator over one slice; returns the DMC's fetched bytes.
// The integrators are inlined here (the library is one translation unit):
// a slice is usually one sample long and most of them add one level.
#if defined(__GNUC__)
__attribute__((flatten))
#endif
uint32_t IntegrateSlice(uint32_t n) {
    IntegratePulse(apu.pulse[0], n);
    IntegratePulse(apu.pulse[1], n);
    IntegrateTriangle(apu.triangle, n);
    IntegrateNoise(apu.noise, n);
    uint32_t fetched = IntegrateDmc(apu.dmc, n);
    switch (apu.expansionChip) {
        case kChipVrc6:
            IntegrateVrc6Pulse(apu.vrc6Pulse[0], n);
            IntegrateVrc6Pulse(apu.vrc6Pulse[1], n);
            IntegrateVrc6Saw(apu.vrc6Saw, n);
            break;
        case kChipMmc5:
            IntegratePulse(apu.mmc5Pulse[0], n);
            IntegratePulse(apu.mmc5Pulse[1], n);
            IntegrateMmc5Pcm(apu.mmc5Pcm, n);
            break;
        case kChipN163:
            IntegrateN163(apu.n163, n);
            break;
        default:
            break;
    }
    return fetched;
}

}  // namespace
}  // namespace pelrin

extern "C" PELRIN_API uint32_t PELRIN_CALL APU_RunToCycle(uint32_t cycle) {
    uint32_t span = cycle - apu.timestamp;
    // A cycle before the timestamp (an unsigned span of 2^31 or more) runs
    // nothing: the host asked for the past, not for 2^32 cycles of future.
    if (span == 0 || span >= 0x80000000u) return 0;
    apu.timestamp = cycle;

    uint32_t stallTotal = 0;
    uint64_t remaining = span;
    while (remaining != 0) {
        // Whole ceiling of the nearer countdown, compared before converting
        // so that no huge countdown overflows the integer.
        float nearest = apu.frameStepCountdown < apu.sampleCountdown ? apu.frameStepCountdown
                                                                     : apu.sampleCountdown;
        uint32_t n;
        if (nearest > -2147483648.0f && nearest < 2147483648.0f) {
            // The ceiling in integers: truncate, then step up past a fraction.
            int64_t whole = static_cast<int32_t>(nearest);
            if (static_cast<float>(whole) < nearest) whole++;
            if (whole < static_cast<int64_t>(remaining))
                n = whole >= 1 ? static_cast<uint32_t>(whole) : 1;
            else
                n = static_cast<uint32_t>(remaining > 0xFFFFFFFFu ? 0xFFFFFFFFu : remaining);
        } else {
            double whole = std::ceil(static_cast<double>(nearest));
            if (whole < static_cast<double>(remaining))
                n = whole >= 1.0 ? static_cast<uint32_t>(whole) : 1;
            else
                n = static_cast<uint32_t>(remaining > 0xFFFFFFFFu ? 0xFFFFFFFFu : remaining);
        }

        uint32_t fetched = IntegrateSlice(n);
        if (fetched != 0) {
            apu.timestamp += fetched;
            stallTotal += fetched;
            remaining += fetched;
        }
        apu.sampleCycles += n;

        apu.frameStepCountdown -= static_cast<float>(n);
        if (apu.frameStepCountdown <= 0.0f) StepEvent();
        apu.sampleCountdown -= static_cast<float>(n);
        if (apu.sampleCountdown <= 0.0f) {
            apu.sampleCountdown += apu.cyclesPerSample;
            MixSample();
        }
        remaining -= n;
    }
    return stallTotal;
}
