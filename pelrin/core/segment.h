// A segment: a stretch of a span in which no frame-sequencer step falls and
// whose sample boundaries are known in advance. Each channel runs over the
// whole segment at once and adds its mean level for every sample that ends
// in it to per-sample lanes; the mixer then writes the frames in one pass.
#pragma once

#include <cstring>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "frame/state.h"

namespace pelrin {

// Mean of one side over a sample, truncated towards zero: sum / cycles.
// Sums of magnitude up to 2^31 divide by multiplying with the rounded-up
// reciprocal m = ceil(2^s / cycles), s = 31 + ceil(log2 cycles). Exact: with
// e = m * cycles - 2^s < cycles, floor(n * m / 2^s) = floor(n / cycles + n * e
// / (cycles * 2^s)), and the second term is below 2^-ceil(log2 cycles) <=
// 1 / cycles, too little to reach the next multiple (the fraction of
// n / cycles is at most (cycles - 1) / cycles). m <= 2^32, so n * m fits 64
// bits. Larger sums, and samples of 2^32 cycles or more, divide.
inline Divisor MakeDivisor(int64_t cycles) {
    Divisor d{cycles, 0, 0, cycles >= 1 && cycles <= 0xFFFFFFFFll ? uint8_t{1} : uint8_t{0}};
    if (d.exact) {
        unsigned log = 0;
        while ((int64_t{1} << log) < cycles) log++;
        d.shift = 31 + log;
        d.factor = ((uint64_t{1} << d.shift) + static_cast<uint64_t>(cycles) - 1) / static_cast<uint64_t>(cycles);
    }
    return d;
}

// sum / cycles truncated towards zero, from the reciprocal: |sum| <= 2^31.
inline int32_t MeanByReciprocal(int64_t sum, uint64_t factor, uint32_t shift) {
    const uint64_t sign = static_cast<uint64_t>(sum >> 63);  // all ones when negative
    const uint64_t magnitude = (static_cast<uint64_t>(sum) ^ sign) - sign;
    const uint64_t q = (magnitude * factor) >> shift;
    return static_cast<int32_t>((q ^ sign) - sign);
}

inline int32_t Mean(int64_t sum, const Divisor &d) {
    // |sum| <= 2^31 in one unsigned comparison.
    if (d.exact && static_cast<uint64_t>(sum + (int64_t{1} << 31)) <= (uint64_t{1} << 32))
        return MeanByReciprocal(sum, d.factor, d.shift);
    return static_cast<int32_t>(sum / d.cycles);
}

// Whole samples (all but a segment's first) last `shortest` or `shortest +
// 1` cycles. A channel's levels are 16-bit, so its sum over one sample is at
// most 2^15 per cycle: within 2^31 for samples of up to 2^16 cycles, with
// no need to check.
inline bool WholeSamplesFast(int64_t shortest) { return shortest >= 1 && shortest < 65536; }
inline bool WholeSamplesFast(const Segment &seg) { return WholeSamplesFast(seg.shortest); }

inline int32_t Clip(int32_t v) { return v < -32768 ? -32768 : (v > 32767 ? 32767 : v); }


// Fills in every boundary, once some channel needs them.
inline void LayOut(Segment &seg) {
    if (seg.laidOut) return;
    seg.laidOut = true;
    const int shift = seg.shift;
    const int64_t period = seg.period;
    const uint32_t samples = seg.samples;
    uint32_t *end = seg.end;
    int64_t at = seg.first + (int64_t{1} << shift) - 1;  // rounds each boundary up
    uint32_t k = 1;
#if defined(__SSE2__)
    // Four at a time in two pairs of 64-bit lanes (the boundaries are not
    // negative, so the logical shift is the arithmetic one).
    if (samples >= 5 && at + period >= 0) {
        const __m128i count = _mm_cvtsi32_si128(shift);
        const __m128i step = _mm_set1_epi64x(4 * period);
        __m128i low = _mm_set_epi64x(at + 2 * period, at + period);
        __m128i high = _mm_set_epi64x(at + 4 * period, at + 3 * period);
        for (; k + 4 <= samples; k += 4) {
            const __m128 l = _mm_castsi128_ps(_mm_srl_epi64(low, count));
            const __m128 h = _mm_castsi128_ps(_mm_srl_epi64(high, count));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(end + k),
                             _mm_castps_si128(_mm_shuffle_ps(l, h, _MM_SHUFFLE(2, 0, 2, 0))));
            low = _mm_add_epi64(low, step);
            high = _mm_add_epi64(high, step);
        }
        at += static_cast<int64_t>(k - 1) * period;
    }
#endif
    // Four at a time: the additions do not wait on each other.
    for (const int64_t two = 2 * period, three = 3 * period, four = 4 * period; k + 4 <= samples; k += 4) {
        end[k] = static_cast<uint32_t>((at + period) >> shift);
        end[k + 1] = static_cast<uint32_t>((at + two) >> shift);
        end[k + 2] = static_cast<uint32_t>((at + three) >> shift);
        end[k + 3] = static_cast<uint32_t>((at + four) >> shift);
        at += four;
    }
    for (; k < samples; k++) {
        at += period;
        end[k] = static_cast<uint32_t>(at >> shift);
    }
    for (uint32_t i = 0; i < kBoundarySlack; i++) end[samples + i] = kPastTheSegment;
    seg.periodInverse = 1.0 / static_cast<double>(period);
}

