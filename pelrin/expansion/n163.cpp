// Namco 163: 128 bytes of RAM holding 4-bit waves and the registers of up to
// eight channels, played one sample step at a time with fractional timing.
#include <cmath>
#include <cstring>

#include "frame/state.h"
#include "core/segment.h"

namespace pelrin {

namespace {

void AdvanceAddress(N163State &s) {
    if (s.autoIncrement) s.address = (s.address + 1) & 0x7F;
}

void DecodeChannelRegister(N163State &s, unsigned byte, uint8_t v) {
    const unsigned i = (byte - 0x40) >> 3;
    switch (byte & 7) {
        case 0: s.frequency[i] = (s.frequency[i] & 0x3FF00u) | v; break;
        case 2: s.frequency[i] = (s.frequency[i] & 0x300FFu) | (static_cast<uint32_t>(v) << 8); break;
        case 4:
            s.frequency[i] = (s.frequency[i] & 0x0FFFFu) | (static_cast<uint32_t>(v & 3) << 16);
            s.waveLength[i] = static_cast<uint8_t>(32 - (v & 0x1C));
            break;
        case 6:
            s.waveStart[i] = v >> 1;
            s.waveStartHigh[i] = v & 1;
            break;
        case 7:
            s.volume[i] = v & 0x0F;
            if (i == 7) s.channelCountCode = (v >> 4) & 7;
            break;
        default:
            break;
    }
}

}  // namespace

void WriteN163(N163State &s, uint16_t address, uint8_t v) {
    if (address == 0xF800) {
        s.address = v & 0x7F;
        s.autoIncrement = v & 0x80;
    } else if (address == 0x4800) {
        s.ram[s.address & 0x7F] = v;
        if (s.address >= 0x40) DecodeChannelRegister(s, s.address, v);
        AdvanceAddress(s);
    }
}

uint8_t ReadN163Data(N163State &s) {
    uint8_t v = s.ram[s.address & 0x7F];
    AdvanceAddress(s);
    return v;
}

namespace {

// A run's length as the channel counts it: through f32.
inline double SliceCycles(uint32_t cycles) { return static_cast<double>(static_cast<float>(cycles)); }

// One channel's moving parts, held in locals while it runs.
struct Voice {
    float countdown;
    uint32_t sample, position, address, high;
};

inline Voice LoadVoice(const N163State &s, unsigned i) {
    return Voice{s.stepCountdown[i], s.sample[i], s.wavePosition[i], s.readAddress[i], s.readHigh[i]};
}

inline void StoreVoice(N163State &s, unsigned i, const Voice &v) {
    s.stepCountdown[i] = v.countdown;
    s.sample[i] = static_cast<uint8_t>(v.sample);
    s.wavePosition[i] = static_cast<uint8_t>(v.position);
    s.readAddress[i] = static_cast<uint8_t>(v.address);
    s.readHigh[i] = static_cast<uint8_t>(v.high);
}

// The wave moves on by one nibble: the low one of a byte first, then the
// high one; after the last it starts again at the wave's start.
inline void StepWave(Voice &v, const N163State &s, unsigned i) {
    if (++v.position >= s.waveLength[i]) {
        v.position = 0;
        v.address = s.waveStart[i];
        v.high = s.waveStartHigh[i];
    } else if (v.high) {
        v.high = 0;
        v.address = (v.address + 1) & 0x7F;
    } else {
        v.high = 1;
    }
    const uint8_t byte = s.ram[v.address & 0x7F];
    v.sample = v.high ? byte >> 4 : byte & 0x0F;
}

// Channel i over a run of `total` cycles, adding to the sums.
// Each piece's level times its length is truncated on its own, and a step
// that ends inside the run leaves the countdown rounded to f32 at the run's
// end, so where runs are cut shows in the result.
inline void IntegrateVoice(Voice &v, const N163State &s, unsigned i, const int16_t *left, const int16_t *right,
                           double total, double stepLength, int64_t &sumLeft, int64_t &sumRight) {
    const float stepFloat = static_cast<float>(stepLength);  // 0 + stepLength, rounded
    float countdown = v.countdown;
    if (total < countdown) {
        // No step ends within the run (a positive difference of two
        // floats stays positive as a float): one level, one subtraction.
        const unsigned sample = v.sample & 15;
        sumLeft += static_cast<int64_t>(left[sample] * total);
        sumRight += static_cast<int64_t>(right[sample] * total);
        v.countdown = static_cast<float>(countdown - total);
        return;
    }
    auto step = [&] { StepWave(v, s, i); };
    double r = total;
    // The pieces up to each step within the run take the whole countdown,
    // which leaves exactly 0; the step adds its length to that.
    while (r > countdown) {
        const double n = countdown;
        sumLeft += static_cast<int64_t>(left[v.sample & 15] * n);
        sumRight += static_cast<int64_t>(right[v.sample & 15] * n);
        r -= n;
        countdown = stepFloat;
        step();
    }
    // The last piece ends at or before the next step.
    sumLeft += static_cast<int64_t>(left[v.sample & 15] * r);
    sumRight += static_cast<int64_t>(right[v.sample & 15] * r);
    countdown = static_cast<float>(countdown - r);
    if (countdown <= 0.0f) {
        countdown = static_cast<float>(countdown + stepLength);
        step();
    }
    v.countdown = countdown;
}

// IntegrateVoice over [from, to) of a segment, in one run up to each of the
// segment's cuts that lie inside it and one after the last. `cut`: the
// first of the cuts that may lie inside it (the runs go forward).
inline void IntegrateVoiceCut(Voice &v, const N163State &s, unsigned i, const int16_t *left, const int16_t *right,
                              const Segment &seg, uint32_t &cut, uint32_t from, uint32_t to, double stepLength,
                              int64_t &sumLeft, int64_t &sumRight) {
    while (cut < seg.cutCount && seg.cuts[cut] <= from) cut++;
    for (; cut < seg.cutCount && seg.cuts[cut] < to; cut++) {
        IntegrateVoice(v, s, i, left, right, SliceCycles(seg.cuts[cut] - from), stepLength, sumLeft, sumRight);
        from = seg.cuts[cut];
    }
    IntegrateVoice(v, s, i, left, right, SliceCycles(to - from), stepLength, sumLeft, sumRight);
}

inline void IntegrateN163Channel(N163State &s, unsigned i, double total, double stepLength) {
    Voice v = LoadVoice(s, i);
    int64_t sumLeft = 0, sumRight = 0;
    IntegrateVoice(v, s, i, s.levelLeft[i][s.volume[i] & 15], s.levelRight[i][s.volume[i] & 15], total, stepLength,
                   sumLeft, sumRight);
    StoreVoice(s, i, v);
    s.sumLeft[i] += sumLeft;
    s.sumRight[i] += sumRight;
}

// Whether channel i plays at all; the step constant of the channel count.
inline bool N163ChannelRuns(const N163State &s, unsigned i, double &stepConstant) {
    const unsigned code = s.channelCountCode & 7;
    stepConstant = s.stepConstant[code];
    // Before the step constants exist a step would last no time at all.
    return i >= 7 - code && s.frequency[i] != 0 && stepConstant > 0.0;
}

// The step constant over channel i's frequency: divided again only when
// either has changed.
inline double StepLength(N163State &s, unsigned i, double stepConstant) {
    if (s.lengthFrequency[i] != s.frequency[i] || s.lengthConstant[i] != stepConstant) {
        s.lengthFrequency[i] = s.frequency[i];
        s.lengthConstant[i] = stepConstant;
        s.stepLength[i] = stepConstant / s.frequency[i];
    }
    return s.stepLength[i];
}

}  // namespace

void IntegrateN163(N163State &s, uint32_t cycles) {
    if (cycles == 0) return;
    const double total = SliceCycles(cycles);
    for (unsigned i = 0; i < 8; i++) {
        double stepConstant;
        if (!N163ChannelRuns(s, i, stepConstant)) continue;
        // The step length divides only when a step ends within the run.
        const double stepLength = total < s.stepCountdown[i] ? 0.0 : StepLength(s, i, stepConstant);
        IntegrateN163Channel(s, i, total, stepLength);
    }
}

namespace {

// The cycles after the segment's last boundary start the next sample: they
// go to the channel's sums, and the voice back to the channel.
inline void FinishVoice(Voice &v, N163State &s, unsigned i, const Segment &seg, const int16_t *left,
                        const int16_t *right, double stepLength) {
    if (seg.length != seg.last) {
        int64_t sumLeft = 0, sumRight = 0;
        uint32_t cut = 0;
        IntegrateVoiceCut(v, s, i, left, right, seg, cut, seg.last, seg.length, stepLength, sumLeft, sumRight);
        s.sumLeft[i] += sumLeft;
        s.sumRight[i] += sumRight;
    }
    StoreVoice(s, i, v);
}

// What the steps of channels run from step to step change, per sample: one
// pass then adds it up into the lanes. A step in sample k makes that
// sample's mean differ from the level before it, and the level after it
// the one the samples from k + 1 on hold.
struct StepDeltas {
    alignas(16) int32_t change[kSegmentSamples + 1][4];  // [k]: mean less the level before, left and right,
                                                         // then the level after less the level before
    int32_t base[2];                                     // sample 1's levels before any step
};

// Whether a channel can run from step to step over the segment's whole
// samples: its steps lie more than a sample apart (so a sample holds at
// most one, and the countdown after it is the step length less what is
// left of the sample), the means are multiplications, and the countdown
// stays a positive float below 2^24, where whole cycles subtract exactly.
inline bool StepsApart(const Segment &seg, const SampleMeans &means, float countdown, float stepFloat) {
    return means.fast && seg.shortest >= 2 && stepFloat > static_cast<float>(seg.shortest + 1) &&
           stepFloat < 16777216.0f && countdown > 0.0f && countdown < 16777216.0f;
}

// A sample value's levels, left and right, as doubles and as integers (the
// integers twice, as a step's changes take them).
struct StepLevel {
    alignas(16) double both[2];
    int32_t whole[4];
};

// A channel run from step to step (StepsApart); its countdown counts from
// the boundary `pos`.
struct StepRunner {
    StepLevel levels[16];
    Voice v;  // its address and high nibble are in `nibble` while it runs
    uint32_t pos;
    double stepFloat;  // the step length as the countdown takes it after a step
    // The wave as nibble addresses (the byte's address twice, plus one for
    // its high nibble): where it is, where it starts again, its length.
    uint32_t nibble, startNibble, length;
    bool mixed;
    unsigned channel;
    double stepLength;  // as the tail after the last boundary takes it
};

inline void StartStepRunner(StepRunner &run, const Voice &v, uint32_t pos, double stepLength, const N163State &s,
                            unsigned i, bool mixed, const int16_t *left, const int16_t *right) {
    const float stepFloat = static_cast<float>(stepLength);
#if defined(__SSE2__)
    // Eight entries a side at a time: the two sides interleaved, widened to
    // 32 bits with their signs, and converted.
    for (unsigned k = 0; k < 16; k += 8) {
        const __m128i l = _mm_loadu_si128(reinterpret_cast<const __m128i *>(left + k));
        const __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i *>(right + k));
        const __m128i pairs[2] = {_mm_unpacklo_epi16(l, r), _mm_unpackhi_epi16(l, r)};
        for (unsigned h = 0; h < 2; h++) {
            const __m128i low = _mm_srai_epi32(_mm_unpacklo_epi16(pairs[h], pairs[h]), 16);
            const __m128i high = _mm_srai_epi32(_mm_unpackhi_epi16(pairs[h], pairs[h]), 16);
            const unsigned at = k + 4 * h;
            for (unsigned e = 0; e < 4; e++) {
                const __m128i pair = e < 2 ? low : high;
                const __m128i both = (e & 1) ? _mm_unpackhi_epi64(pair, pair) : pair;
                _mm_storeu_si128(reinterpret_cast<__m128i *>(run.levels[at + e].whole), _mm_unpacklo_epi64(both, both));
                _mm_store_pd(run.levels[at + e].both, _mm_cvtepi32_pd(both));
            }
        }
    }
#else
    for (unsigned k = 0; k < 16; k++) {
        run.levels[k].whole[0] = run.levels[k].whole[2] = left[k];
        run.levels[k].whole[1] = run.levels[k].whole[3] = right[k];
        run.levels[k].both[0] = left[k];
        run.levels[k].both[1] = right[k];
    }
#endif
    run.v = v;
    run.pos = pos;
    run.stepFloat = stepFloat;
    run.nibble = (v.address & 0x7F) * 2 + (v.high & 1);
    run.startNibble = s.waveStart[i] * 2u + (s.waveStartHigh[i] & 1u);
    run.length = s.waveLength[i];
    run.mixed = mixed;
    run.channel = i;
    run.stepLength = stepLength;
}

// A sample with a step: `first` cycles before it, `rest` after it.
#if defined(__SSE2__)
// As the offsets of the sample's two boundaries from the step: (-first, rest).
using StepPieces = __m128d;
inline StepPieces Pieces(double first, double rest) { return _mm_set_pd(rest, -first); }
#else
struct StepPieces {
    double first, rest;
};
inline StepPieces Pieces(double first, double rest) { return {first, rest}; }
#endif

// Adds the changes of a step in a sample. Each piece's sum is truncated on
// its own, as IntegrateVoice does. The levels lie within +-16,452 (120 /
// 239 of at most 32,767) and a whole sample lasts at most 2^16 cycles (the
// means are multiplications), so a piece's sum, negated or not, the two
// pieces' and the mean all fit 32 bits. `inverse`: the raised inverse of
// the sample's length, twice.
inline void AddStepChanges(const StepLevel &before, const StepLevel &after, StepPieces pieces,
                           const double *inverse, int32_t *at) {
#if defined(__SSE2__)
    // Both sides at once. The piece before is taken negated: truncation
    // towards zero gives the negated sum.
    const __m128i lost = _mm_cvttpd_epi32(_mm_mul_pd(_mm_load_pd(before.both), _mm_unpacklo_pd(pieces, pieces)));
    const __m128i kept = _mm_cvttpd_epi32(_mm_mul_pd(_mm_load_pd(after.both), _mm_unpackhi_pd(pieces, pieces)));
    const __m128i mean = _mm_cvttpd_epi32(_mm_mul_pd(_mm_cvtepi32_pd(_mm_sub_epi32(kept, lost)), _mm_load_pd(inverse)));
    const __m128i meanAndAfter =
        _mm_unpacklo_epi64(mean, _mm_load_si128(reinterpret_cast<const __m128i *>(after.whole)));
    const __m128i change =
        _mm_sub_epi32(meanAndAfter, _mm_load_si128(reinterpret_cast<const __m128i *>(before.whole)));
    __m128i *to = reinterpret_cast<__m128i *>(at);
    _mm_store_si128(to, _mm_add_epi32(_mm_load_si128(to), change));
#else
    for (int side = 0; side < 2; side++) {
        const int64_t sum = static_cast<int64_t>(before.whole[side] * pieces.first) +
                            static_cast<int64_t>(after.whole[side] * pieces.rest);
        const int32_t mean = static_cast<int32_t>(static_cast<double>(sum) * inverse[0]);
        at[side] += mean - before.whole[side];
        at[2 + side] += after.whole[side] - before.whole[side];
    }
#endif
}

// The RAM's 256 nibbles in the order a wave reads them, each byte's low
// nibble, then its high one, and the first 32 once more: 32 read on from
// any nibble wrap around the RAM.
constexpr unsigned kNibbles = 256 + 32;

inline void SplitNibbles(const uint8_t *ram, uint8_t *nibbles) {
#if defined(__SSE2__)
    const __m128i low = _mm_set1_epi8(0x0F);
    for (int i = 0; i < 128; i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(ram + i));
        const __m128i lows = _mm_and_si128(bytes, low);
        const __m128i highs = _mm_and_si128(_mm_srli_epi16(bytes, 4), low);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(nibbles + 2 * i), _mm_unpacklo_epi8(lows, highs));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(nibbles + 2 * i + 16), _mm_unpackhi_epi8(lows, highs));
    }
