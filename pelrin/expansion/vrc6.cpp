// VRC6: two pulses with a 16-step duty sequence and a sawtooth built from
// an 8-bit accumulator.
#include "frame/state.h"
#include "core/segment.h"

namespace pelrin {

void WriteVrc6(ApuState &apu, uint16_t address, uint8_t v) {
    const unsigned unit = (address >> 12) - 9;  // $9xxx, $Axxx, $Bxxx
    const unsigned reg = address & 0x0FFF;      // exact addresses only: no mirrors
    if (unit > 2 || reg > 2) return;
    Vrc6SawChannel &saw = apu.vrc6Saw;
    Vrc6PulseChannel &pulse = apu.vrc6Pulse[unit & 1];
    uint16_t &period = unit == 2 ? saw.period : pulse.period;
    switch (reg) {
        case 0:
            if (unit == 2) {
                saw.rate = v & 0x3F;
            } else {
                pulse.volume = v & 0x0F;
                pulse.duty = (v >> 4) & 7;
                pulse.directMode = v & 0x80;
            }
            break;
        case 1:
            period = static_cast<uint16_t>((period & 0xF00) | v);
            break;
        default:
            period = static_cast<uint16_t>((period & 0xFF) | ((v & 0x0F) << 8));
            (unit == 2 ? saw.enabled : pulse.enabled) = v & 0x80;
            break;
    }
}

void IntegrateVrc6Pulse(Vrc6PulseChannel &c, uint32_t cycles) {
    if (c.period == 0 || !c.enabled) return;
    const int64_t left = c.output.levelLeft[c.volume & 15];
    const int64_t right = c.output.levelRight[c.volume & 15];
    if (c.directMode) {
        // A constant level centred on volume 8.
        c.output.sumLeft += 2 * (left - c.output.levelLeft[8]) * static_cast<int64_t>(cycles);
        c.output.sumRight += 2 * (right - c.output.levelRight[8]) * static_cast<int64_t>(cycles);
        return;
    }
    const int32_t reload = c.period + 1;
    const unsigned duty = c.duty;
    unsigned step = c.step;
    int64_t signedCycles = 0;  // high cycles minus low cycles
    c.timer = RunTimer(
        c.timer, cycles,
        [&](uint32_t n) { signedCycles += step <= duty ? static_cast<int64_t>(n) : -static_cast<int64_t>(n); },
        [&] {
            step = (step + 1) & 15;
            return reload;
        });
    c.step = static_cast<uint8_t>(step);
    c.output.sumLeft += left * signedCycles;
    c.output.sumRight += right * signedCycles;
}

void IntegrateVrc6Saw(Vrc6SawChannel &c, uint32_t cycles) {
    if (c.period == 0 || !c.enabled || cycles == 0) return;
    const int32_t reload = c.period + 1;
    unsigned step = c.step;
    unsigned acc = c.accumulator;
    int64_t left = 0, right = 0;
    c.timer = RunTimer(
        c.timer, cycles,
        [&](uint32_t n) {
            left += static_cast<int64_t>(c.output.levelLeft[acc >> 3]) * n;
            right += static_cast<int64_t>(c.output.levelRight[acc >> 3]) * n;
        },
        [&] {
            // Seven levels of two steps each; the addition entering step 14
            // is discarded by the restart.
            step++;
            if ((step & 1) == 0) acc = (acc + c.rate) & 0xFF;
            if (step >= 14) {
                step = 0;
                acc = 0;
            }
            return reload;
        });
    c.step = static_cast<uint8_t>(step);
    c.accumulator = static_cast<uint8_t>(acc);
    c.output.sumLeft += left;
    c.output.sumRight += right;
}

}  // namespace pelrin