// The first sample from k on whose boundary lies after `until`, or
// `samples`; the segment is laid out. Most stretches are short: a few
// boundaries are looked at first. `AllAtOnce`: the next eight in one
// comparison where it can be made (a loop over them mispredicts where it
// stops); they rise, so the first one past `until` is the first set bit
// (the slack past the last boundary lies past every time).
template <bool AllAtOnce = true>
inline uint32_t FirstBoundaryAfter(const Segment &seg, uint64_t until, uint32_t k) {
    const uint32_t samples = seg.samples;
    if (until >= seg.last) return samples;
#if defined(__SSE2__) && defined(__GNUC__)
    if (AllAtOnce) {
        static_assert(kBoundarySlack >= 8);
        const __m128i limit = _mm_set1_epi32(static_cast<int32_t>(until));  // until < last < 2^31
        const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i *>(seg.end + k));
        const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i *>(seg.end + k + 4));
        const int past = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(low, limit))) |
                         (_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(high, limit))) << 4);
        if (past != 0) return k + static_cast<uint32_t>(__builtin_ctz(static_cast<unsigned>(past)));
        k += 8;
    } else
#endif
    {
        for (int i = 0; i < 4; i++, k++)
            if (seg.end[k] > until) return k;
    }
    // Boundary j lies at or before `until` while j * period < room: the
    // count of those, estimated in doubles (room < 2^53, so the estimate is
    // off by at most one) and corrected against the boundaries.
    const int64_t room = ((static_cast<int64_t>(until) + 1) << seg.shift) - seg.first - ((int64_t{1} << seg.shift) - 1);
    const double estimate = static_cast<double>(room) * seg.periodInverse;
    uint32_t j = estimate < static_cast<double>(samples) ? static_cast<uint32_t>(estimate) : samples;
    if (j < k) j = k;
    while (j > k && seg.end[j - 1] > until) j--;
    while (j < samples && seg.end[j] <= until) j++;
    return j;
}

// The divisor of sample k, `length` cycles of it in the segment: the first
// has its own, every other lasts the floor or the ceiling of the period.
inline const Divisor &SampleDivisor(const Segment &seg, uint32_t k, uint64_t length) {
    return seg.divisors[k == 0 ? 0 : (length == seg.shortest ? 1 : 2)];
}

// 1 / cycles in doubles, raised by two units in the last place: see
// SampleMeans. Adding to the bits of a positive double moves it up by
// units in the last place, across a power of two too.
inline double RaisedInverse(uint32_t cycles) {
    const double inverse = 1.0 / static_cast<double>(cycles);
    uint64_t bits;
    std::memcpy(&bits, &inverse, sizeof bits);
    bits += 2;
    double raised;
    std::memcpy(&raised, &bits, sizeof raised);
    return raised;
}

// A segment's sample means as a runner's loop takes them.
struct SampleMeans {
    const Segment &seg;
    const bool fast;  // WholeSamplesFast
    const uint32_t shortest;
    const double inverse[2];  // RaisedInverse of the two whole sample lengths, where `fast`

    explicit SampleMeans(const Segment &s)
        : seg(s), fast(WholeSamplesFast(s)), shortest(s.shortest), inverse{s.inverse[0], s.inverse[1]} {}

