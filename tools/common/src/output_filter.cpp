#include "output_filter.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#define PELRIN_CLEARS_UPPER_HALVES 1
#endif

namespace pelrin_render {

OutputFilter::OutputFilter(const FilterSettings &s, int rate, int bits, int channels, bool portable)
    : hp_(s.highPassHz > 0), lp_(s.lowPassHz > 0), portable_(portable), bits_(bits), channels_(channels),
      state_(static_cast<size_t>(channels)) {
    const double dt = 1.0 / rate;
    const double pi = 3.14159265358979323846;
    if (hp_) {
        const double rc = 1.0 / (2 * pi * s.highPassHz);
        hpA_ = rc / (rc + dt);
    }
    if (lp_) {
        const double rc = 1.0 / (2 * pi * std::min(s.lowPassHz, rate * 0.45));
        lpB_ = dt / (rc + dt);
    }
    // The frames in which the difference between two runs from different
    // states shrinks by 2^-64, at the slower filter's rate of forgetting.
    const double keep = std::max(hp_ ? hpA_ : 0.0, lp_ ? 1.0 - lpB_ : 0.0);
    if (keep > 0 && keep < 1) {
        const double frames = std::ceil(64 * std::log(2.0) / -std::log(keep));
        if (frames < 1e9) warmUp_ = static_cast<size_t>(frames);
    }
}

// Rounds to the nearest integer, halves away from zero (as std::lround is
// specified to; some C libraries' lround rounds the doubles just below a
// half up), without a library call per sample: the truncation and the
// fraction it leaves are both exact, so every build rounds alike.
long RoundHalfAway(double y) {
    if (!(std::fabs(y) < 4503599627370496.0)) return std::lround(y); // 2^52: no fraction left
    const long long whole = static_cast<long long>(y);
    const double fraction = y - static_cast<double>(whole);
    // Without branches: which way a sample rounds is anybody's guess.
    return static_cast<long>(whole + (fraction >= 0.5) - (fraction <= -0.5));
}

namespace {

inline double ReadSample(const uint8_t *data, size_t i, bool eightBit) {
    if (eightBit) return (data[i] - 128.0) * 256.0;
    return static_cast<int16_t>(static_cast<uint16_t>(data[2 * i] | (data[2 * i + 1] << 8)));
}

inline void WriteSample(uint8_t *data, size_t i, bool eightBit, double y) {
    const long v = std::clamp(RoundHalfAway(y), -32768L, 32767L);
    if (eightBit) {
        data[i] = static_cast<uint8_t>(std::clamp((v + 32768 + 128) >> 8, 0L, 255L));
    } else {
        data[2 * i] = static_cast<uint8_t>(v & 0xFF);
        data[2 * i + 1] = static_cast<uint8_t>((v >> 8) & 0xFF);
    }
}

} // namespace

namespace {

// One channel's filter state, held in registers while a buffer runs.
struct Lane {
    double lastIn, high, low;
};

template <bool HighPass, bool LowPass>
inline double Step(Lane &lane, double x, double hpA, double lpB) {
    double y = x;
    if (HighPass) {
        lane.high = hpA * (lane.high + x - lane.lastIn);
        lane.lastIn = x;
        y = lane.high;
    }
    if (LowPass) {
        lane.low += lpB * (y - lane.low);
        y = lane.low;
    }
    return y;
}

} // namespace

// The first sample a channel sees is its resting level.
template <int Channels, bool EightBit>
void OutputFilter::start(const uint8_t *in, size_t samples) {
    for (int c = 0; c < Channels; c++) {
        if (!state_[c].started && static_cast<size_t>(c) < samples) {
            state_[c].lastIn = ReadSample(in, c, EightBit);
            state_[c].started = true;
        }
    }
}

// Each channel's filter state runs in locals for the whole buffer (the
// channels' recurrences then overlap instead of waiting on memory).
template <int Channels, bool HighPass, bool LowPass, bool EightBit>
void OutputFilter::run(const uint8_t *in, uint8_t *out, size_t samples) {
    start<Channels, EightBit>(in, samples);
    const double hpA = hpA_, lpB = lpB_;
    Lane first{state_[0].lastIn, state_[0].high, state_[0].low};
    Lane second{};
    if (Channels == 2) second = Lane{state_[1].lastIn, state_[1].high, state_[1].low};
    // Each buffer starts at the first channel.
    const size_t whole = samples - samples % Channels;
    for (size_t i = 0; i < whole; i += Channels) {
        WriteSample(out, i, EightBit, Step<HighPass, LowPass>(first, ReadSample(in, i, EightBit), hpA, lpB));
        if (Channels == 2)
            WriteSample(out, i + 1, EightBit,
                        Step<HighPass, LowPass>(second, ReadSample(in, i + 1, EightBit), hpA, lpB));
    }
    if (whole != samples)
        WriteSample(out, whole, EightBit, Step<HighPass, LowPass>(first, ReadSample(in, whole, EightBit), hpA, lpB));
    state_[0].lastIn = first.lastIn;
    state_[0].high = first.high;
    state_[0].low = first.low;
    if (Channels == 2) {
        state_[1].lastIn = second.lastIn;
        state_[1].high = second.high;
        state_[1].low = second.low;
    }
}

#if defined(__SSE2__)

namespace {

// Samples filtered into doubles before they are rounded and stored; even,
// so every block starts at the first channel.
constexpr size_t kBlock = 512;

// Two results rounded as RoundHalfAway rounds, in the two low 32-bit lanes.
// Clamping to +-65536 first keeps the truncation within 32 bits and changes
// nothing after the clamp to 16 bits (rounding never reorders values).
// Adding c = 1/2 - 2^-54 with y's sign and truncating rounds halves away
// from zero: for y >= 0 with n = floor(y + 1/2), y + c lies in
// [n - 2^-54, n + 1 - 2^-54). It stays below the midpoint under n + 1,
// which is at least 2^-54 further up (y <= n + 1/2 less a unit of y, and
// the units under n + 1 are no finer). Below n it lies only where
// y = n - 1/2 exactly (y >= 1/2 has units of 2^-53 or more), and then
// rounds up to n: it is the midpoint under 1, which rounds to the even 1,
// or nearer to n than half a unit. Negative y is the mirror image.
inline __m128i RoundPair(__m128d y) {
    y = _mm_min_pd(_mm_max_pd(y, _mm_set1_pd(-65536.0)), _mm_set1_pd(65536.0));
    const __m128d sign = _mm_and_pd(y, _mm_set1_pd(-0.0));
    return _mm_cvttpd_epi32(_mm_add_pd(y, _mm_or_pd(sign, _mm_set1_pd(0.49999999999999994))));
}

// Eight results rounded and saturated to 16 bits, as WriteSample clamps them.
inline __m128i Round8(const double *y) {
    const __m128i a = _mm_unpacklo_epi64(RoundPair(_mm_load_pd(y)), RoundPair(_mm_load_pd(y + 2)));
    const __m128i b = _mm_unpacklo_epi64(RoundPair(_mm_load_pd(y + 4)), RoundPair(_mm_load_pd(y + 6)));
    return _mm_packs_epi32(a, b);
}

// 16-bit samples to 8-bit ones: (v + 32768 + 128) >> 8, at most 255. The
// offset makes them unsigned; the sum saturates just where 255 is reached.
inline __m128i ToEightBit(__m128i v) {
    const __m128i offset = _mm_xor_si128(v, _mm_set1_epi16(static_cast<int16_t>(0x8000)));
    return _mm_srli_epi16(_mm_adds_epu16(offset, _mm_set1_epi16(128)), 8);
}

// The two samples of a stereo frame as doubles, exactly as ReadSample gives them.
template <bool EightBit>
inline __m128d ReadFrame(const uint8_t *in, size_t frame) {
    __m128i v;
    if (EightBit) {
        uint16_t bytes;
        std::memcpy(&bytes, in + 2 * frame, 2);
        const __m128i zero = _mm_setzero_si128();
        v = _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(bytes), zero), zero);
        v = _mm_slli_epi32(_mm_sub_epi32(v, _mm_set1_epi32(128)), 8);
    } else {
        int32_t bytes;
        std::memcpy(&bytes, in + 4 * frame, 4);
        v = _mm_cvtsi32_si128(bytes);
        v = _mm_srai_epi32(_mm_unpacklo_epi16(v, v), 16);
    }
    return _mm_cvtepi32_pd(v);
}

