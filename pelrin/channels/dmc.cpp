// Delta modulation channel: 1-bit delta samples fetched byte by byte from
// the host's memory, each fetch stealing one CPU cycle.
#include <cstring>
#include <type_traits>

#include "frame/state.h"
#include "core/segment.h"

namespace pelrin {

static const uint16_t DmcRateTable[32] = {
    428, 380, 340, 320, 286, 254, 226, 214, 190, 160, 142, 128, 106, 85, 72, 54,  // NTSC
    396, 352, 314, 296, 264, 234, 208, 198, 176, 148, 130, 118, 98,  78, 66, 50,  // PAL
};

namespace {

// The level (0 .. 127) after the shifter's low bit: two up for a one, two
// down for a zero, held where that would leave 0 .. 127. In arithmetic, not
// a table: the level after each bit waits on the one before, and an add, a
// comparison and a select are shorter than a load.
inline uint32_t LevelAfterBit(uint32_t level, uint32_t shifter) {
    const uint32_t moved = level + (shifter & 1) * 4 - 2;  // wraps past 0 to above 127
    return moved <= 127 ? moved : level;
}

}  // namespace

void BuildDmcAttenuation(DmcChannel &c) {
    static const float kFirst[9] = {1.0f,       1.0f,     0.875f,  0.869375f, 0.86375f,
                                    0.858125f, 0.8525f,  0.846875f, 0.84125f};
    static const float kSecond[7] = {0.83101565f, 0.82078123f, 0.8105469f, 0.8003125f,
                                     0.7900781f,  0.77984375f, 0.76960933f};
    for (int i = 0; i < 9; i++) c.dmcAttenuation[i] = kFirst[i];
    for (int i = 0; i < 7; i++) c.dmcAttenuation[9 + i] = kSecond[i];
    // Four linear runs, each a running double that starts at an f32 value
    // and moves by an f32 step after each stored entry.
    struct Run {
        int first;
        float start;
        float step;
    };
    static const Run kRuns[4] = {{16, 0.759375f, 0.00087890774f},
                                 {32, 0.7734375f, -0.0022558589f},
                                 {64, 0.70125f, -0.0013118442f},
                                 {96, 0.659271f, -0.0028746454f}};
    for (const Run &run : kRuns) {
        double value = run.start;
        for (int i = run.first; i < run.first + (run.first == 16 ? 16 : 32); i++) {
            c.dmcAttenuation[i] = static_cast<float>(value);
            value += static_cast<double>(run.step);
        }
    }
}

void WriteDmc(DmcChannel &c, unsigned reg, uint8_t v, uint8_t regionOffset) {
    switch (reg) {
        case 0:
            c.loop = v & 0x40;
            c.irqEnabled = v & 0x80;
            if (!(v & 0x80)) c.irqFlag = 0;
            c.period = DmcRateTable[(v & 15) | regionOffset];
            break;
        case 1: {
            uint8_t target = v & 0x7F;
            c.mixLevel = target;
            if (!c.dmcRampOption) {
                c.level = target;
            } else {
                if (target != c.level && target != c.rampTarget) c.level = c.rampTarget;
                c.rampTarget = target;
            }
            break;
        }
        case 2:
            c.startBank = static_cast<uint8_t>(4 + (v >> 6));
            c.startOffset = static_cast<uint16_t>((v & 0x3F) * 64);
            break;
        case 3:
            c.sampleLength = static_cast<uint16_t>(v * 16 + 1);
            break;
        default:
            break;
    }
}

void StartDmc(DmcChannel &c) {
    if (c.active || c.sampleLength <= 1) return;
    c.bank = c.startBank;
    c.offset = c.startOffset;
    c.bytesLeft = c.sampleLength;
    c.bitsLeft = 0;
    c.timer = 0;
    c.active = 1;
}

namespace {

inline void AddOutput(DmcChannel &c, uint64_t cycles) {
    const int64_t n = static_cast<int64_t>(cycles);
    c.output.sumLeft += c.output.levelLeft[c.level & 127] * n;
    c.output.sumRight += c.output.levelRight[c.level & 127] * n;
}

// Idle: the level holds, or ramps one unit per 100 cycles towards the last
// $4011 value when the ramp option smooths such jumps.
void IntegrateIdle(DmcChannel &c, uint32_t cycles) {
    if (!(c.dmcRampOption && c.rampTarget != c.level)) {
        AddOutput(c, cycles);
        return;
    }
    while (cycles != 0) {
        const uint32_t n = CyclesBefore(c.rampCountdown, cycles);
        AddOutput(c, n);
        c.rampCountdown -= static_cast<int32_t>(n);
        cycles -= n;
        if (c.rampCountdown <= 0) {
            c.rampCountdown = 100;
            if (c.rampTarget < c.level)
                c.level--;
            else if (c.rampTarget > c.level)
                c.level++;
            else {
                c.rampCountdown = 0;
                AddOutput(c, cycles);
                return;
            }
        }
    }
}

inline uint8_t FetchByte(const DmcChannel &c) {
    // A bank the host never set reads as 0 rather than through null.
    const uint8_t *bank = c.dmaPointers[c.bank & 7];
    return bank != nullptr ? bank[c.offset & 0xFFF] : 0;
}

}  // namespace

uint32_t IntegrateDmc(DmcChannel &c, uint32_t cycles) {
    if (!c.active) {
        IntegrateIdle(c, cycles);
        return 0;
    }
    if (c.timer > 0 && static_cast<uint32_t>(c.timer) > cycles) {
        // No bit within the run.
        AddOutput(c, cycles);
        c.timer -= static_cast<int32_t>(cycles);
        return 0;
    }
    uint32_t fetched = 0;
    while (cycles != 0) {
        const uint32_t n = CyclesBefore(c.timer, cycles);
        AddOutput(c, n);
        c.timer -= static_cast<int32_t>(n);
        cycles -= n;
        if (c.timer > 0) continue;

        c.timer = c.period;
        if (c.bitsLeft == 0) {
            if (c.bytesLeft == 0) {
                if (!c.loop) {
                    c.active = 0;
                    if (c.irqEnabled) c.irqFlag = 1;
                    c.timer = 0;
                    if (c.dmcRampOption) c.rampTarget = c.level;  // no ramp follows
                    AddOutput(c, cycles);
                    return fetched;
                }
                c.bytesLeft = c.sampleLength;
                c.bank = c.startBank;
                c.offset = c.startOffset;
            }
            c.shifter = FetchByte(c);
            fetched++;
            c.bytesLeft--;
            if (++c.offset == 4096) {
                c.offset = 0;
                c.bank = (c.bank + 1) & 7;  // $FFFF is followed by $8000
            }
            c.bitsLeft = 8;
        }
        c.level = static_cast<uint8_t>(LevelAfterBit(c.level & 127, c.shifter));
        c.bitsLeft--;
        c.shifter >>= 1;
        c.mixLevel = c.level;
    }
    return fetched;
}

}  // namespace pelrin