    // The mean of sample k over its `length` cycles in the segment. A whole
    // sample's (|sum| <= 2^31, length L <= 2^16) is the sum times 1 / L
    // raised by two units in the last place, truncated: exact, and a
    // multiplication where a division would take several times as long.
    // The rounded 1 / L is within half a unit of it, so the raised one is
    // 1 / L times 1 + e, 2^-52.5 < e < 2^-50.6, and the rounded product is
    // sum / L times (1 + e)(1 + d), |d| <= 2^-53: its magnitude lies above
    // |sum / L|, by less than 2^31 * 2^-49.5 = 2^-18.5. A whole quotient
    // therefore truncates to itself, and one that is not whole lies at
    // least 1 / L >= 2^-16 below the next whole magnitude, which the
    // product does not reach.
    int32_t operator()(int64_t sum, uint32_t k, uint64_t length) const {
        if (k != 0 && fast) [[likely]]
            return Whole(sum, static_cast<uint32_t>(length));
        return Other(sum, k, length);
    }

    // The same for a whole sample (k != 0) where `fast` holds.
    int32_t Whole(int64_t sum, uint32_t length) const {
        return static_cast<int32_t>(static_cast<double>(sum) * inverse[length - shortest]);
    }

    // The first sample, and samples too long for the multiplication
    // without a check: out of the runners' loops.
#if defined(__GNUC__)
    __attribute__((noinline, cold))
#endif
    int32_t Other(int64_t sum, uint32_t k, uint64_t length) const {
        return Mean(sum, SampleDivisor(seg, k, length));
    }

    // Adds both sides' means to sample k's lane entries (or the head's, for
    // the first sample). A centred channel has equal sums: one division
    // serves both.
    template <bool Stereo>
    void Add(int32_t &left, int32_t &right, int64_t sumLeft, int64_t sumRight, uint32_t k, uint64_t length) const {
        const int32_t l = (*this)(sumLeft, k, length);
        left += l;
        if (Stereo) right += sumRight == sumLeft ? l : (*this)(sumRight, k, length);
    }
};


// Clears the lanes before the first channel writes per-sample values.
inline void TouchLanes(MixLanes &lanes, uint32_t samples) {
    if (lanes.varies) return;
    lanes.varies = true;
    const size_t bytes = samples * sizeof(int32_t);
    for (int g = 0; g < 2; g++) {
        std::memset(lanes.left[g], 0, bytes);
        if (lanes.stereo && !(g == 0 && lanes.triangleNoiseShared)) std::memset(lanes.right[g], 0, bytes);
    }
}

// Cycles a level holds: all that are left of a countdown before it runs
// out, or for ever.
constexpr uint64_t kHoldsForever = ~uint64_t{0} >> 1;
inline uint64_t TimerHold(int32_t timer) { return timer > 0 ? static_cast<uint64_t>(timer) - 1 : 0; }

// The traits run inside the runner's loops. Where the library compiles as
// one unit (PELRIN_ONE_UNIT) they are defined in it and always inlined;
// compiled file by file, they are ordinary functions.
#if defined(PELRIN_ONE_UNIT) && defined(__GNUC__)
#define PELRIN_HOT_INLINE inline __attribute__((always_inline))
#elif defined(PELRIN_ONE_UNIT)
#define PELRIN_HOT_INLINE inline
#else
#define PELRIN_HOT_INLINE
#endif

