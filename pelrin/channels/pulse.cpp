// Pulse channel: 11-bit timer walking a 16-step duty sequence, envelope,
// length counter and sweep. Serves the two 2A03 pulses and the MMC5 pulses.
#include "frame/state.h"
#include "core/segment.h"

namespace pelrin {

const uint8_t LengthTable[32] = {10, 254, 20, 2,  40, 4,  80, 6,  160, 8,  60, 10, 14, 12, 28, 14,
                                 12, 16,  24, 18, 48, 20, 96, 22, 192, 24, 72, 26, 16, 28, 32, 30};

static const uint8_t DutyTable[4] = {2, 4, 8, 12};

void UpdateSweepMute(PulseChannel &c) {
    if (c.period < 8)
        c.muted = 1;
    else if (c.sweepNegate)
        c.muted = 0;
    else  // muted even with the sweep off when its target would leave 11 bits
        c.muted = (c.period + (c.period >> c.sweepShift)) >= 0x800 ? 1 : 0;
}

void WritePulseControl(PulseChannel &c, uint8_t v) {
    c.dutySteps = DutyTable[v >> 6];
    WriteEnvelopeControl(c, v);
}

void WritePulseLengthAndHighPeriod(PulseChannel &c, uint8_t v) {
    c.period = static_cast<uint16_t>((c.period & 0xFF) | ((v & 7) << 8));
    if (c.enabled) c.length = LengthTable[v >> 3];
    c.envelope.decay = 15;
    if (c.envelope.mode == 1) c.envelope.volume = 15;
}

void WritePulse(PulseChannel &c, unsigned reg, uint8_t v) {
    switch (reg) {
        case 0:
            WritePulseControl(c, v);
            break;
        case 1:
            c.sweepShift = v & 7;
            c.sweepEnabled = v & 0x80;
            c.sweepNegate = v & 0x08;
            c.sweepPeriod = (v >> 4) & 7;
            UpdateSweepMute(c);
            break;
        case 2:
            c.period = static_cast<uint16_t>((c.period & 0x700) | v);
            UpdateSweepMute(c);
            break;
        default:
            WritePulseLengthAndHighPeriod(c, v);
            UpdateSweepMute(c);
            break;
    }
}

void ClockPulseHalfFrame(PulseChannel &c) {
    if (c.length == 0) return;
    if (c.lengthCounting) c.length--;
    // A channel whose length just ran out still sweeps on this clock.
    if (!c.sweepEnabled || c.muted || c.sweepShift == 0) return;
    if (c.sweepDivider != 0) {
        c.sweepDivider--;
        return;
    }
    c.sweepDivider = c.sweepPeriod;
    uint16_t delta = static_cast<uint16_t>(c.period >> c.sweepShift);
    if (c.sweepNegate)
        c.period = static_cast<uint16_t>(c.period - delta - c.sweepNegateExtra);
    else
        c.period = static_cast<uint16_t>(c.period + delta);
    UpdateSweepMute(c);
}

void IntegratePulse(PulseChannel &c, uint32_t cycles) {
    if (c.muted || c.length == 0 || cycles == 0) return;
    const int64_t left = c.output.levelLeft[c.envelope.volume & 15];
    const int64_t right = c.output.levelRight[c.envelope.volume & 15];
    const unsigned high = c.dutySteps;
    if (c.timer > 0 && static_cast<uint32_t>(c.timer) > cycles) {
        // No step within the run.
        c.timer -= static_cast<int32_t>(cycles);
        const int64_t signedCycles = c.step < high ? static_cast<int64_t>(cycles) : -static_cast<int64_t>(cycles);
        c.output.sumLeft += left * signedCycles;
        c.output.sumRight += right * signedCycles;
        return;
    }
    const int32_t reload = c.period + 1;
    unsigned step = c.step;
    int64_t signedCycles = 0;  // high cycles minus low cycles
    c.timer = RunTimer(
        c.timer, cycles,
        [&](uint32_t n) { signedCycles += step < high ? static_cast<int64_t>(n) : -static_cast<int64_t>(n); },
        [&] {
            step = (step + 1) & 15;
            return reload;
        });
    c.step = static_cast<uint8_t>(step);
    c.output.sumLeft += left * signedCycles;
    c.output.sumRight += right * signedCycles;
}

}  // namespace pelrin