// Segment traits: a pulse in direct mode holds its level; otherwise each
// channel holds its level until its timer expires.
namespace pelrin {

inline bool Stopped(const Vrc6PulseChannel &c) { return c.period == 0 || !c.enabled; }

// The level changes only where the step crosses between the high part
// (steps 0 .. duty) and the low part, and never at a volume whose levels
// are zero.
PELRIN_HOT_INLINE uint64_t Hold(const Vrc6PulseChannel &c) {
    if (Stopped(c) || c.directMode) return kHoldsForever;
    if (c.output.levelLeft[c.volume & 15] == 0 && c.output.levelRight[c.volume & 15] == 0) return kHoldsForever;
    const unsigned step = c.step & 15;
    const unsigned stepsToCross = step <= c.duty ? c.duty + 1u - step : 16 - step;
    const uint64_t firstExpiry = c.timer > 0 ? static_cast<uint64_t>(c.timer) : 0;
    return firstExpiry + static_cast<uint64_t>(stepsToCross - 1) * (c.period + 1u);
}

PELRIN_HOT_INLINE void Advance(Vrc6PulseChannel &c, uint32_t n) {
    if (Stopped(c) || c.directMode || n == 0) return;
    c.step = static_cast<uint8_t>((c.step + AdvanceTimer(c.timer, n, c.period + 1u)) & 15);
}

PELRIN_HOT_INLINE void Level(const Vrc6PulseChannel &c, int32_t &left, int32_t &right) {
    if (Stopped(c)) {
        left = right = 0;
    } else if (c.directMode) {
        left = 2 * (c.output.levelLeft[c.volume & 15] - c.output.levelLeft[8]);
        right = 2 * (c.output.levelRight[c.volume & 15] - c.output.levelRight[8]);
    } else {
        const bool high = c.step <= c.duty;
        left = high ? c.output.levelLeft[c.volume & 15] : -c.output.levelLeft[c.volume & 15];
        right = high ? c.output.levelRight[c.volume & 15] : -c.output.levelRight[c.volume & 15];
    }
}

PELRIN_HOT_INLINE uint32_t Integrate(Vrc6PulseChannel &c, uint32_t n) {
    IntegrateVrc6Pulse(c, n);
    return 0;
}

inline bool Stopped(const Vrc6SawChannel &c) { return c.period == 0 || !c.enabled; }

// One expiry of the saw's timer: the accumulator grows on every second
// step and restarts after the 14th.
inline void StepSaw(unsigned &step, unsigned &acc, unsigned rate) {
    step++;
    if ((step & 1) == 0) acc = (acc + rate) & 0xFF;
    if (step >= 14) {
        step = 0;
        acc = 0;
    }
}

// A running saw has a runner of its own (below); here its level holds at
// least until the next expiry.
PELRIN_HOT_INLINE uint64_t Hold(const Vrc6SawChannel &c) { return Stopped(c) ? kHoldsForever : TimerHold(c.timer); }

PELRIN_HOT_INLINE void Advance(Vrc6SawChannel &c, uint32_t n) {
    if (!Stopped(c)) c.timer -= static_cast<int32_t>(n);
}

PELRIN_HOT_INLINE void Level(const Vrc6SawChannel &c, int32_t &left, int32_t &right) {
    left = Stopped(c) ? 0 : c.output.levelLeft[c.accumulator >> 3];
    right = Stopped(c) ? 0 : c.output.levelRight[c.accumulator >> 3];
}

PELRIN_HOT_INLINE uint32_t Integrate(Vrc6SawChannel &c, uint32_t n) {
    IntegrateVrc6Saw(c, n);
    return 0;
}

}  // namespace pelrin

// A sounding pulse in step mode runs as the 2A03's does, its high part
// steps 0 .. duty.
namespace pelrin {

bool RunsPulseCrossings(const Vrc6PulseChannel &c) { return Hold(c) != kHoldsForever; }

template <bool Stereo>
void RunPulseSegment(Vrc6PulseChannel &c, Segment &seg, MixLanes &lanes) {
    const PulseWave wave{c.timer, c.step & 15u, c.duty + 1u, c.period + 1u, c.output.levelLeft[c.volume & 15],
                         c.output.levelRight[c.volume & 15]};
    RunPulseWave<Stereo>(wave, seg, lanes, c.output.sumLeft, c.output.sumRight);
    Advance(c, seg.length);
}

template void RunPulseSegment<true>(Vrc6PulseChannel &, Segment &, MixLanes &);
template void RunPulseSegment<false>(Vrc6PulseChannel &, Segment &, MixLanes &);

}  // namespace pelrin

// A running saw over a segment: its level may move at every expiry.
namespace pelrin {

bool RunsTimerWave(const Vrc6SawChannel &c) { return !Stopped(c); }

// The saw's wave: the accumulator's top five bits are the level's index.
struct SawWave {
    unsigned step;
    unsigned acc;
    unsigned rate;
    static constexpr bool kSteadySteps = true;  // odd steps leave the accumulator
    unsigned Index() const { return acc >> 3; }
    void Step() { StepSaw(step, acc, rate); }
};

template <bool Stereo, bool Mixed>
void RunTimerWaveSegment(Vrc6SawChannel &c, Segment &seg, MixLanes &lanes) {
    SawWave wave{c.step, c.accumulator, c.rate};
    RunTimerWave<Stereo, Mixed>(wave, c.timer, c.period + 1u, c.output, seg, lanes, 1);
    c.step = static_cast<uint8_t>(wave.step);
    c.accumulator = static_cast<uint8_t>(wave.acc);
}

template void RunTimerWaveSegment<true, true>(Vrc6SawChannel &, Segment &, MixLanes &);
template void RunTimerWaveSegment<true, false>(Vrc6SawChannel &, Segment &, MixLanes &);
template void RunTimerWaveSegment<false, true>(Vrc6SawChannel &, Segment &, MixLanes &);
template void RunTimerWaveSegment<false, false>(Vrc6SawChannel &, Segment &, MixLanes &);

}  // namespace pelrin