// Both channels' filter state, one register per value.
struct StereoLanes {
    __m128d lastIn, high, low;
};

// One step of the recurrences on the values x (two lanes), as Step takes
// it; returns the filtered values.
template <bool HighPass, bool LowPass>
inline __m128d Recur(StereoLanes &s, __m128d x, __m128d hpA, __m128d lpB) {
    __m128d v = x;
    if (HighPass) {
        s.high = _mm_mul_pd(hpA, _mm_sub_pd(_mm_add_pd(s.high, x), s.lastIn));
        s.lastIn = x;
        v = s.high;
    }
    if (LowPass) {
        s.low = _mm_add_pd(s.low, _mm_mul_pd(lpB, _mm_sub_pd(v, s.low)));
        v = s.low;
    }
    return v;
}

// Filters frame f of src into frame f of dst (where Store), as the plain
// path does: both channels' recurrences in one register, the same
// operations in the same order, so every bit is the same.
template <bool HighPass, bool LowPass, bool EightBit, bool Store = true>
inline void StepFrame(StereoLanes &s, const uint8_t *src, uint8_t *dst, size_t f, __m128d hpA, __m128d lpB) {
    const __m128d v = Recur<HighPass, LowPass>(s, ReadFrame<EightBit>(src, f), hpA, lpB);
    if (!Store) return;
    // Each frame is rounded and stored in the same loop: the recurrence
    // waits on the frame before, and the rounding, which nothing waits on,
    // fills that time.
    const __m128i words = _mm_packs_epi32(RoundPair(v), RoundPair(v));
    if (EightBit) {
        const __m128i eight = ToEightBit(words);
        const auto two = static_cast<uint16_t>(_mm_cvtsi128_si32(_mm_packus_epi16(eight, eight)));
        std::memcpy(dst + 2 * f, &two, 2);
    } else {
        const int32_t four = _mm_cvtsi128_si32(words);
        std::memcpy(dst + 4 * f, &four, 4);
    }
}

