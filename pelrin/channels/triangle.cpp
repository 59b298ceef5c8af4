// Triangle: a 32-step wave whose shape is the level table itself, gated by
// a length counter and a linear counter.
#include "frame/state.h"
#include "core/segment.h"

namespace pelrin {

void WriteTriangle(TriangleChannel &c, unsigned reg, uint8_t v) {
    switch (reg) {
        case 0:
            c.linearReload = v & 0x7F;
            c.control = v & 0x80;
            c.lengthCounting = (v & 0x80) ? 0 : 1;
            if (!c.linearActive) c.linearCounter = c.linearReload;
            break;
        case 2:
            c.period = static_cast<uint16_t>((c.period & 0x700) | v);
            break;
        case 3:
            c.period = static_cast<uint16_t>((c.period & 0xFF) | ((v & 7) << 8));
            if (c.enabled) c.length = LengthTable[v >> 3];
            c.linearActive = 0;
            if (!c.control) c.linearStartPending = 1;
            c.linearCounter = c.linearReload;
            break;
        default:
            break;
    }
}

void ClockLinearCounter(TriangleChannel &c) {
    if (c.linearStartPending && !c.control) {
        c.linearStartPending = 0;
        c.linearActive = 1;
    }
    if (c.linearActive && c.linearCounter) c.linearCounter--;
}

void IntegrateTriangle(TriangleChannel &c, uint32_t cycles) {
    if (c.length == 0 || c.linearCounter == 0 || c.period < 8) {
        // Gated off or too short a period: the wave holds its current level.
        c.output.sumLeft += static_cast<int64_t>(c.output.levelLeft[c.step & 31]) * cycles;
        c.output.sumRight += static_cast<int64_t>(c.output.levelRight[c.step & 31]) * cycles;
        return;
    }
    if (c.timer > 0 && static_cast<uint32_t>(c.timer) > cycles) {
        // No step within the run.
        c.timer -= static_cast<int32_t>(cycles);
        c.output.sumLeft += static_cast<int64_t>(c.output.levelLeft[c.step & 31]) * cycles;
        c.output.sumRight += static_cast<int64_t>(c.output.levelRight[c.step & 31]) * cycles;
        return;
    }
    const int32_t reload = c.period + 1;
    unsigned step = c.step & 31;
    int64_t left = 0, right = 0;
    c.timer = RunTimer(
        c.timer, cycles,
        [&](uint32_t n) {
            left += static_cast<int64_t>(c.output.levelLeft[step]) * n;
            right += static_cast<int64_t>(c.output.levelRight[step]) * n;
        },
        [&] {
            step = (step + 1) & 31;
            return reload;
        });
    c.step = static_cast<uint8_t>(step);
    c.output.sumLeft += left;
    c.output.sumRight += right;
}

}  // namespace pelrin

// Segment traits: a gated triangle holds its level and its timer; a running
// one holds its level until its timer expires.
namespace pelrin {

inline bool Gated(const TriangleChannel &c) { return c.length == 0 || c.linearCounter == 0 || c.period < 8; }

PELRIN_HOT_INLINE uint64_t Hold(const TriangleChannel &c) { return Gated(c) ? kHoldsForever : TimerHold(c.timer); }

PELRIN_HOT_INLINE void Advance(TriangleChannel &c, uint32_t n) {
    if (!Gated(c)) c.timer -= static_cast<int32_t>(n);
}

PELRIN_HOT_INLINE void Level(const TriangleChannel &c, int32_t &left, int32_t &right) {
    left = c.output.levelLeft[c.step & 31];
    right = c.output.levelRight[c.step & 31];
}

PELRIN_HOT_INLINE uint32_t Integrate(TriangleChannel &c, uint32_t n) {
    IntegrateTriangle(c, n);
    return 0;
}

}  // namespace pelrin

// A running triangle over a segment: its level moves at nearly every step.
namespace pelrin {

bool RunsTimerWave(const TriangleChannel &c) { return !Gated(c); }

// The triangle's wave: its step is the level's index and moves on by one.
struct TriangleWave {
    static constexpr bool kSteadySteps = false;  // (two steps repeat a level; not worth a look ahead)
    uint32_t step;
    uint32_t Index() const { return step; }
    void Step() { step = (step + 1) & 31; }
};

template <bool Stereo, bool Mixed>
void RunTimerWaveSegment(TriangleChannel &c, Segment &seg, MixLanes &lanes) {
    TriangleWave wave{c.step & 31u};
    RunTimerWave<Stereo, Mixed>(wave, c.timer, c.period + 1u, c.output, seg, lanes, 0);
    c.step = static_cast<uint8_t>(wave.step);
}

template void RunTimerWaveSegment<true, true>(TriangleChannel &, Segment &, MixLanes &);
template void RunTimerWaveSegment<true, false>(TriangleChannel &, Segment &, MixLanes &);
template void RunTimerWaveSegment<false, true>(TriangleChannel &, Segment &, MixLanes &);
template void RunTimerWaveSegment<false, false>(TriangleChannel &, Segment &, MixLanes &);

}  // namespace pelrin
