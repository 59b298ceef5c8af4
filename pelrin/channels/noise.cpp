// Noise: a volume gated on and off by a 16-bit pseudo-random shift register.
#include "frame/state.h"
#include "core/segment.h"

#include <type_traits>

namespace pelrin {

static const uint16_t NoisePeriodTable[16] = {6,   10,  18,  34,  66,  98,   130,  162,
                                              204, 256, 382, 510, 764, 1018, 2036, 4070};

void WriteNoise(NoiseChannel &c, unsigned reg, uint8_t v) {
    switch (reg) {
        case 0:
            WriteEnvelopeControl(c, v);
            break;
        case 2:
            c.period = NoisePeriodTable[v & 15];
            c.tapShift = (v & 0x80) ? 6 : 1;
            break;
        case 3:
            if (c.enabled) c.length = LengthTable[v >> 3];
            c.envelope.decay = 15;
            if (c.envelope.mode == 1) c.envelope.volume = 15;
            break;
        default:
            break;
    }
}

namespace {

// Shifts the register m times at once, m <= 15 - tap: each new low bit is
// bit 14 xor bit 14 - tap of the register before its shift, and for that
// many shifts both bits are still bits of the starting register, so the m
// new bits are bits 14 - tap - j of reg ^ (reg >> tap), j = 0 .. m - 1.
// Ones among the low 16 bits.
inline unsigned CountOnes(unsigned v) {
    v = v - ((v >> 1) & 0x5555);
    v = (v & 0x3333) + ((v >> 2) & 0x3333);
    v = (v + (v >> 4)) & 0x0F0F;
    return (v + (v >> 8)) & 0x1F;
}

inline unsigned ShiftMany(unsigned reg, unsigned tap, unsigned m) {
    const unsigned feedback = ((reg ^ (reg >> tap)) >> (15 - tap - m)) & ((1u << m) - 1);
    return ((reg << m) | feedback) & 0xFFFF;
}

// x / c.period for x < 2^31 as x * m >> s, m = ceil(2^s / period),
// s = 31 + ceil(log2 period). Exact: with e = m * period - 2^s < period, the
// product adds x * e / (period * 2^s) < 2^-ceil(log2 period) <= 1 / period to
// x / period, whose fraction is at most (period - 1) / period, so the floor
// stays. m < 2^32, so x * m fits 64 bits.
constexpr uint64_t kReciprocalRange = uint64_t{1} << 31;

inline void UpdateReciprocal(NoiseChannel &c) {
    if (c.reciprocalOf == c.period) return;
    unsigned log = 0;
    while ((1u << log) < c.period) log++;
    c.reciprocalShift = static_cast<uint8_t>(31 + log);
    c.reciprocal = static_cast<uint32_t>(((uint64_t{1} << c.reciprocalShift) + c.period - 1) / c.period);
    c.reciprocalOf = c.period;
}

inline uint64_t DivideShort(NoiseChannel &c, uint32_t x) {
    UpdateReciprocal(c);
    return (static_cast<uint64_t>(x) * c.reciprocal) >> c.reciprocalShift;
}

}  // namespace

// The timer expires first after max(timer, 0) cycles, then every `period`
// cycles; each expiry shifts the register and the output bit becomes the
// inverse of bit 15. Counted in closed form: the cycles before the first
// expiry sound with the old bit, each full period with the bit of its
// shift, the rest after the last expiry with the last bit. The bits of up
// to 15 - tap shifts at a time are the inverted bits 14 .. 15 - m of the
// register before them.
void IntegrateNoise(NoiseChannel &c, uint32_t cycles) {
    // A period never written (0) would shift forever without time passing:
    // the channel stays frozen until $400E gives it one.
    if (c.length == 0 || cycles == 0 || c.period == 0) return;
    const int64_t period = c.period;
    const unsigned tap = c.tapShift;
    const int64_t first = c.timer > 0 ? c.timer : 0;
    uint64_t sounding;
    if (first > static_cast<int64_t>(cycles)) {
        sounding = c.outputBit ? cycles : 0;
        c.timer -= static_cast<int32_t>(cycles);
    } else {
        const uint32_t after = cycles - static_cast<uint32_t>(first);  // cycles after the first expiry
        const uint32_t period32 = static_cast<uint32_t>(period);
        uint64_t expiries = 1;
        if (after >= period32) expiries += after < kReciprocalRange ? DivideShort(c, after) : after / period32;
        sounding = c.outputBit ? static_cast<uint64_t>(first) : 0;
        unsigned reg = c.shiftRegister;
        uint64_t ones = 0;  // sounding bits after each of the shifts
        for (uint64_t left = expiries; left != 0;) {
            const unsigned m = left < 15 - tap ? static_cast<unsigned>(left) : 15 - tap;
            const unsigned bits = (reg >> (15 - m)) & ((1u << m) - 1);  // bits 14 .. 15 - m
            ones += m - CountOnes(bits);
            reg = ShiftMany(reg, tap, m);
            left -= m;
        }
        const unsigned out = (reg & 0x8000) ? 0 : 1;
        const int64_t end = first + static_cast<int64_t>(expiries) * period;  // next expiry
        const uint64_t last = static_cast<uint64_t>(static_cast<int64_t>(cycles) - (end - period));
        sounding += static_cast<uint64_t>(period) * (ones - out) + (out ? last : 0);
        c.timer = static_cast<int32_t>(end - static_cast<int64_t>(cycles));
        c.shiftRegister = static_cast<uint16_t>(reg);
        c.outputBit = static_cast<uint8_t>(out);
    }
    const int64_t n = static_cast<int64_t>(sounding);
    c.output.sumLeft += c.output.levelLeft[c.envelope.volume & 15] * n;
    c.output.sumRight += c.output.levelRight[c.envelope.volume & 15] * n;
}

}  // namespace pelrin