// Frames [from, to).
template <bool HighPass, bool LowPass, bool EightBit>
void StepFrames(StereoLanes &s, const uint8_t *src, uint8_t *dst, size_t from, size_t to, __m128d hpA, __m128d lpB) {
    for (size_t f = from; f < to; f++) StepFrame<HighPass, LowPass, EightBit>(s, src, dst, f, hpA, lpB);
}

inline bool SameBits(__m128d a, __m128d b) {
    return _mm_movemask_epi8(_mm_cmpeq_epi32(_mm_castpd_si128(a), _mm_castpd_si128(b))) == 0xFFFF;
}

// Frames [0, frames) as two recurrences at once, each waiting only on its
// own frame before: the first from the true state up to `split`, the
// second from a guessed state `warmUp` frames before `split` to the end.
// The filter forgets its state: in `warmUp` frames a guess off by less
// than 2^17 comes within 2^-47, below half a unit in the last place of the
// sums it meets where the input is 2^6 or more, and the two runs then
// mostly agree bit for bit. Whether they do is checked: where the second
// run's state at `split` is the true one, its frames are the true ones
// too; where it is not, those frames run again from the true state.
// Returns whether the guess held. The input must not be the output: a
// frame run again reads its input again.
//
// A Pair runs the two: Guess(start) sets the second's state before frame
// `start`; Both<Store>(f, g) runs the first at frame f and the second at
// frame g, storing the second's where Store; Second(g) and First(g) run one
// of them; Saved() is the second's state, SameState(saved) whether the
// first's equals it, and Keep(second) leaves the one kept as the first.
template <typename Pair>
bool RunSplit(Pair &pair, size_t frames, size_t warmUp) {
    const size_t split = (frames + warmUp) / 2, start = split - warmUp;
    pair.Guess(start);
    for (size_t f = 0; f < warmUp; f++) pair.template Both<false>(f, start + f);
    const auto guessed = pair.Saved();
    for (size_t f = warmUp, g = split; f < split; f++, g++) pair.template Both<true>(f, g);
    for (size_t g = split + (split - warmUp); g < frames; g++) pair.Second(g);
    const bool held = pair.SameState(guessed);
    pair.Keep(held);
    if (!held)
        for (size_t g = split; g < frames; g++) pair.First(g);
    return held;
}

// Stereo: each run both channels in a register of its own.
template <bool HighPass, bool LowPass, bool EightBit>
struct StereoPair {
    StereoLanes first, second;
    const uint8_t *src;
    uint8_t *dst;
    __m128d hpA, lpB;

    void Guess(size_t start) {
        // The high-pass output hovers around zero; the low-pass one follows its input.
        const __m128d before = ReadFrame<EightBit>(src, start - 1);
        second = StereoLanes{before, _mm_setzero_pd(), HighPass ? _mm_setzero_pd() : before};
    }
    template <bool Store>
    void Both(size_t f, size_t g) {
        StepFrame<HighPass, LowPass, EightBit>(first, src, dst, f, hpA, lpB);
        StepFrame<HighPass, LowPass, EightBit, Store>(second, src, dst, g, hpA, lpB);
    }
    void Second(size_t g) { StepFrame<HighPass, LowPass, EightBit>(second, src, dst, g, hpA, lpB); }
    void First(size_t g) { StepFrame<HighPass, LowPass, EightBit>(first, src, dst, g, hpA, lpB); }
    StereoLanes Saved() const { return second; }
    bool SameState(const StereoLanes &s) const {
        return SameBits(first.lastIn, s.lastIn) && SameBits(first.high, s.high) && SameBits(first.low, s.low);
    }
    void Keep(bool takeSecond) {
        if (takeSecond) first = second;
    }
};