// Channel traits for the segment runner (channels/, expansion/).
PELRIN_HOT_INLINE uint64_t Hold(const PulseChannel &c);
PELRIN_HOT_INLINE void Advance(PulseChannel &c, uint32_t n);
PELRIN_HOT_INLINE void Level(const PulseChannel &c, int32_t &left, int32_t &right);
PELRIN_HOT_INLINE uint32_t Integrate(PulseChannel &c, uint32_t n);
PELRIN_HOT_INLINE uint64_t Hold(const TriangleChannel &c);
PELRIN_HOT_INLINE void Advance(TriangleChannel &c, uint32_t n);
PELRIN_HOT_INLINE void Level(const TriangleChannel &c, int32_t &left, int32_t &right);
PELRIN_HOT_INLINE uint32_t Integrate(TriangleChannel &c, uint32_t n);
PELRIN_HOT_INLINE uint64_t Hold(const NoiseChannel &c);
PELRIN_HOT_INLINE void Advance(NoiseChannel &c, uint32_t n);
PELRIN_HOT_INLINE void Level(const NoiseChannel &c, int32_t &left, int32_t &right);
PELRIN_HOT_INLINE uint32_t Integrate(NoiseChannel &c, uint32_t n);
PELRIN_HOT_INLINE uint64_t Hold(const DmcChannel &c);
PELRIN_HOT_INLINE void Advance(DmcChannel &c, uint32_t n);
PELRIN_HOT_INLINE void Level(const DmcChannel &c, int32_t &left, int32_t &right);
PELRIN_HOT_INLINE uint32_t Integrate(DmcChannel &c, uint32_t n);
PELRIN_HOT_INLINE uint64_t Hold(const Vrc6PulseChannel &c);
PELRIN_HOT_INLINE void Advance(Vrc6PulseChannel &c, uint32_t n);
PELRIN_HOT_INLINE void Level(const Vrc6PulseChannel &c, int32_t &left, int32_t &right);
PELRIN_HOT_INLINE uint32_t Integrate(Vrc6PulseChannel &c, uint32_t n);
PELRIN_HOT_INLINE uint64_t Hold(const Vrc6SawChannel &c);
PELRIN_HOT_INLINE void Advance(Vrc6SawChannel &c, uint32_t n);
PELRIN_HOT_INLINE void Level(const Vrc6SawChannel &c, int32_t &left, int32_t &right);
PELRIN_HOT_INLINE uint32_t Integrate(Vrc6SawChannel &c, uint32_t n);
PELRIN_HOT_INLINE uint64_t Hold(const Mmc5PcmChannel &c);
PELRIN_HOT_INLINE void Advance(Mmc5PcmChannel &c, uint32_t n);
PELRIN_HOT_INLINE void Level(const Mmc5PcmChannel &c, int32_t &left, int32_t &right);
PELRIN_HOT_INLINE uint32_t Integrate(Mmc5PcmChannel &c, uint32_t n);


// The Namco 163 runs each of its channels over the samples themselves
// (expansion/n163.cpp); `mixed` is the host's switch of each.
template <bool Stereo>
void RunN163Segment(N163State &s, Segment &seg, MixLanes &lanes, const uint8_t *mixed);

// An active DMC has a runner of its own (channels/dmc.cpp); returns the
// bytes it fetched.
template <bool Stereo, bool Mixed>
uint32_t RunActiveDmcSegment(DmcChannel &c, Segment &seg, MixLanes &lanes);

// So has a running triangle (channels/triangle.cpp).
bool RunsTimerWave(const TriangleChannel &c);
template <bool Stereo, bool Mixed>
void RunTimerWaveSegment(TriangleChannel &c, Segment &seg, MixLanes &lanes);
// And a running VRC6 saw (expansion/vrc6.cpp); both run on RunTimerWave.
bool RunsTimerWave(const Vrc6SawChannel &c);
template <bool Stereo, bool Mixed>
void RunTimerWaveSegment(Vrc6SawChannel &c, Segment &seg, MixLanes &lanes);

// So has a sounding pulse of the 2A03, the MMC5 or the VRC6, while the host
// mixes it (channels/pulse.cpp, expansion/vrc6.cpp). The wave they share:
// from `timer` and `step`, each expiry every `reload` cycles moves the step
// on through 16, the first `highSteps` sounding the levels, the rest their
// negatives. Its sums carried in and out of the segment are the channel's.
struct PulseWave {
    int32_t timer;
    uint32_t step;
    uint32_t highSteps;
    uint64_t reload;
    int64_t levelLeft;
    int64_t levelRight;
};
template <bool Stereo>
void RunPulseWave(const PulseWave &w, Segment &seg, MixLanes &lanes, Sum &carriedLeft, Sum &carriedRight);

bool RunsPulseCrossings(const PulseChannel &c);
template <bool Stereo>
void RunPulseSegment(PulseChannel &c, Segment &seg, MixLanes &lanes);
bool RunsPulseCrossings(const Vrc6PulseChannel &c);
template <bool Stereo>
void RunPulseSegment(Vrc6PulseChannel &c, Segment &seg, MixLanes &lanes);

// The noise has a runner of its own (channels/noise.cpp).
bool RunsTabledNoise(const NoiseChannel &c);
template <bool Stereo, bool Mixed>
void RunTabledNoiseSegment(NoiseChannel &c, Segment &seg, MixLanes &lanes);