// Segment traits: the level holds until the next bit, or, idle, until the
// next ramp step (or for ever).
namespace pelrin {

inline bool Ramping(const DmcChannel &c) { return c.dmcRampOption && c.rampTarget != c.level; }

PELRIN_HOT_INLINE uint64_t Hold(const DmcChannel &c) {
    if (c.active) return TimerHold(c.timer);
    return Ramping(c) ? TimerHold(c.rampCountdown) : kHoldsForever;
}

PELRIN_HOT_INLINE void Advance(DmcChannel &c, uint32_t n) {
    if (c.active)
        c.timer -= static_cast<int32_t>(n);
    else if (Ramping(c))
        c.rampCountdown -= static_cast<int32_t>(n);
}

PELRIN_HOT_INLINE void Level(const DmcChannel &c, int32_t &left, int32_t &right) {
    left = c.output.levelLeft[c.level & 127];
    right = c.output.levelRight[c.level & 127];
}

// A sample rarely holds more than one bit, and seven bits in eight need no
// fetch: that case runs here without the general loop.
PELRIN_HOT_INLINE uint32_t Integrate(DmcChannel &c, uint32_t n) {
    if (c.active && c.timer > 0 && static_cast<uint32_t>(c.timer) <= n && c.bitsLeft != 0 &&
        n - static_cast<uint32_t>(c.timer) < c.period) {
        const uint32_t before = static_cast<uint32_t>(c.timer);
        AddOutput(c, before);
        c.level = static_cast<uint8_t>(LevelAfterBit(c.level & 127, c.shifter));
        c.bitsLeft--;
        c.shifter >>= 1;
        c.mixLevel = c.level;
        AddOutput(c, n - before);
        c.timer = static_cast<int32_t>(c.period - (n - before));
        return 0;
    }
    return IntegrateDmc(c, n);
}

}  // namespace pelrin