// Mono: the two runs in the two halves of one register, the first in the low one.
template <bool HighPass, bool LowPass, bool EightBit>
struct MonoPair {
    StereoLanes both;
    const uint8_t *src;
    uint8_t *dst;
    __m128d hpA, lpB;
    double hpA1, lpB1;

    static double Low(__m128d v) { return _mm_cvtsd_f64(v); }
    static double High(__m128d v) { return _mm_cvtsd_f64(_mm_unpackhi_pd(v, v)); }
    Lane Part(bool second) const {
        return second ? Lane{High(both.lastIn), High(both.high), High(both.low)}
                      : Lane{Low(both.lastIn), Low(both.high), Low(both.low)};
    }
    void Put(const Lane &l, bool second) {
        const auto put = [second](__m128d &v, double d) {
            v = second ? _mm_unpacklo_pd(v, _mm_set_sd(d)) : _mm_move_sd(v, _mm_set_sd(d));
        };
        put(both.lastIn, l.lastIn);
        put(both.high, l.high);
        put(both.low, l.low);
    }
    void One(bool second, size_t g) {
        Lane l = Part(second);
        WriteSample(dst, g, EightBit, Step<HighPass, LowPass>(l, ReadSample(src, g, EightBit), hpA1, lpB1));
        Put(l, second);
    }

    void Guess(size_t start) {
        const double before = ReadSample(src, start - 1, EightBit);
        Put(Lane{before, 0.0, HighPass ? 0.0 : before}, true);
    }
    template <bool Store>
    void Both(size_t f, size_t g) {
        const __m128d x = _mm_set_pd(ReadSample(src, g, EightBit), ReadSample(src, f, EightBit));
        const __m128d v = Recur<HighPass, LowPass>(both, x, hpA, lpB);
        __m128i words = _mm_packs_epi32(RoundPair(v), RoundPair(v));
        if (EightBit) words = ToEightBit(words);
        const auto two = static_cast<uint32_t>(_mm_cvtsi128_si32(words));
        if (EightBit) {
            dst[f] = static_cast<uint8_t>(two);
            if (Store) dst[g] = static_cast<uint8_t>(two >> 16);
        } else {
            const auto a = static_cast<uint16_t>(two), b = static_cast<uint16_t>(two >> 16);
            std::memcpy(dst + 2 * f, &a, 2);
            if (Store) std::memcpy(dst + 2 * g, &b, 2);
        }
    }
    void Second(size_t g) { One(true, g); }
    void First(size_t g) { One(false, g); }
    Lane Saved() const { return Part(true); }
    bool SameState(const Lane &s) const {
        const Lane f = Part(false);
        return std::memcmp(&f, &s, sizeof f) == 0;
    }
    void Keep(bool takeSecond) {
        if (takeSecond) Put(Part(true), false);
    }
};

#if defined(PELRIN_CLEARS_UPPER_HALVES)

// Whether the processor has AVX: its builds of the filter's long buffers
// run four recurrences at once (RunFour), and the filter clears the
// upper halves of its registers (ClearUpperHalves).
bool HasAvx() {
    static const bool avx = (__builtin_cpu_init(), __builtin_cpu_supports("avx") != 0);
    return avx;
}

// Four runs of a 16-bit stereo filter go in two AVX registers, two runs
// each (both channels of one, then of the next), with the same operations
// on the same values as StepFrame, so every bit is the same.

// Frames f and g (the register's two runs) as doubles.
__attribute__((target("avx"))) inline __m256d ReadTwoFrames(const uint8_t *src, size_t f, size_t g) {
    int32_t a, b;
    std::memcpy(&a, src + 4 * f, 4);
    std::memcpy(&b, src + 4 * g, 4);
    return _mm256_cvtepi32_pd(_mm_cvtepi16_epi32(_mm_insert_epi32(_mm_cvtsi32_si128(a), b, 1)));
}

// Recur on four lanes.
template <bool HighPass, bool LowPass>
__attribute__((target("avx"))) inline __m256d RecurFour(__m256d &lastIn, __m256d &high, __m256d &low, __m256d x,
                                                        __m256d hpA, __m256d lpB) {
    __m256d v = x;
    if (HighPass) {
        high = _mm256_mul_pd(hpA, _mm256_sub_pd(_mm256_add_pd(high, x), lastIn));
        lastIn = x;
        v = high;
    }
    if (LowPass) {
        low = _mm256_add_pd(low, _mm256_mul_pd(lpB, _mm256_sub_pd(v, low)));
        v = low;
    }
    return v;
}