// Segment traits: the output bit holds until the timer expires.
namespace pelrin {

inline bool Frozen(const NoiseChannel &c) { return c.length == 0 || c.period == 0; }

PELRIN_HOT_INLINE uint64_t Hold(const NoiseChannel &c) { return Frozen(c) ? kHoldsForever : TimerHold(c.timer); }

PELRIN_HOT_INLINE void Advance(NoiseChannel &c, uint32_t n) {
    if (!Frozen(c)) c.timer -= static_cast<int32_t>(n);
}

PELRIN_HOT_INLINE void Level(const NoiseChannel &c, int32_t &left, int32_t &right) {
    const bool sounding = !Frozen(c) && c.outputBit;
    left = sounding ? c.output.levelLeft[c.envelope.volume & 15] : 0;
    right = sounding ? c.output.levelRight[c.envelope.volume & 15] : 0;
}

PELRIN_HOT_INLINE uint32_t Integrate(NoiseChannel &c, uint32_t n) {
    IntegrateNoise(c, n);
    return 0;
}

}  // namespace pelrin

// The register's low 15 bits (bit 15 is only the bit shifted out) walk
// fixed cycles: in the long mode one through all 32767 non-zero values, in
// the short mode 352 of 93 values and one of 31; zero stays zero. With the
// cycles laid out once per mode, the sounding bits among any run of shifts
// are a difference of two running counts, and the register after them is
// a table entry.
namespace pelrin {

namespace {

constexpr uint32_t kNoiseValues = 32768;
constexpr uint32_t kMaxNoiseCycles = 512;

struct NoiseCycles {
    // Each cycle in shift order, one after another; `onesAndBit` has one
    // more entry per cycle: in its low 16 bits the sounding bits after the
    // shifts from the values before index i of the cycle, counted from its
    // start, and in bit 31 the bit sounding after index i's own shift (both
    // in one load; the top bit gives its mask in one arithmetic shift).
    uint16_t value[kNoiseValues];
    uint32_t onesAndBit[kNoiseValues + kMaxNoiseCycles];
    uint16_t index[kNoiseValues];  // where each value sits in `value`
    uint16_t cycleStart[kMaxNoiseCycles];
    uint32_t cycles;
};

NoiseCycles noiseCycles[2];  // long, short

// The bit the channel sounds after shifting away from a value.
inline uint32_t SoundsAfter(uint32_t value) { return ((value >> 14) & 1) ^ 1; }

void BuildNoiseCycles(NoiseCycles &t, unsigned tap) {
    constexpr uint16_t kUnplaced = 0xFFFF;
    for (uint16_t &i : t.index) i = kUnplaced;
    uint32_t at = 0;
    t.cycles = 0;
    for (uint32_t first = 0; first < kNoiseValues; first++) {
        if (t.index[first] != kUnplaced) continue;
        t.cycleStart[t.cycles++] = static_cast<uint16_t>(at);
        // A shift can be undone (the bit shifted out follows from the new
        // low bit and the tapped one), so every value lies on a cycle that
        // comes back to where it began: no lookup per step.
        uint32_t v = first;
        do {
            t.index[v] = static_cast<uint16_t>(at);
            t.value[at++] = static_cast<uint16_t>(v);
            v = ((v << 1) | (((v >> 14) ^ (v >> (14 - tap))) & 1)) & 0x7FFF;
        } while (v != first);
    }
    for (uint32_t c = 0; c < t.cycles; c++) {
        const uint32_t start = t.cycleStart[c];
        const uint32_t end = c + 1 < t.cycles ? t.cycleStart[c + 1] : kNoiseValues;
        uint32_t ones = 0;
        for (uint32_t i = start; i <= end; i++) {
            t.onesAndBit[i + c] = ones | (i < end ? SoundsAfter(t.value[i]) << 31 : 0);
            if (i < end) ones += SoundsAfter(t.value[i]);
        }
    }
}

// Each mode's tables, built on the mode's first use (guarded statics, so
// instances on several threads may start together); music that never uses
// the short mode never spends the time (mostly first touches of its pages).
const NoiseCycles &NoiseCyclesFor(unsigned tap) {
    if (tap == 1) {
        static const bool built = (BuildNoiseCycles(noiseCycles[0], 1), true);
        (void)built;
        return noiseCycles[0];
    }
    static const bool built = (BuildNoiseCycles(noiseCycles[1], 6), true);
    (void)built;
    return noiseCycles[1];
}

// A noise channel running over a segment, its state in locals.
struct NoiseRun {
    const uint16_t *value;       // the register's cycle, in shift order
    const uint32_t *onesAndBit;  // its running counts (one more entry) and bits
    uint32_t length;             // of the cycle
    uint32_t position;           // of the register's low 15 bits in it
    uint64_t next;               // offset of the next expiry
    uint32_t out;                // the bit sounding now
    uint32_t period;
    uint64_t reciprocal;         // of the period (DivideShort)
    uint32_t shift;
    bool shifted;