// An active DMC over a segment, its state in locals: a bit every `period`
// cycles changes the level, so nearly every sample has a change in it.
namespace pelrin {

// An active DMC's moving state over a segment.
struct DmcBits {
    uint64_t next;  // offset of the next bit
    uint32_t level, mixLevel, shifter, bitsLeft;
    uint32_t bytesLeft, bank, offset, fetched;
};

// The next byte into the shifter; false when the sample is over and does
// not loop.
inline bool FetchInto(DmcBits &s, const DmcChannel &c) {
    if (s.bytesLeft == 0) {
        if (!c.loop) return false;
        s.bytesLeft = c.sampleLength;
        s.bank = c.startBank;
        s.offset = c.startOffset;
    }
    const uint8_t *memory = c.dmaPointers[s.bank & 7];
    s.shifter = memory != nullptr ? memory[s.offset & 0xFFF] : 0;
    s.fetched++;
    s.bytesLeft--;
    if (++s.offset == 4096) {
        s.offset = 0;
        s.bank = (s.bank + 1) & 7;  // $FFFF is followed by $8000
    }
    s.bitsLeft = 8;
    return true;
}

namespace {

// The next byte's bits under a marker bit (as RunSingleBitSamples keeps
// them), or 0 when the sample is over and does not loop. Out of line: one
// bit in eight fetches.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
uint32_t RefillBits(DmcBits &s, const DmcChannel &c) {
    if (s.bytesLeft == 0 && !c.loop) return 0;
    FetchInto(s, c);
    return s.shifter | 0x100;
}

// Samples 1 .. of a segment whose bits lie further apart than its longest
// sample, the first ending at `pos`: each holds at most one bit, so its
// sums take no loop over bits. A fetch, or the end of the sample, takes the
// rare branch. Out of line and with few values, so that
// they have the registers to themselves: the mix level is the level (the
// caller sees to it that it is so from the start), and the shifter's bits
// left sit under a marker bit, which is all that is left once they are
// used. Returns the sample it stopped at: the segment's count, or one whose
// bit would end a sample that does not loop (which the general loop takes
// on). A channel centred in stereo has the same sums on both sides.
template <bool Stereo, bool Centred>
#if defined(__GNUC__)
__attribute__((noinline))
#endif
uint32_t RunSingleBitSamples(const DmcChannel &c, const Segment &seg, MixLanes &lanes, uint64_t pos, DmcBits &s) {
    // Few values in the loop, so that they keep their registers: the next
    // bit as its distance from the sample's start (the boundary before it),
    // and the whole samples' means from the segment's inverses (the products
    // of SampleMeans::Whole).
    const uint32_t samples = seg.samples;
    const uint32_t period = c.period;
    uint32_t gap = static_cast<uint32_t>(s.next - pos);  // the bit at pos (seg.end[0]) is taken: gap >= 1
    uint32_t level = s.level;
    uint32_t bits = (s.shifter & ((1u << s.bitsLeft) - 1)) | (1u << s.bitsLeft);
    // The state where the run stops, before sample k.
    const auto stop = [&](uint32_t k) {
        s.next = seg.end[k - 1] + static_cast<uint64_t>(gap);
        s.level = s.mixLevel = level;
        s.bitsLeft = 0;
        while (bits >> (s.bitsLeft + 1) != 0) s.bitsLeft++;
        s.shifter = bits ^ (1u << s.bitsLeft);
        return k;
    };
    for (uint32_t k = 1; k < samples; k++) {
        const uint32_t length = seg.end[k] - seg.end[k - 1];
        const bool has = gap <= length;
        if (has && bits == 1) [[unlikely]] {
            bits = RefillBits(s, c);
            if (bits == 0) {
                bits = 1;
                return stop(k);  // the general loop ends the sample
            }
        }
        const uint32_t before = has ? gap : length;
        const uint32_t after = LevelAfterBit(level, bits);  // both within 0 .. 127
        const int64_t sumLeft = c.output.levelLeft[level] * static_cast<int64_t>(before) +
                                c.output.levelLeft[after] * static_cast<int64_t>(length - before);
        const double inverse = seg.inverse[length - seg.shortest];
        const int32_t l = static_cast<int32_t>(static_cast<double>(sumLeft) * inverse);
        lanes.left[1][k] += l;
        if (Stereo) {
            const int64_t sumRight = c.output.levelRight[level] * static_cast<int64_t>(before) +
                                     c.output.levelRight[after] * static_cast<int64_t>(length - before);
            lanes.right[1][k] += Centred ? l : static_cast<int32_t>(static_cast<double>(sumRight) * inverse);
        }
        level = has ? after : level;
        bits = has ? bits >> 1 : bits;
        gap = gap - length + (has ? period : 0);
        lanes.dmcLevel[k] = static_cast<uint8_t>(level);
    }
    return stop(samples > 1 ? samples : 1);
}

}  // namespace

template <bool Stereo, bool Mixed>
uint32_t RunActiveDmcSegment(DmcChannel &c, Segment &seg, MixLanes &lanes) {
    LayOut(seg);
    if (Mixed) TouchLanes(lanes, seg.samples);
    lanes.dmcLevelVaries = true;
    const int16_t *tableLeft = c.output.levelLeft;
    const int16_t *tableRight = c.output.levelRight;
    int32_t *left = lanes.left[1];
    int32_t *right = lanes.right[1];
    uint8_t *levels = lanes.dmcLevel;
    constexpr uint64_t kNever = ~uint64_t{0};
    DmcBits bits{c.timer > 0 ? static_cast<uint64_t>(c.timer) : 0,
                 c.level & 127u,
                 c.mixLevel,
                 c.shifter,
                 c.bitsLeft,
                 c.bytesLeft,
                 c.bank,
                 c.offset,
                 0};
    uint64_t &next = bits.next;
    uint32_t &level = bits.level, &mixLevel = bits.mixLevel, &shifter = bits.shifter, &bitsLeft = bits.bitsLeft;
    uint32_t &bytesLeft = bits.bytesLeft, &bank = bits.bank, &offset = bits.offset, &fetched = bits.fetched;
    const uint32_t period = c.period;
    auto fetch = [&]() -> bool { return FetchInto(bits, c); };
    // The bit at `next`. A sample that runs out without looping leaves the
    // channel idle at its level for good (no ramp follows it).
    auto bit = [&] {
        next += period;
        if (bitsLeft == 0 && !fetch()) {
            c.active = 0;
            if (c.irqEnabled) c.irqFlag = 1;
            if (c.dmcRampOption) c.rampTarget = static_cast<uint8_t>(level);
            next = kNever;
            return;
        }
        level = LevelAfterBit(level, shifter);
        bitsLeft--;
        shifter >>= 1;
        mixLevel = level;
    };
    // Sums over [pos, end), taking every bit up to and including `end`.
    auto run = [&](uint64_t pos, uint64_t end, int64_t &sumLeft, int64_t &sumRight) {
        while (next <= end) {
            sumLeft += tableLeft[level & 127] * static_cast<int64_t>(next - pos);
            sumRight += tableRight[level & 127] * static_cast<int64_t>(next - pos);
            pos = next;
            bit();
        }
        sumLeft += tableLeft[level & 127] * static_cast<int64_t>(end - pos);
        sumRight += tableRight[level & 127] * static_cast<int64_t>(end - pos);
    };

    const uint32_t samples = seg.samples;
    const SampleMeans means(seg);
    uint64_t pos = 0;
    uint32_t k = 0;
    // With bits further apart than the longest sample, a sample holds at
    // most one (and while a $4011 write awaits a bit, or samples are too
    // long for the mean in one multiplication, the general loop serves).
    if (Mixed && period > seg.shortest + 1 && samples > 1 && means.fast && mixLevel == level) {
        int64_t sumLeft = c.output.sumLeft, sumRight = c.output.sumRight;
        run(0, seg.end[0], sumLeft, sumRight);
        means.Add<Stereo>(left[0], right[0], sumLeft, sumRight, 0, seg.end[0]);
        levels[0] = static_cast<uint8_t>(mixLevel);
        if (Stereo && std::memcmp(tableLeft, tableRight, sizeof c.output.levelLeft) == 0)
            k = RunSingleBitSamples<Stereo, true>(c, seg, lanes, seg.end[0], bits);
        else
            k = RunSingleBitSamples<Stereo, false>(c, seg, lanes, seg.end[0], bits);
        pos = seg.end[k - 1];
    }
    for (; k < samples; k++) {
        const uint32_t end = seg.end[k];
        if (next > end && k != 0) {
            // No bit in this sample: its level as it is.
            if (Mixed) {
                left[k] += tableLeft[level & 127];
                if (Stereo) right[k] += tableRight[level & 127];
            }
            levels[k] = static_cast<uint8_t>(mixLevel);
            pos = end;
            continue;
        }
        int64_t sumLeft = 0, sumRight = 0;
        if (k == 0) {
            sumLeft = c.output.sumLeft;
            sumRight = c.output.sumRight;
        }
        run(pos, end, sumLeft, sumRight);
        if (Mixed) means.Add<Stereo>(left[k], right[k], sumLeft, sumRight, k, end - pos);
        levels[k] = static_cast<uint8_t>(mixLevel);
        pos = end;
    }
    // The cycles after the last boundary start the next sample.
    int64_t sumLeft = 0, sumRight = 0;
    run(pos, seg.length, sumLeft, sumRight);
    c.output.sumLeft = sumLeft;
    c.output.sumRight = sumRight;
    c.level = static_cast<uint8_t>(level);
    c.mixLevel = static_cast<uint8_t>(mixLevel);
    c.shifter = static_cast<uint8_t>(shifter);
    c.bitsLeft = static_cast<uint8_t>(bitsLeft);
    c.bytesLeft = static_cast<uint16_t>(bytesLeft);
    c.bank = static_cast<uint8_t>(bank);
    c.offset = static_cast<uint16_t>(offset);
    c.timer = next == kNever ? 0 : static_cast<int32_t>(next - seg.length);
    return fetched;
}

template uint32_t RunActiveDmcSegment<true, true>(DmcChannel &, Segment &, MixLanes &);
template uint32_t RunActiveDmcSegment<true, false>(DmcChannel &, Segment &, MixLanes &);
template uint32_t RunActiveDmcSegment<false, true>(DmcChannel &, Segment &, MixLanes &);
template uint32_t RunActiveDmcSegment<false, false>(DmcChannel &, Segment &, MixLanes &);

}  // namespace pelrin