// Four values rounded as RoundPair rounds and saturated to 16 bits, in the
// low four words. Without its clamp: the filters' outputs stay far below
// 2^31 (the high-pass's within twice the input's range), where the
// truncation is exact and the packing saturates as the clamp would.
__attribute__((target("avx"))) inline __m128i RoundFour(__m256d v) {
    const __m256d sign = _mm256_and_pd(v, _mm256_set1_pd(-0.0));
    const __m128i whole = _mm256_cvttpd_epi32(_mm256_add_pd(v, _mm256_or_pd(sign, _mm256_set1_pd(0.49999999999999994))));
    return _mm_packs_epi32(whole, whole);
}

// One frame of each of a register's two runs, at f and at g, stored where
// StoreFirst and StoreSecond.
template <bool HighPass, bool LowPass, bool StoreFirst, bool StoreSecond>
__attribute__((target("avx"))) inline void StepTwo(__m256d &lastIn, __m256d &high, __m256d &low,
                                                   const uint8_t *src, uint8_t *dst, size_t f, size_t g, __m256d hpA,
                                                   __m256d lpB) {
    const __m128i words =
        RoundFour(RecurFour<HighPass, LowPass>(lastIn, high, low, ReadTwoFrames(src, f, g), hpA, lpB));
    if (StoreFirst) {
        const int32_t first = _mm_cvtsi128_si32(words);
        std::memcpy(dst + 4 * f, &first, 4);
    }
    if (StoreSecond) {
        const int32_t second = _mm_extract_epi32(words, 1);
        std::memcpy(dst + 4 * g, &second, 4);
    }
}

// Half r % 2 of v.
__attribute__((target("avx"))) inline __m128d Half(__m256d v, int r) {
    return r % 2 ? _mm256_extractf128_pd(v, 1) : _mm256_castpd256_pd128(v);
}

// v with half r % 2 replaced by x.
__attribute__((target("avx"))) inline __m256d WithHalf(__m256d v, __m128d x, int r) {
    return r % 2 ? _mm256_insertf128_pd(v, x, 1) : _mm256_insertf128_pd(v, x, 0);
}

// RunSplit with four runs: the first from the true state, each other from
// a guess `warmUp` frames before its part. Each iteration steps all four,
// so a buffer takes about (frames + 3 warmUp) / 4 of them. The parts are
// checked in order: where a run's state where its part begins differs
// from the true one, its part runs again from that. Returns whether every
// guess held; runs.truth is left with the true state at the end.
//
// Four holds the runs: Guess(r, at) sets run r's state from a guess before
// frame `at`; Advance<StoreRest>(at) steps run r at frame at[r], storing the
// first run's frame and, where StoreRest, the others'; Get(r) is run r's
// State; Serial(state, from, to) runs one from a state over frames [from,
// to), storing them; Same(a, b) compares two States bit for bit.
template <typename Four>
__attribute__((target("avx"))) bool RunFour(Four &runs, size_t frames, size_t warmUp) {
    using State = typename Four::State;
    Four four = runs;  // a local, held in registers: the stores cannot change it
    const size_t iterations = (frames + 3 * warmUp + 3) / 4, part = iterations - warmUp;
    // Run r (1..3) sounds frames [begin[r], begin[r] + part), the last one up to `frames`.
    const size_t begin[4] = {0, iterations, iterations + part, iterations + 2 * part};
    const size_t over = begin[3] + part - frames;  // the last run's iterations past the end (0..3)
    for (int r = 1; r < 4; r++) four.Guess(r, begin[r] - warmUp);
    for (size_t i = 0; i < warmUp; i++) {
        const size_t at[4] = {i, begin[1] - warmUp + i, begin[2] - warmUp + i, begin[3] - warmUp + i};
        four.template Advance<false>(at);
    }
    State guessed[4];
    for (int r = 1; r < 4; r++) guessed[r] = four.Get(r);
    size_t i = warmUp;
    for (; i < iterations - over; i++) {
        const size_t k = i - warmUp;
        const size_t at[4] = {i, begin[1] + k, begin[2] + k, begin[3] + k};
        four.template Advance<true>(at);
    }
    State run[4];
    for (int r = 0; r < 4; r++) run[r] = four.Get(r);
    // The last iterations of the first three runs, past the end of the fourth.
    for (int r = 0; r < 3; r++) {
        const size_t from = r == 0 ? i : begin[r] + (i - warmUp);
        four.Serial(run[r], from, from + over);
    }
    // The parts in order, each checked against the true state where it begins.
    bool held = true;
    State truth = run[0];
    for (int r = 1; r < 4; r++) {
        if (Four::Same(truth, guessed[r])) {
            truth = run[r];
        } else {
            held = false;
            four.Serial(truth, begin[r], r == 3 ? frames : begin[r] + part);
        }
    }
    runs.truth = truth;
    return held;
}