#else
    for (int i = 0; i < 128; i++) {
        nibbles[2 * i] = ram[i] & 15;
        nibbles[2 * i + 1] = ram[i] >> 4;
    }
#endif
    std::memcpy(nibbles + 256, nibbles, kNibbles - 256);
}

// The segment's boundaries as the step runner looks them up, in locals
// (stores to the changes could otherwise alias them).
struct StepBoundaries {
    const Segment *seg;
    const double *at;            // the boundaries in doubles
    const double (*inverse)[2];  // [k]: the raised inverse of sample k's length, twice
};

// The most steps a batch takes before its wave winds back.
constexpr unsigned kBatch = 16;

// A running wave in locals (stores to the deltas could otherwise alias it):
// the nibble values it reads from the one it is on, at index 0. First what
// is left of its lap, then laps from the wave's start, far enough on that a
// batch of steps reads on before the index winds back by whole laps.
// Nibbles as addresses: the byte's address twice, plus one for its high
// nibble.
struct RunningWave {
    alignas(16) uint8_t ahead[128];
    uint32_t at;        // the index of the nibble it is on
    uint32_t lapStart;  // the index of the first nibble read from the wave's start
    uint32_t lap;       // its length; a length of 0 starts again at every step, as 1 does
    uint32_t position, nibble, startNibble;  // at index 0
    const StepLevel *levels;
    const StepLevel *level;  // the levels of the nibble it is on