// Segment traits. The level changes only when the step crosses between the
// high and low parts of the duty sequence, so a stretch is quiet up to the
// expiry that makes that crossing.
namespace pelrin {

inline bool Silent(const PulseChannel &c) { return c.muted || c.length == 0; }

// Silent, or sounding at a volume whose levels are zero on both sides: the
// level then holds whatever the duty step does.
inline bool Quiet(const PulseChannel &c) {
    return Silent(c) ||
           (c.output.levelLeft[c.envelope.volume & 15] == 0 && c.output.levelRight[c.envelope.volume & 15] == 0);
}

PELRIN_HOT_INLINE uint64_t Hold(const PulseChannel &c) {
    if (Quiet(c)) return kHoldsForever;
    const unsigned step = c.step & 15;
    const unsigned stepsToCross = step < c.dutySteps ? c.dutySteps - step : 16 - step;
    const uint64_t firstExpiry = c.timer > 0 ? static_cast<uint64_t>(c.timer) : 0;
    return firstExpiry + static_cast<uint64_t>(stepsToCross - 1) * (c.period + 1u);
}

PELRIN_HOT_INLINE void Advance(PulseChannel &c, uint32_t n) {
    if (Silent(c) || n == 0) return;
    c.step = static_cast<uint8_t>((c.step + AdvanceTimer(c.timer, n, c.period + 1u)) & 15);
}

PELRIN_HOT_INLINE void Level(const PulseChannel &c, int32_t &left, int32_t &right) {
    if (Silent(c)) {
        left = right = 0;
        return;
    }
    const bool high = c.step < c.dutySteps;
    left = high ? c.output.levelLeft[c.envelope.volume & 15] : -c.output.levelLeft[c.envelope.volume & 15];
    right = high ? c.output.levelRight[c.envelope.volume & 15] : -c.output.levelRight[c.envelope.volume & 15];
}

PELRIN_HOT_INLINE uint32_t Integrate(PulseChannel &c, uint32_t n) {
    IntegratePulse(c, n);
    return 0;
}

}  // namespace pelrin

// A pulse wave over a segment, its state in locals: the level is plus or
// minus one value and flips only where the step crosses between the high
// and low parts of the 16-step sequence, so a sample's sum is that value
// times its high cycles less its low ones.
namespace pelrin {

bool RunsPulseCrossings(const PulseChannel &c) { return !Quiet(c); }

template <bool Stereo>
void RunPulseWave(const PulseWave &w, Segment &seg, MixLanes &lanes, Sum &carriedLeft, Sum &carriedRight) {
    LayOut(seg);
    TouchLanes(lanes, seg.samples);
    const int64_t levelLeft = w.levelLeft, levelRight = w.levelRight;
    int32_t *left = lanes.left[1];
    int32_t *right = lanes.right[1];
    const uint64_t reload = w.reload;
    const uint64_t highSpan = w.highSteps * reload, lowSpan = (16 - w.highSteps) * reload;
    bool high = w.step < w.highSteps;
    // Offset of the next expiry that flips the level.
    uint64_t cross = (w.timer > 0 ? static_cast<uint64_t>(w.timer) : 0) +
                     static_cast<uint64_t>((high ? w.highSteps - w.step : 16 - w.step) - 1) * reload;

    // High cycles less low ones over [pos, end), flipping at every crossing
    // up to and including `end`.
    auto run = [&](uint64_t pos, uint64_t end) {
        int64_t signedCycles = 0;
        while (cross <= end) {
            signedCycles += high ? static_cast<int64_t>(cross - pos) : -static_cast<int64_t>(cross - pos);
            pos = cross;
            high = !high;
            cross += high ? highSpan : lowSpan;
        }
        return signedCycles + (high ? static_cast<int64_t>(end - pos) : -static_cast<int64_t>(end - pos));
    };

    const uint32_t samples = seg.samples;
    const SampleMeans means(seg);
    uint64_t pos = 0;
    for (uint32_t k = 0; k < samples; k++) {
        if (k != 0 && cross >= seg.end[k]) {
            // The samples up to the crossing hold the level.
            const uint32_t from = k;
            k = FirstBoundaryAfter(seg, cross, k + 1);
            const int32_t sign = high ? 1 : -1;
            AddHeld<Stereo>(left, right, from, k, sign * static_cast<int32_t>(levelLeft),
                            sign * static_cast<int32_t>(levelRight));
            pos = seg.end[k - 1];
            if (k == samples) break;
        }
        const uint32_t end = seg.end[k];
        const int64_t signedCycles = run(pos, end);
        int64_t sumLeft = levelLeft * signedCycles, sumRight = levelRight * signedCycles;
        if (k == 0) {
            sumLeft += carriedLeft;
            sumRight += carriedRight;
        }
        means.Add<Stereo>(left[k], right[k], sumLeft, sumRight, k, end - pos);
        pos = end;
    }
    // The cycles after the last boundary start the next sample.
    const int64_t signedCycles = run(pos, seg.length);
    carriedLeft = levelLeft * signedCycles;
    carriedRight = levelRight * signedCycles;
}

template void RunPulseWave<true>(const PulseWave &, Segment &, MixLanes &, Sum &, Sum &);
template void RunPulseWave<false>(const PulseWave &, Segment &, MixLanes &, Sum &, Sum &);

template <bool Stereo>
void RunPulseSegment(PulseChannel &c, Segment &seg, MixLanes &lanes) {
    const PulseWave wave{c.timer, c.step & 15u, c.dutySteps, c.period + 1u,
                         c.output.levelLeft[c.envelope.volume & 15], c.output.levelRight[c.envelope.volume & 15]};
    RunPulseWave<Stereo>(wave, seg, lanes, c.output.sumLeft, c.output.sumRight);
    Advance(c, seg.length);
}

template void RunPulseSegment<true>(PulseChannel &, Segment &, MixLanes &);
template void RunPulseSegment<false>(PulseChannel &, Segment &, MixLanes &);

}  // namespace pelrin