// 16-bit stereo: two runs in each of two registers.
template <bool HighPass, bool LowPass>
struct StereoFour {
    using State = StereoLanes;
    const uint8_t *src;
    uint8_t *dst;
    double hpA, lpB;
    __m256d lastIn[2], high[2], low[2];
    State truth;

    __attribute__((target("avx"))) StereoFour(const State &s, const uint8_t *in, uint8_t *out, double a, double b)
        : src(in), dst(out), hpA(a), lpB(b), truth(s) {
        for (int g = 0; g < 2; g++) lastIn[g] = high[g] = low[g] = _mm256_setzero_pd();
        Set(0, s);
    }
    __attribute__((target("avx"))) void Set(int r, const State &s) {
        lastIn[r / 2] = WithHalf(lastIn[r / 2], s.lastIn, r);
        high[r / 2] = WithHalf(high[r / 2], s.high, r);
        low[r / 2] = WithHalf(low[r / 2], s.low, r);
    }
    __attribute__((target("avx"))) void Guess(int r, size_t at) {
        // The high-pass output hovers around zero; the low-pass one follows its input.
        const __m128d before = ReadFrame<false>(src, at - 1);
        Set(r, State{before, _mm_setzero_pd(), HighPass ? _mm_setzero_pd() : before});
    }
    template <bool StoreRest>
    __attribute__((target("avx"))) void Advance(const size_t (&at)[4]) {
        const __m256d a = _mm256_set1_pd(hpA), b = _mm256_set1_pd(lpB);
        StepTwo<HighPass, LowPass, true, StoreRest>(lastIn[0], high[0], low[0], src, dst, at[0], at[1], a, b);
        StepTwo<HighPass, LowPass, StoreRest, StoreRest>(lastIn[1], high[1], low[1], src, dst, at[2], at[3], a, b);
    }
    __attribute__((target("avx"))) State Get(int r) const {
        return State{Half(lastIn[r / 2], r), Half(high[r / 2], r), Half(low[r / 2], r)};
    }
    void Serial(State &s, size_t from, size_t to) const {
        StepFrames<HighPass, LowPass, false>(s, src, dst, from, to, _mm_set1_pd(hpA), _mm_set1_pd(lpB));
    }
    static bool Same(const State &x, const State &y) {
        return SameBits(x.lastIn, y.lastIn) && SameBits(x.high, y.high) && SameBits(x.low, y.low);
    }
};

// 16-bit mono: the four runs in the four lanes of one register.
template <bool HighPass, bool LowPass>
struct MonoFour {
    using State = Lane;
    const uint8_t *src;
    uint8_t *dst;
    double hpA, lpB;
    __m256d lastIn, high, low;
    State truth;

    __attribute__((target("avx"))) MonoFour(const State &s, const uint8_t *in, uint8_t *out, double a, double b)
        : src(in), dst(out), hpA(a), lpB(b), lastIn(_mm256_setzero_pd()), high(lastIn), low(lastIn), truth(s) {
        Set(0, s);
    }
    __attribute__((target("avx"))) void Set(int r, const State &s) {
        alignas(32) double v[3][4];
        _mm256_store_pd(v[0], lastIn);
        _mm256_store_pd(v[1], high);
        _mm256_store_pd(v[2], low);
        v[0][r] = s.lastIn;
        v[1][r] = s.high;
        v[2][r] = s.low;
        lastIn = _mm256_load_pd(v[0]);
        high = _mm256_load_pd(v[1]);
        low = _mm256_load_pd(v[2]);
    }
    __attribute__((target("avx"))) void Guess(int r, size_t at) {
        const double before = ReadSample(src, at - 1, false);
        Set(r, State{before, 0.0, HighPass ? 0.0 : before});
    }
    template <bool StoreRest>
    __attribute__((target("avx"))) void Advance(const size_t (&at)[4]) {
        const auto sample = [this](size_t i) {
            int16_t v;
            std::memcpy(&v, src + 2 * i, 2);
            return static_cast<int32_t>(v);
        };
        const __m256d x = _mm256_cvtepi32_pd(_mm_set_epi32(sample(at[3]), sample(at[2]), sample(at[1]), sample(at[0])));
        const __m128i words = RoundFour(RecurFour<HighPass, LowPass>(lastIn, high, low, x, _mm256_set1_pd(hpA),
                                                                     _mm256_set1_pd(lpB)));
        const auto put = [this](size_t i, int word) {
            const auto w = static_cast<uint16_t>(word);
            std::memcpy(dst + 2 * i, &w, 2);
        };
        put(at[0], _mm_extract_epi16(words, 0));
        if (StoreRest) {
            put(at[1], _mm_extract_epi16(words, 1));
            put(at[2], _mm_extract_epi16(words, 2));
            put(at[3], _mm_extract_epi16(words, 3));
        }
    }
    __attribute__((target("avx"))) State Get(int r) const {
        alignas(32) double v[3][4];
        _mm256_store_pd(v[0], lastIn);
        _mm256_store_pd(v[1], high);
        _mm256_store_pd(v[2], low);
        return State{v[0][r], v[1][r], v[2][r]};
    }
    void Serial(State &s, size_t from, size_t to) const {
        for (size_t i = from; i < to; i++)
            WriteSample(dst, i, false, Step<HighPass, LowPass>(s, ReadSample(src, i, false), hpA, lpB));
    }
    static bool Same(const State &x, const State &y) { return std::memcmp(&x, &y, sizeof x) == 0; }
};