    // `nibbles`: the RAM's, from SplitNibbles. The value it is on is the one
    // it read at its last step, which later writes to the RAM leave.
    void Start(const uint8_t *nibbles, uint32_t sample, uint32_t length) {
        lap = length == 0 ? 1 : length;
        lapStart = position < lap ? lap - position : 1;
        std::memcpy(ahead, nibbles + nibble, 32);
        ahead[0] = static_cast<uint8_t>(sample);
        // Laps copied 32 nibbles at a time, each over the rest of the one
        // before: up to index lapStart + lap + kBatch - 1, the furthest a
        // batch reads.
        for (uint32_t o = lapStart; o < lapStart + lap + kBatch; o += lap) std::memcpy(ahead + o, nibbles + startNibble, 32);
        at = 0;
        level = levels + ahead[0];
    }

    void Step() { level = levels + ahead[++at]; }

    // Back into the lap after the first from the wave's start.
    void WindBack() {
        while (at >= lapStart + lap) at -= lap;
    }

    // The place it is on, as StepWave keeps it.
    void Finish(uint32_t &endPosition, uint32_t &endNibble) const {
        if (at < lapStart) {
            endPosition = position + at;
            endNibble = (nibble + at) & 0xFF;
        } else {
            endPosition = at - lapStart;
            endNibble = (startNibble + at - lapStart) & 0xFF;
        }
    }
};