// One side of a frame into the host's buffer: 16-bit little-endian, or
// 8-bit offset by 128. Returns the byte after it.
template <bool EightBit>
inline uint8_t *Store(uint8_t *out, int32_t v) {
    if (EightBit) {
        *out++ = static_cast<uint8_t>(((v >> 8) & 0xFF) ^ 0x80);
        return out;
    }
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    const uint16_t word = static_cast<uint16_t>(v);
    std::memcpy(out, &word, 2);
#else
    out[0] = static_cast<uint8_t>(v & 0xFF);
    out[1] = static_cast<uint8_t>((v >> 8) & 0xFF);
#endif
    return out + 2;
}

// A held level for samples [from, to). Eight samples at a time, the level
// masked off past `to` (into the lane's slack): most stretches are a few
// samples long, and a loop that counts them one by one mispredicts its end.
template <bool Stereo>
inline void AddHeld(int32_t *left, int32_t *right, uint32_t from, uint32_t to, int32_t l, int32_t r) {
#if defined(__SSE2__)
    // Eight ones, then eight zeros: from kKeep + 8 - n, n samples are kept.
    alignas(16) static const int32_t kKeep[16] = {-1, -1, -1, -1, -1, -1, -1, -1, 0, 0, 0, 0, 0, 0, 0, 0};
    const __m128i levelLeft = _mm_set1_epi32(l), levelRight = _mm_set1_epi32(r);
    const auto addEight = [&](uint32_t k, __m128i keep0, __m128i keep1) {
        __m128i *const at = reinterpret_cast<__m128i *>(left + k);
        _mm_storeu_si128(at, _mm_add_epi32(_mm_loadu_si128(at), _mm_and_si128(levelLeft, keep0)));
        _mm_storeu_si128(at + 1, _mm_add_epi32(_mm_loadu_si128(at + 1), _mm_and_si128(levelLeft, keep1)));
        if (Stereo) {
            __m128i *const atRight = reinterpret_cast<__m128i *>(right + k);
            _mm_storeu_si128(atRight, _mm_add_epi32(_mm_loadu_si128(atRight), _mm_and_si128(levelRight, keep0)));
            _mm_storeu_si128(atRight + 1,
                             _mm_add_epi32(_mm_loadu_si128(atRight + 1), _mm_and_si128(levelRight, keep1)));
        }
    };
    const __m128i all = _mm_set1_epi32(-1);
    uint32_t k = from;
    for (; k + 8 <= to; k += 8) addEight(k, all, all);
    if (k < to) {
        const int32_t *const keep = kKeep + 8 - (to - k);
        addEight(k, _mm_loadu_si128(reinterpret_cast<const __m128i *>(keep)),
                 _mm_loadu_si128(reinterpret_cast<const __m128i *>(keep + 4)));
    }
#else
    for (uint32_t k = from; k < to; k++) left[k] += l;
    if (Stereo)
        for (uint32_t k = from; k < to; k++) right[k] += r;
#endif
}

template <typename Channel>
inline uint8_t MixLevelOf(const Channel &) { return 0; }
inline uint8_t MixLevelOf(const DmcChannel &c) { return c.mixLevel; }