#endif

} // namespace

// Whether a buffer runs as several recurrences (RunSplit, RunFour). After
// a guess that failed, the next buffers go without, one after the first
// failure, twice as many after each further one in a row, at most 16: a
// guess fails now and then on music (about one in 200 buffers), and
// always where the filter remembers its state for long (silence at zero,
// where the state only decays).
bool OutputFilter::splits(const uint8_t *in, const uint8_t *out, size_t frames) {
    if (skipSplits_ > 0) {
        skipSplits_--;
        return false;
    }
    return in != out && warmUp_ != 0 && frames >= 3 * warmUp_;
}

void OutputFilter::splitHeld(bool held) {
    failedSplits_ = held ? 0 : failedSplits_ < 4 ? failedSplits_ + 1 : 4;
    skipSplits_ = held ? 0 : 1 << (failedSplits_ - 1);
}

// The same filter with SSE2. Long buffers into another buffer run as two
// recurrences (RunSplit). Stereo: both channels' recurrences in one
// register. Mono: otherwise the recurrence into doubles a block at a time,
// then the rounding, clamping and storing eight or sixteen samples at a time.
template <int Channels, bool HighPass, bool LowPass, bool EightBit>
void OutputFilter::runPacked(const uint8_t *in, uint8_t *out, size_t samples) {
    start<Channels, EightBit>(in, samples);
    const double hpA = hpA_, lpB = lpB_;
    const size_t sampleBytes = EightBit ? 1 : 2;
    const __m128d hpA2 = _mm_set1_pd(hpA), lpB2 = _mm_set1_pd(lpB);
    if (Channels == 2) {
        StereoLanes s{_mm_set_pd(state_[1].lastIn, state_[0].lastIn), _mm_set_pd(state_[1].high, state_[0].high),
                      _mm_set_pd(state_[1].low, state_[0].low)};
        const size_t frames = samples / 2;
        if (splits(in, out, frames)) {
#if defined(PELRIN_CLEARS_UPPER_HALVES)
            if (!EightBit && HasAvx()) {
                StereoFour<HighPass, LowPass> four(s, in, out, hpA, lpB);
                splitHeld(RunFour(four, frames, warmUp_));
                s = four.truth;
            } else
#endif
            {
                StereoPair<HighPass, LowPass, EightBit> pair{s, {}, in, out, hpA2, lpB2};
                splitHeld(RunSplit(pair, frames, warmUp_));
                s = pair.first;
            }
        } else {
            StepFrames<HighPass, LowPass, EightBit>(s, in, out, 0, frames, hpA2, lpB2);
        }
        if (samples % 2) {
            // An odd buffer ends with a sample of the first channel.
            Lane first{_mm_cvtsd_f64(s.lastIn), _mm_cvtsd_f64(s.high), _mm_cvtsd_f64(s.low)};
            WriteSample(out, samples - 1, EightBit,
                        Step<HighPass, LowPass>(first, ReadSample(in, samples - 1, EightBit), hpA, lpB));
            s.lastIn = _mm_move_sd(s.lastIn, _mm_set_sd(first.lastIn));
            s.high = _mm_move_sd(s.high, _mm_set_sd(first.high));
            s.low = _mm_move_sd(s.low, _mm_set_sd(first.low));
        }
        state_[0] = State{_mm_cvtsd_f64(s.lastIn), _mm_cvtsd_f64(s.high), _mm_cvtsd_f64(s.low), state_[0].started};
        const auto upper = [](__m128d v) { return _mm_cvtsd_f64(_mm_unpackhi_pd(v, v)); };
        state_[1] = State{upper(s.lastIn), upper(s.high), upper(s.low), state_[1].started};
        return;
    }
    Lane first{state_[0].lastIn, state_[0].high, state_[0].low};
#if defined(PELRIN_CLEARS_UPPER_HALVES)
    if (!EightBit && HasAvx() && splits(in, out, samples)) {
        MonoFour<HighPass, LowPass> four(first, in, out, hpA, lpB);
        splitHeld(RunFour(four, samples, warmUp_));
        state_[0] = State{four.truth.lastIn, four.truth.high, four.truth.low, state_[0].started};
        return;
    }
#endif
    if (splits(in, out, samples)) {
        MonoPair<HighPass, LowPass, EightBit> pair{{}, in, out, hpA2, lpB2, hpA, lpB};
        pair.Put(first, false);
        splitHeld(RunSplit(pair, samples, warmUp_));
        first = pair.Part(false);
        samples = 0;
    }
    alignas(16) double y[kBlock];
    for (size_t begin = 0; begin < samples; begin += kBlock) {
        const size_t n = std::min(kBlock, samples - begin);
        const uint8_t *src = in + begin * sampleBytes;
        uint8_t *dst = out + begin * sampleBytes;
        for (size_t i = 0; i < n; i++) y[i] = Step<HighPass, LowPass>(first, ReadSample(src, i, EightBit), hpA, lpB);
        size_t i = 0;
        if (EightBit) {
            for (; i + 16 <= n; i += 16)
                _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i),
                                 _mm_packus_epi16(ToEightBit(Round8(y + i)), ToEightBit(Round8(y + i + 8))));
        } else {
            for (; i + 8 <= n; i += 8) _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + 2 * i), Round8(y + i));
        }
        for (; i < n; i++) WriteSample(dst, i, EightBit, y[i]);
    }
    state_[0] = State{first.lastIn, first.high, first.low, state_[0].started};
}