// The step in the sample that ends at boundary j: the wave moves on and the
// sample's changes go to the deltas.
template <bool Mixed>
inline void TakeStep(RunningWave &wave, const StepBoundaries &b, uint32_t j, StepPieces pieces, StepDeltas &d) {
    const StepLevel &old = *wave.level;
    wave.Step();
    if (Mixed) AddStepChanges(old, *wave.level, pieces, b.inverse[j], d.change[j]);
}

// u, a step length's unit in the last place, from its exponent field:
// 2^(e - 150), as the factor 2^(150 - e) that makes a multiple of it whole.
inline double PerUnit(float stepFloat) {
    uint32_t bits;
    std::memcpy(&bits, &stepFloat, sizeof bits);
    const uint64_t field = (bits >> 23) & 0xFF;  // normal: the step length is above 2
    double perUnit;
    const uint64_t perUnitBits = (1023 + 150 - field) << 52;
    std::memcpy(&perUnit, &perUnitBits, sizeof perUnit);
    return perUnit;
}

// Whether a countdown is a multiple of u.
inline bool OnStepGrid(double countdown, double perUnit) {
    const double units = countdown * perUnit;  // exact: a power of two
    return units == static_cast<double>(static_cast<int64_t>(units));
}

// Runs a channel over the segment's whole samples from step to step.
//
// Once its countdown is a multiple of the step length's unit in the last
// place u, a step at t (in cycles from the segment's start) leaves the
// countdown at the step length less the rest of its sample, `after` - t;
// that is a multiple of u below twice the step length's power of two, so
// a float holds it exactly, and the next step falls at exactly t plus the
// step length. The steps are then evenly spaced, and each is found on its
// own. Until then each step's countdown comes from the one before.
template <bool Mixed>
void RunSteps(StepRunner &run, const uint8_t *nibbles, const StepBoundaries &boundaries, StepDeltas &d) {
    const StepBoundaries b = boundaries;
    const Segment &seg = *b.seg;
    const uint32_t *end = seg.end;
    const double perUnit = PerUnit(static_cast<float>(run.stepFloat));
    RunningWave wave;
    wave.position = run.v.position;
    wave.nibble = run.nibble;
    wave.startNibble = run.startNibble;
    wave.levels = run.levels;
    wave.Start(nibbles, run.v.sample & 15, run.length);
    const double stepFloat = run.stepFloat;
    const uint32_t last = seg.last;
    double countdown = run.v.countdown;
    uint32_t pos = run.pos, k = 1;  // pos: boundary k - 1
    bool evenly = true;
    for (;;) {
        if (OnStepGrid(countdown, perUnit)) break;
        uint32_t whole = static_cast<uint32_t>(countdown);
        whole += static_cast<double>(whole) < countdown;
        if (int64_t{pos} + whole > last) {
            evenly = false;
            break;
        }
        const uint32_t j = FirstBoundaryAfter<false>(seg, pos + whole - 1, k);
        const double first = countdown - static_cast<double>(end[j - 1] - pos);
        const double rest = static_cast<double>(end[j] - end[j - 1]) - first;
        TakeStep<Mixed>(wave, b, j, Pieces(first, rest), d);
        wave.WindBack();
        countdown = static_cast<float>(stepFloat - rest);
        pos = end[j];
        k = j + 1;
    }
    // Evenly spaced from here. The times are exact in doubles: multiples of
    // u >= 2^-22 (the step length is above 2) below 2^31 (a segment's length).
    double t = pos + countdown;
    if (evenly) {
        // The first boundary at or after t is boundary ceil(q(ceil t)), where
        // q(x) = (x 2^shift - anchor) / period, and q(ceil t) - q(t) lies
        // below 1 / p <= 1/2 (p >= 2, the cycles per sample): from
        // floor(q(t)) it is at most two further. q(t) is above -1 (t lies
        // past boundary 0). Estimated in doubles with a bias of 2^-20 up,
        // far above the estimate's rounding error (below 2^-34 after the
        // at most 512 additions) and far below 1, its truncation is never
        // below floor(q(t)) nor past the boundary.
        const double slope = static_cast<double>(int64_t{1} << seg.shift) / static_cast<double>(seg.period);
        const double *at = b.at;
        const double lastAt = last, estimateStep = stepFloat * slope;
        const int64_t anchor = seg.first + (int64_t{1} << seg.shift) - 1;  // boundary j: (anchor + j period) >> shift
        double estimate = t * slope - (static_cast<double>(anchor) / static_cast<double>(seg.period) - 0x1p-20);
#if defined(__SSE2__)
        __m128d time = _mm_set1_pd(t);
        const __m128d stride = _mm_set1_pd(stepFloat);
        // Sixteen steps at a time: first where each falls, then the wave's
        // steps and the means. A step's work waits on a long chain (its
        // boundary, loaded, compared, the pieces, the means); in two short
        // loops more steps overlap than in one long one (measured: 7 %).
        struct Found {
            StepPieces pieces;
            uint32_t j;
        } found[kBatch];
        const auto find = [&](Found &f) {
            int64_t j = static_cast<int64_t>(estimate);
            // Past the two boundaries from there that lie before the step:
            // the mask is 0, 1 or 3 (they rise).
            j += static_cast<uint32_t>(_mm_movemask_pd(_mm_cmplt_pd(_mm_loadu_pd(at + j), time)) + 1) >> 1;
            f.pieces = _mm_sub_pd(_mm_loadu_pd(at + j - 1), time);
            f.j = static_cast<uint32_t>(j);
            time = _mm_add_pd(time, stride);
            estimate += estimateStep;
        };
        // A batch's last step at t + 15 steps: the product has at most 28
        // significant bits and the sum is a multiple of u, both exact (a sum
        // past 2^31 rounds to no less than 2^31, past the last boundary too).
        const double batchSpan = (kBatch - 1) * stepFloat;
        while (_mm_cvtsd_f64(time) <= lastAt) {
            unsigned n = 0;
            if (_mm_cvtsd_f64(time) + batchSpan <= lastAt) {
                // A whole batch before the last boundary: no time to check.
                for (; n < kBatch; n++) find(found[n]);
                for (unsigned i = 0; i < kBatch; i++) TakeStep<Mixed>(wave, b, found[i].j, found[i].pieces, d);
                wave.WindBack();
                continue;
            }
            do {
                find(found[n++]);
            } while (n < kBatch && _mm_cvtsd_f64(time) <= lastAt);
            for (unsigned i = 0; i < n; i++) TakeStep<Mixed>(wave, b, found[i].j, found[i].pieces, d);
            wave.WindBack();
        }
        t = _mm_cvtsd_f64(time);
#else
        for (; t <= lastAt; t += stepFloat, estimate += estimateStep) {
            int64_t j = static_cast<int64_t>(estimate);
            j += at[j] < t;
            j += at[j] < t;
            TakeStep<Mixed>(wave, b, static_cast<uint32_t>(j), Pieces(t - at[j - 1], at[j] - t), d);
            wave.WindBack();
        }
#endif
    }
    // The countdown at the last boundary.
    run.v.countdown = static_cast<float>(t - last);
    wave.Finish(run.v.position, run.nibble);
    run.v.sample = static_cast<uint32_t>(wave.level - run.levels);
    run.pos = last;
}

}  // namespace