// Runs a channel over a segment. The channel supplies four functions:
//   Hold(c)         the cycles its level holds from now (no expiry within);
//   Advance(c, n)   moves it n cycles along such a stretch;
//   Level(c, left, right)  that level on each side;
//   Integrate(c, n) the exact integrator, adding to the channel's sums and
//                   returning the cycles its memory fetches stole (DMC).
// Samples within a held stretch take the level as it is; a sample with a
// change in it takes the integrated mean. `group` picks the lane pair;
// `Mixed` is false for a channel the host muted, which still runs but adds
// nothing; `levels` (the DMC only) takes the channel's mix level at each
// boundary. Returns the stolen cycles.
template <bool Stereo, bool Mixed, typename Channel>
uint32_t RunSegment(Channel &c, Segment &seg, MixLanes &lanes, int group, uint8_t *levels) {
    if (seg.samples == 0) return Integrate(c, seg.length);
    const SampleMeans means(seg);
    uint32_t stolen = 0;
    uint32_t k = 0, pos = 0;
    int32_t *left = lanes.left[group];
    int32_t *right = lanes.right[group];
    const uint32_t samples = seg.samples;
    if (seg.carried) {
        // The first sample began before the segment.
        stolen += Integrate(c, seg.end[0]);
        if (Mixed)
            means.Add<Stereo>(lanes.headLeft[group], lanes.headRight[group], c.output.sumLeft, c.output.sumRight, 0,
                              seg.end[0]);
        c.output.sumLeft = c.output.sumRight = 0;
        if (levels) levels[0] = MixLevelOf(c);
        pos = seg.end[0];
        k = 1;
    }
    uint64_t hold = Hold(c);
    if (hold >= seg.last - pos) {
        // One level up to the last boundary.
        int32_t l, r;
        Level(c, l, r);
        Advance(c, seg.last - pos);
        if (Mixed) {
            lanes.constantLeft[group] += l;
            if (Stereo) lanes.constantRight[group] += r;
            if (k == 1) {
                lanes.headLeft[group] -= l;
                if (Stereo) lanes.headRight[group] -= r;
            }
        }
        if (levels) lanes.dmcLevelHeld = MixLevelOf(c);
    } else {
        LayOut(seg);
        if (Mixed) TouchLanes(lanes, samples);
        if (levels) lanes.dmcLevelVaries = true;
        while (k < samples) {
            // The samples that end before the level changes.
            const uint64_t until = pos + hold;
            if (seg.end[k] <= until) {
                int32_t l, r;
                Level(c, l, r);
                const uint32_t from = k;
                k = FirstBoundaryAfter(seg, until, k + 1);
                if (Mixed) AddHeld<Stereo>(left, right, from, k, l, r);
                if (levels) std::memset(levels + from, MixLevelOf(c), k - from);
                Advance(c, seg.end[k - 1] - pos);
                pos = seg.end[k - 1];
                if (k == samples) break;
            }
            // Sample k has a change in it.
            stolen += Integrate(c, seg.end[k] - pos);
            if (Mixed) means.Add<Stereo>(left[k], right[k], c.output.sumLeft, c.output.sumRight, k, seg.end[k] - pos);
            c.output.sumLeft = c.output.sumRight = 0;
            if (levels) levels[k] = MixLevelOf(c);
            pos = seg.end[k++];
            hold = Hold(c);
        }
    }
    // The cycles after the last boundary start the next sample.
    return stolen + Integrate(c, seg.length - seg.last);
}

// Expiries at most this many shortest samples apart run sample by sample
// (RunTimerWave): with a sample's mean a multiplication, that costs less
// than finding where short held stretches end; longer ones are cheaper held.
constexpr uint64_t kSingleStepSamples = 4;