#else

template <int Channels, bool HighPass, bool LowPass, bool EightBit>
void OutputFilter::runPacked(const uint8_t *in, uint8_t *out, size_t samples) {
    run<Channels, HighPass, LowPass, EightBit>(in, out, samples);
}

#endif

template <int Channels, bool HighPass, bool LowPass>
void OutputFilter::runFormat(const uint8_t *in, uint8_t *out, size_t samples) {
    if (portable_) {
        if (bits_ == 8) run<Channels, HighPass, LowPass, true>(in, out, samples);
        else run<Channels, HighPass, LowPass, false>(in, out, samples);
    } else {
        if (bits_ == 8) runPacked<Channels, HighPass, LowPass, true>(in, out, samples);
        else runPacked<Channels, HighPass, LowPass, false>(in, out, samples);
    }
}

template <int Channels>
void OutputFilter::runChannels(const uint8_t *in, uint8_t *out, size_t samples) {
    if (hp_ && lp_) runFormat<Channels, true, true>(in, out, samples);
    else if (hp_) runFormat<Channels, true, false>(in, out, samples);
    else runFormat<Channels, false, true>(in, out, samples);
}

namespace {

#if defined(PELRIN_CLEARS_UPPER_HALVES)
__attribute__((target("avx"))) void ZeroUpperHalves() { _mm256_zeroupper(); }

// Where the processor has AVX registers, marks their upper halves unused,
// one instruction per buffer. On a thread that a thread on another core
// had just woken (seen in a virtual machine), the filter's SSE loop ran two
// to three and a half times as long until they were.
void ClearUpperHalves() {
    if (HasAvx()) ZeroUpperHalves();
}
#else
void ClearUpperHalves() {}
#endif

} // namespace

void OutputFilter::process(const uint8_t *in, uint8_t *out, size_t bytes) {
    if (!hp_ && !lp_) {
        if (in != out) std::memcpy(out, in, bytes);
        return;
    }
    ClearUpperHalves();
    const size_t samples = bytes / (bits_ == 8 ? 1 : 2);
    if (channels_ == 2) runChannels<2>(in, out, samples);
    else runChannels<1>(in, out, samples);
}

void FilterSink::write(const uint8_t *data, size_t bytes) {
    // Grows only: the filter writes every byte it is given.
    if (buffer_.size() < bytes) buffer_.resize(bytes);
    filter_.process(data, buffer_.data(), bytes);
    next_.write(buffer_.data(), bytes);
}

} // namespace pelrin_render