// A segment's runs are the samples themselves (the run loop ends a segment
// only where a slice ends), so each channel runs over the segment on its
// own. While its countdown stays below 2^24, subtracting whole cycles from
// it is exact: the samples before its next step take its level as it is.
// Channels whose steps lie more than a sample apart run from step to step
// (RunSteps) once each has run its first sample; the others sample by
// sample.
template <bool Stereo>
void RunN163Segment(N163State &s, Segment &seg, MixLanes &lanes, const uint8_t *mixed) {
    const uint32_t samples = seg.samples;
    if (samples == 0) {
        uint32_t from = 0;
        for (uint32_t c = 0; c < seg.cutCount; c++) {
            IntegrateN163(s, seg.cuts[c] - from);
            from = seg.cuts[c];
        }
        IntegrateN163(s, seg.length - from);
        return;
    }
    int32_t *laneLeft = lanes.left[1];
    int32_t *laneRight = lanes.right[1];
    const SampleMeans means(seg);
    StepDeltas deltas;
    deltas.base[0] = deltas.base[1] = 0;
    bool anyMixedRunner = false;
    StepRunner runners[8];
    double boundaryAt[kSegmentSamples + 1];
    alignas(16) double inverseAt[kSegmentSamples][2];
    unsigned runnerCount = 0;
    for (unsigned i = 0; i < 8; i++) {
        double stepConstant;
        const bool runs = N163ChannelRuns(s, i, stepConstant);
        const double stepLength = runs ? StepLength(s, i, stepConstant) : 0.0;
        const bool mix = mixed[i] != 0;
        const int16_t *left = s.levelLeft[i][s.volume[i] & 15];
        const int16_t *right = s.levelRight[i][s.volume[i] & 15];
        Voice v = LoadVoice(s, i);
        // The first sample, with what it carried in.
        int64_t headLeft = s.sumLeft[i], headRight = s.sumRight[i];
        uint32_t cut = 0;
        if (runs) IntegrateVoiceCut(v, s, i, left, right, seg, cut, 0, seg.end[0], stepLength, headLeft, headRight);
        if (mix && (headLeft | headRight) != 0)
            means.Add<Stereo>(lanes.headLeft[1], lanes.headRight[1], headLeft, headRight, 0, seg.end[0]);
        s.sumLeft[i] = s.sumRight[i] = 0;
        if (!runs) continue;
        uint32_t pos = seg.end[0], k = 1;
        if (k < samples) {
            LayOut(seg);
            if (mix) TouchLanes(lanes, samples);
        }
        const float stepFloat = static_cast<float>(stepLength);
        // Where the segment runs past frame steps, only a countdown on the
        // step length's grid: its steps then fall the same however the
        // runs are cut (whole cycles subtract exactly). Off the grid, the
        // countdown is rounded where a cut follows a step in its sample.
        if (k < samples && StepsApart(seg, means, v.countdown, stepFloat) &&
            (seg.cutCount == 0 || OnStepGrid(v.countdown, PerUnit(stepFloat)))) {
            // Run below, together with the other channels that can.
            if (mix && !anyMixedRunner) {
                anyMixedRunner = true;
                std::memset(deltas.change, 0, (samples + 1) * sizeof deltas.change[0]);
            }
            if (mix) {
                deltas.base[0] += left[v.sample & 15];
                deltas.base[1] += right[v.sample & 15];
            }
            StartStepRunner(runners[runnerCount++], v, pos, stepLength, s, i, mix, left, right);
            continue;
        }
        while (k < samples) {
            const float countdown = v.countdown;
            if (countdown < 16777216.0f && static_cast<double>(seg.end[k] - pos) < countdown) {
                // Samples that end before the step: each run is shorter than
                // what is left of the countdown.
                // Those ending before pos + countdown: at or before pos plus
                // the countdown's ceiling less one (0 < countdown < 2^24).
                int64_t whole = static_cast<int64_t>(countdown);
                if (static_cast<float>(whole) < countdown) whole++;
                const uint32_t from = k;
                // Scanned: this loop measured a third slower with the
                // boundaries compared all at once.
                k = FirstBoundaryAfter<false>(seg, pos + static_cast<uint64_t>(whole) - 1, k + 1);
                const unsigned sample = v.sample & 15;
                if (mix) AddHeld<Stereo>(laneLeft, laneRight, from, k, left[sample], right[sample]);
                v.countdown = static_cast<float>(countdown - static_cast<double>(seg.end[k - 1] - pos));
                pos = seg.end[k - 1];
                if (k == samples) break;
            }
            int64_t sumLeft = 0, sumRight = 0;
            IntegrateVoiceCut(v, s, i, left, right, seg, cut, pos, seg.end[k], stepLength, sumLeft, sumRight);
            if (mix) means.Add<Stereo>(laneLeft[k], laneRight[k], sumLeft, sumRight, k, seg.end[k] - pos);
            pos = seg.end[k++];
        }
        FinishVoice(v, s, i, seg, left, right, stepLength);
    }
    if (runnerCount != 0) {
        // Boundaries lie below 2^31: as signed values the loops vectorise.
        const int32_t *end = reinterpret_cast<const int32_t *>(seg.end);
        for (uint32_t k = 0; k < samples; k++) boundaryAt[k] = end[k];
        boundaryAt[samples] = kPastTheSegment;  // past every time
        uint8_t nibbles[kNibbles];
        SplitNibbles(s.ram, nibbles);
        const int32_t shortest = static_cast<int32_t>(seg.shortest);
        const double shorter = means.inverse[0], longer = means.inverse[1];
        inverseAt[0][0] = inverseAt[0][1] = 0.0;  // the first sample is not run here
        for (uint32_t k = 1; k < samples; k++)
            inverseAt[k][0] = inverseAt[k][1] = end[k] - end[k - 1] == shortest ? shorter : longer;
        const StepBoundaries boundaries{&seg, boundaryAt, inverseAt};
        for (unsigned r = 0; r < runnerCount; r++) {
            if (runners[r].mixed)
                RunSteps<true>(runners[r], nibbles, boundaries, deltas);
            else
                RunSteps<false>(runners[r], nibbles, boundaries, deltas);
        }
        for (unsigned r = 0; r < runnerCount; r++) {
            const unsigned i = runners[r].channel;
            Voice v = runners[r].v;
            v.address = runners[r].nibble >> 1;
            v.high = runners[r].nibble & 1;
            FinishVoice(v, s, i, seg, s.levelLeft[i][s.volume[i] & 15], s.levelRight[i][s.volume[i] & 15],
                        runners[r].stepLength);
        }
    }
    if (anyMixedRunner) {
        int32_t levelLeft = deltas.base[0], levelRight = deltas.base[1];
        for (uint32_t k = 1; k < samples; k++) {
            laneLeft[k] += levelLeft + deltas.change[k][0];
            levelLeft += deltas.change[k][2];
            if (Stereo) {
                laneRight[k] += levelRight + deltas.change[k][1];
                levelRight += deltas.change[k][3];
            }
        }
    }
}

// The run loop's two uses, for builds that compile file by file.
template void RunN163Segment<true>(N163State &, Segment &, MixLanes &, const uint8_t *);
template void RunN163Segment<false>(N163State &, Segment &, MixLanes &, const uint8_t *);

}  // namespace pelrin