    // Sounding bits after the shifts from the positions before i.
    uint32_t OnesBefore(uint32_t i) const { return onesAndBit[i] & 0xFFFF; }

    // Sounding bits after the shifts from positions [from, from + count),
    // count <= length.
    uint32_t Ones(uint32_t from, uint32_t count) const {
        const uint32_t to = from + count;
        if (to <= length) return OnesBefore(to) - OnesBefore(from);
        return OnesBefore(length) - OnesBefore(from) + OnesBefore(to - length);
    }

    // Cycles that sound within [from, to), shifting the register at every
    // expiry up to and including `to`.
    uint64_t Sounding(uint64_t from, uint64_t to) {
        if (next > to) return out ? to - from : 0;
        const uint64_t gap = to - next;
        const uint64_t shifts = (gap < kReciprocalRange ? (gap * reciprocal) >> shift : gap / period) + 1;
        const uint64_t laps = shifts < length ? 0 : shifts / length;
        const uint32_t rest = static_cast<uint32_t>(shifts - laps * length);
        const uint64_t ones = laps * OnesBefore(length) + Ones(position, rest);
        uint32_t lastFrom = position + rest + length - 1;  // the value shifted last
        while (lastFrom >= length) lastFrom -= length;
        const uint32_t last = SoundsAfter(value[lastFrom]);
        const uint64_t lastExpiry = next + (shifts - 1) * period;
        const uint64_t sounding = (out ? next - from : 0) + static_cast<uint64_t>(period) * (ones - last) +
                                  (last ? to - lastExpiry : 0);
        position = lastFrom + 1 == length ? 0 : lastFrom + 1;
        out = last;
        next = lastExpiry + period;
        shifted = true;
        return sounding;
    }
};

}  // namespace

bool RunsTabledNoise(const NoiseChannel &c) {
    return c.length != 0 && c.period != 0 && (c.tapShift == 1 || c.tapShift == 6);
}

namespace {

// The sample loop's values (see RunTabledNoiseSegment): the run's fixed
// parts, then those it moves.
struct NoiseSamples {
    const uint32_t *onesAndBit;
    uint32_t length;
    int64_t period;
    uint64_t reciprocal;
    uint32_t shift;
    int64_t lap;
    uint64_t base;
    int64_t levelLeft, levelRight;
    uint32_t place;
    uint64_t u;
    uint32_t out;
    int64_t total;
    uint32_t k;
};

// Samples k .. of a segment with expiries in it, whole ones by table
// (`Tabled`) or by division. Out of line, so that the loop's values have the
// registers to themselves.
template <bool Stereo, bool Tabled>
#if defined(__GNUC__)
__attribute__((noinline))
#endif
void RunNoiseSamples(NoiseSamples &s, const Segment &seg, MixLanes &lanes, const SampleMeans &means,
                     const NoiseChannel &c) {
    const uint32_t *const onesAndBit = s.onesAndBit;
    const uint32_t length = s.length;
    const int64_t period = s.period;
    const uint64_t reciprocal = s.reciprocal;
    const uint32_t shift = s.shift;
    const int64_t lap = s.lap;
    const uint64_t base = s.base;
    const int64_t levelLeft = s.levelLeft, levelRight = s.levelRight;
    const bool centred = levelLeft == levelRight;
    uint32_t place = s.place;
    uint64_t u = s.u;
    uint32_t out = s.out;
    int64_t total = s.total;
    uint32_t k = s.k;
    const uint32_t samples = seg.samples;
    // The lanes and the table through one base each, not one per side.
    int32_t *left = lanes.left[0];
    int32_t *right = lanes.right[0];
    const int32_t(*mean)[2] = c.mean;
    // Expiries no further apart than a whole sample: once one is behind, each
    // later sample has one (no held stretches), and the loop below serves.
    const bool dense = Tabled && period >= 2 && period <= static_cast<int64_t>(seg.shortest);
    while (k < samples) {
        if (dense && u != 0 && k != 0) break;
        const uint64_t next = base + u * period;
        if (next > seg.end[k]) {
            // The samples that end before the next shift hold the bit.
            const uint32_t from = k;
            k = FirstBoundaryAfter(seg, next - 1, k + 1);
            if (out) {
                AddHeld<Stereo>(left, right, from, k, static_cast<int32_t>(levelLeft), static_cast<int32_t>(levelRight));
                total += seg.end[k - 1] - (from == 0 ? 0 : seg.end[from - 1]);
            }
            if (k == samples) break;
        }
        const uint32_t end = seg.end[k];
        const uint64_t upTo = (((end - base) * reciprocal) >> shift) + 1;
        uint64_t shifts = upTo - u;
        if (shifts >= length) {
            // Whole laps of the cycle in one sample.
            const uint64_t laps = shifts / length;
            total -= static_cast<int64_t>(laps) * lap;
            shifts -= laps * length;
        }
        place += static_cast<uint32_t>(shifts);
        if (place >= length) {
            place -= length;
            total -= lap;
        }
        u = upTo;
        const uint32_t entry = onesAndBit[place];
        out = entry >> 31;
        const int64_t lastExpiry = static_cast<int64_t>(u - 1) * period;  // from base
        // The last bit's share by a mask: a branch on it would guess at random.
        const int64_t upToEnd = period * (entry & 0xFFFF) +
                                ((static_cast<int64_t>(end - base) - lastExpiry) & -static_cast<int64_t>(out));
        const uint32_t sounding = static_cast<uint32_t>(upToEnd - total);
        const uint32_t from = k == 0 ? 0 : seg.end[k - 1];
        if (Tabled && k != 0) {
            const uint32_t at = (end - from) % 2 * NoiseChannel::kMeanRow + sounding;
            lanes.left[0][k] += mean[at][0];
            if (Stereo) lanes.right[0][k] += mean[at][1];
        } else {
            const int32_t l = means(levelLeft * static_cast<int64_t>(sounding), k, end - from);
            left[k] += l;
            if (Stereo) right[k] += centred ? l : means(levelRight * static_cast<int64_t>(sounding), k, end - from);
        }
        total = upToEnd;
        k++;
    }
    if (dense && k < samples) {
        // The same sums with the place of each sample's last expiry taken
        // from its boundary alone (an expiry is behind, so the boundary lies
        // past `base`).
#if defined(__SIZEOF_INT128__)
        // q as the high half of a product with ceil(2^64 / period): exact,
        // as DivideShort's, for the distances below 2^31 (period >= 2).
        const uint64_t inverse = ~uint64_t{0} / static_cast<uint64_t>(period) + 1;
        const auto expiries = [inverse](uint64_t since) {
            return static_cast<uint64_t>((static_cast<unsigned __int128>(since) * inverse) >> 64);
        };
#else
        const auto expiries = [reciprocal, shift](uint64_t since) { return (since * reciprocal) >> shift; };
#endif
        // Expiries counted from `origin`, place - (u - 1) periods before
        // `base`, are the places in the cycle: below a cycle's length plus a
        // sample's shifts (32767 + 257) before a wrap takes the laps off, so
        // the distances stay below 2^31.
        int64_t origin = static_cast<int64_t>(base) - (static_cast<int64_t>(place) - static_cast<int64_t>(u - 1)) * period;
        const uint32_t *const ends = seg.end;
        int32_t *const lane = lanes.left[0];
        size_t i = k;
        for (; i < samples; i++) {
            const uint32_t end = ends[i];
            uint64_t since = static_cast<uint64_t>(static_cast<int64_t>(end) - origin);
            uint64_t at = expiries(since);
            if (at >= length) [[unlikely]] {
                const uint64_t laps = at / length;
                total -= static_cast<int64_t>(laps) * lap;
                origin += static_cast<int64_t>(laps * length) * period;
                since -= laps * length * static_cast<uint64_t>(period);
                at -= laps * length;
            }
            const int64_t entry = static_cast<int32_t>(onesAndBit[at]);
            const int64_t upToEnd = period * (entry & 0xFFFF) + (static_cast<int64_t>(since - at * period) & (entry >> 63));
            const uint64_t row = static_cast<uint64_t>((end - ends[i - 1]) % 2 * NoiseChannel::kMeanRow) +
                                 static_cast<uint64_t>(upToEnd - total);
            lane[i] += mean[row][0];
            if (Stereo) lanes.right[0][i] += mean[row][1];
            total = upToEnd;
        }
        k = static_cast<uint32_t>(i);
        u = expiries(ends[k - 1] - base) + 1;
        place = static_cast<uint32_t>(expiries(static_cast<uint64_t>(static_cast<int64_t>(ends[k - 1]) - origin)));
        out = onesAndBit[place] >> 31;
    }
    s.place = place;
    s.u = u;
    s.out = out;
    s.total = total;
    s.k = k;
}

}  // namespace

template <bool Stereo, bool Mixed>
void RunTabledNoiseSegment(NoiseChannel &c, Segment &seg, MixLanes &lanes) {
    const NoiseCycles &t = NoiseCyclesFor(c.tapShift);
    UpdateReciprocal(c);
    uint32_t index, cycle;  // cycle: the last one starting at or before the index
    if (c.tableTap == c.tapShift && c.tableRegister == (c.shiftRegister & 0x7FFF)) {
        index = c.tableIndex;
        cycle = c.tableCycle;
    } else {
        index = t.index[c.shiftRegister & 0x7FFF];
        cycle = 0;
        for (uint32_t step = kMaxNoiseCycles; step != 0; step >>= 1)
            if (cycle + step < t.cycles && t.cycleStart[cycle + step] <= index) cycle += step;
    }
    const uint32_t start = t.cycleStart[cycle];
    const uint32_t end = cycle + 1 < t.cycles ? t.cycleStart[cycle + 1] : kNoiseValues;
    NoiseRun run{t.value + start, t.onesAndBit + start + cycle, end - start, index - start,
                 static_cast<uint64_t>(c.timer > 0 ? c.timer : 0), c.outputBit, c.period, c.reciprocal,
                 c.reciprocalShift, false};
    const int64_t levelLeft = c.output.levelLeft[c.envelope.volume & 15];
    const int64_t levelRight = c.output.levelRight[c.envelope.volume & 15];
    const bool centred = levelLeft == levelRight;
    uint64_t pos = 0;
    uint32_t k = 0;
    const uint32_t samples = seg.samples;
    const SampleMeans means(seg);
    // Whole samples look their means up, made once for the levels and the
    // sample lengths (sounding cycles never exceed the sample's length).
    const uint32_t shortest = seg.shortest;
    const bool tabled = Mixed && samples > 1 && WholeSamplesFast(seg) && shortest < NoiseChannel::kMeanCycles;
    if (tabled && (c.meanShortest != shortest || c.meanLevelLeft != levelLeft || c.meanLevelRight != levelRight)) {
        for (uint32_t i = 0; i < 2; i++)
            for (uint32_t n = 0; n <= shortest + i; n++) {
                c.mean[(shortest + i) % 2 * NoiseChannel::kMeanRow + n][0] = means(levelLeft * n, 1, shortest + i);
                c.mean[(shortest + i) % 2 * NoiseChannel::kMeanRow + n][1] = means(levelRight * n, 1, shortest + i);
            }
        c.meanShortest = shortest;
        c.meanLevelLeft = static_cast<int32_t>(levelLeft);
        c.meanLevelRight = static_cast<int32_t>(levelRight);
    }
    auto take = [&](int32_t *lane, int32_t *laneRight, uint64_t sounding, int64_t carryLeft, int64_t carryRight,
                    uint32_t k, uint64_t length) {
        const int32_t l = means(carryLeft + levelLeft * static_cast<int64_t>(sounding), k, length);
        *lane += l;
        if (Stereo) {
            const bool same = centred && carryLeft == carryRight;
            *laneRight += same ? l : means(carryRight + levelRight * static_cast<int64_t>(sounding), k, length);
        }
    };
    if (samples != 0 && seg.carried) {
        const uint64_t sounding = run.Sounding(0, seg.end[0]);
        if (Mixed) take(&lanes.headLeft[0], &lanes.headRight[0], sounding, c.output.sumLeft, c.output.sumRight, 0, 0);
        c.output.sumLeft = c.output.sumRight = 0;
        pos = seg.end[0];
        k = 1;
    }
    if (samples != 0 && (!Mixed || (levelLeft == 0 && levelRight == 0))) {
        // Nothing to add: only the register moves, up to the last boundary.
        run.Sounding(pos, seg.last);
        pos = seg.last;
    } else if (samples != 0 && run.next > seg.last) {
        // One bit up to the last boundary.
        const int32_t l = run.out ? static_cast<int32_t>(levelLeft) : 0;
        const int32_t r = run.out ? static_cast<int32_t>(levelRight) : 0;
        if (Mixed) {
            lanes.constantLeft[0] += l;
            if (Stereo) lanes.constantRight[0] += r;
            if (k == 1) {
                lanes.headLeft[0] -= l;
                if (Stereo) lanes.headRight[0] -= r;
            }
        }
        pos = seg.last;
    } else if (samples != 0) {
        LayOut(seg);
        if (Mixed) TouchLanes(lanes, samples);
        // Expiries are counted from the segment's first one, `base`: after
        // u of them the last shifted the value at `place`, u - 1 places past
        // the run's position in the cycle. The cycles sounding from here up to
        // a boundary are then a running total: each shift's bit sounds for a
        // whole period but the last one's, which sounds from its expiry on.
        // A sample sounds the total at its end less that at its start, so no
        // sample waits on the one before but for where its place wraps (a
        // segment is shorter than 2^31 cycles: the reciprocal applies).
        // The run's moving parts are locals (the lane stores could alias them).
        const uint64_t base = run.next;
        const uint32_t *const onesAndBit = run.onesAndBit;
        const uint32_t length = run.length;
        const int64_t period = run.period;
        const uint64_t reciprocal = run.reciprocal;
        const uint32_t shift = run.shift;
        // A lap of the cycle: its sounding cycles.
        const int64_t lap = period * run.OnesBefore(length);
        uint32_t place = run.position == 0 ? length - 1 : run.position - 1;
        uint64_t u = 0;
        uint32_t out = run.out;
        // The total up to `pos`, less the cycles before `base`, which every
        // later total has too. The shifts 1 .. u - 1 sound for OnesBefore(place)
        // periods, less those before the run's position, plus a lap for each
        // time the place wrapped: kept in the total instead, which is what a
        // later one is taken from.
        int64_t total = (out ? -static_cast<int64_t>(base - pos) : 0) + period * run.OnesBefore(run.position) +
                        (run.position == 0 ? lap : 0);
        if constexpr (Mixed) {
            NoiseSamples loop{onesAndBit, length, period, reciprocal, shift, lap, base, levelLeft, levelRight,
                              place, u, out, total, k};
            if (tabled)
                RunNoiseSamples<Stereo, true>(loop, seg, lanes, means, c);
            else
                RunNoiseSamples<Stereo, false>(loop, seg, lanes, means, c);
            place = loop.place;
            u = loop.u;
            out = loop.out;
            k = loop.k;
        }
        pos = seg.end[k - 1];
        run.position = place + 1 == length ? 0 : place + 1;
        run.out = out;
        run.next = base + u * period;
        run.shifted = run.shifted || u != 0;
    }
    // The cycles after the last boundary start the next sample.
    const uint64_t sounding = run.Sounding(pos, seg.length);
    c.output.sumLeft += levelLeft * static_cast<int64_t>(sounding);
    c.output.sumRight += levelRight * static_cast<int64_t>(sounding);
    c.timer = static_cast<int32_t>(run.next - seg.length);
    c.outputBit = static_cast<uint8_t>(run.out);
    if (run.shifted) {
        const uint32_t previous = run.position == 0 ? run.length - 1 : run.position - 1;
        c.shiftRegister = static_cast<uint16_t>(((run.value[previous] << 1) & 0x8000) | run.value[run.position]);
    }
    c.tableTap = c.tapShift;
    c.tableRegister = static_cast<uint16_t>(c.shiftRegister & 0x7FFF);
    c.tableIndex = static_cast<uint16_t>(start + run.position);
    c.tableCycle = static_cast<uint16_t>(cycle);
}

// The run loop's four uses, for builds that compile file by file.
template void RunTabledNoiseSegment<true, true>(NoiseChannel &, Segment &, MixLanes &);
template void RunTabledNoiseSegment<true, false>(NoiseChannel &, Segment &, MixLanes &);
template void RunTabledNoiseSegment<false, true>(NoiseChannel &, Segment &, MixLanes &);
template void RunTabledNoiseSegment<false, false>(NoiseChannel &, Segment &, MixLanes &);

}  // namespace pelrin