// Runs a channel whose level may move at every expiry of its timer (the
// triangle, the VRC6 saw), its state in locals: `wave.Index()` is the
// level's place in the channel's tables, `wave.Step()` moves it at an
// expiry. Samples without an expiry take the level as it is; the others
// count their sums expiry by expiry. `group` picks the lane pair.
template <bool Stereo, bool Mixed, typename Wave, int Levels>
void RunTimerWave(Wave &channelWave, int32_t &timer, uint64_t reload, ChannelOutput<Levels> &output, Segment &seg,
                  MixLanes &lanes, int group) {
    Wave wave = channelWave;  // a local: the lane stores cannot alias it
    LayOut(seg);
    if (Mixed) TouchLanes(lanes, seg.samples);
    const int16_t *tableLeft = output.levelLeft;
    const int16_t *tableRight = output.levelRight;
    int32_t *left = lanes.left[group];
    int32_t *right = lanes.right[group];
    uint64_t next = timer > 0 ? static_cast<uint64_t>(timer) : 0;  // offset of the next expiry

    // A channel centred in stereo (or in mono) has the same sums on both
    // sides: only the left ones are counted.
    auto body = [&](auto centred) {
        constexpr bool kSame = !Stereo || decltype(centred)::value;
        // Sums over [pos, end), taking every expiry up to and including `end`.
        auto run = [&](uint64_t pos, uint64_t end, int64_t &sumLeft, int64_t &sumRight) {
            while (next <= end) {
                sumLeft += static_cast<int64_t>(tableLeft[wave.Index()]) * static_cast<int64_t>(next - pos);
                if (!kSame) sumRight += static_cast<int64_t>(tableRight[wave.Index()]) * static_cast<int64_t>(next - pos);
                pos = next;
                wave.Step();
                next += reload;
            }
            sumLeft += static_cast<int64_t>(tableLeft[wave.Index()]) * static_cast<int64_t>(end - pos);
            if (!kSame) sumRight += static_cast<int64_t>(tableRight[wave.Index()]) * static_cast<int64_t>(end - pos);
            if (kSame) sumRight = sumLeft;
        };

        const uint32_t samples = seg.samples;
        const SampleMeans means(seg);
        uint64_t pos = 0;
        // The next expiry that may move the level. A wave whose steps may
        // leave it where it is (the saw's every other one) looks ahead.
        auto nextChange = [&]() -> uint64_t {
            if constexpr (!Wave::kSteadySteps) {
                return next;
            } else {
                Wave w = wave;
                const int16_t l = tableLeft[w.Index()], r = tableRight[w.Index()];
                uint64_t at = next;
                for (int i = 0; i < 16; i++, at += reload) {
                    w.Step();
                    if (tableLeft[w.Index()] != l || tableRight[w.Index()] != r) return at;
                }
                return at;
            }
        };
        // Expiries further apart than the longest sample, but not so far
        // apart that most samples hold: each sample has at most one, and
        // takes its mean without the held stretches' search for their end
        // (a wave whose steps may leave its level, the saw, keeps its look
        // ahead).
        const bool singleSteps = !Wave::kSteadySteps && Mixed && samples > 1 && means.fast &&
                                 reload > seg.shortest + 1 && reload <= kSingleStepSamples * uint64_t{seg.shortest};
        auto runSingleSteps = [&] {
            for (uint32_t k = 1; k < samples; k++) {
                const uint32_t end = seg.end[k];
                const bool has = next <= end;
                const uint64_t cut = has ? next : end;
                Wave stepped = wave;
                stepped.Step();
                const int64_t before = static_cast<int64_t>(cut - pos), rest = static_cast<int64_t>(end - cut);
                const uint32_t length = end - static_cast<uint32_t>(pos);
                const int32_t l = means.Whole(static_cast<int64_t>(tableLeft[wave.Index()]) * before +
                                                  static_cast<int64_t>(tableLeft[stepped.Index()]) * rest,
                                              length);
                left[k] += l;
                if (Stereo)
                    right[k] += kSame ? l
                                      : means.Whole(static_cast<int64_t>(tableRight[wave.Index()]) * before +
                                                        static_cast<int64_t>(tableRight[stepped.Index()]) * rest,
                                                    length);
                if (has) wave = stepped;
                next += has ? reload : 0;
                pos = end;
            }
        };
        for (uint32_t k = 0; k < samples; k++) {
            const uint64_t change = k != 0 ? nextChange() : 0;
            if (change > seg.end[k]) {
                // The samples without a change take the level as it is.
                const uint32_t from = k;
                k = FirstBoundaryAfter(seg, change - 1, k + 1);
                if (Mixed) AddHeld<Stereo>(left, right, from, k, tableLeft[wave.Index()], tableRight[wave.Index()]);
                pos = seg.end[k - 1];
                if constexpr (Wave::kSteadySteps) {
                    // The expiries passed, which left the level as it was.
                    for (; next <= pos; next += reload) wave.Step();
                }
                if (k == samples) break;
            }
            const uint32_t end = seg.end[k];
            int64_t sumLeft = 0, sumRight = 0;
            run(pos, end, sumLeft, sumRight);
            if (k == 0) {
                sumLeft += output.sumLeft;
                sumRight += output.sumRight;
            }
            if (Mixed) means.Add<Stereo>(left[k], right[k], sumLeft, sumRight, k, end - pos);
            pos = end;
            if (k == 0 && singleSteps) {
                runSingleSteps();
                break;
            }
        }
        // The cycles after the last boundary start the next sample.
        int64_t sumLeft = 0, sumRight = 0;
        run(pos, seg.length, sumLeft, sumRight);
        output.sumLeft = sumLeft;
        output.sumRight = sumRight;
    };
    if (Stereo && std::memcmp(tableLeft, tableRight, sizeof output.levelLeft) != 0)
        body(std::false_type{});
    else
        body(std::true_type{});
    timer = static_cast<int32_t>(next - seg.length);
    channelWave = wave;
}


}  // namespace pelrin
