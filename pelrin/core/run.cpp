// The run loop: cuts a span of CPU cycles into slices that end at the next
// frame-sequencer step or output-sample boundary and runs every channel over
// each slice.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
// The mix's AVX2 loop, chosen at run time: GCC and Clang on x86.
#if defined(__SSE2__) && defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__)) && \
    defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define PELRIN_WIDE_MIX 1
#include <immintrin.h>
#endif

#include "pelrin.h"
#include "frame/instance.h"
#include "frame/state.h"
#include "core/segment.h"

using namespace pelrin;

namespace pelrin {

namespace {

// Runs every integrator over one slice; returns the DMC's fetched bytes.
// The integrators are inlined here (the library is one translation unit):
// a slice is usually one sample long and most of them add one level.
#if defined(__GNUC__)
__attribute__((flatten))
#endif
uint32_t IntegrateSlice(ApuState &apu, uint32_t n) {
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

// The planned path. While a countdown and its period are multiples of
// 2^-shift and stay below 2^(24 - shift) (true of every clock and rate a
// host sets in practice), subtracting whole cycles from it and adding the
// period back are exact in f32, so the countdowns are integers in fixed
// point and every sample boundary and step of a span is known in advance:
// sample j of a span ends at ceil(countdown + j * period).
struct FixedCountdown {
    int64_t count;   // the countdown times 2^shift
    int64_t period;  // the period times 2^shift
    int shift;
};

bool ToFixed(float countdown, float period, FixedCountdown &f) {
    if (!(countdown > 0.0f) || !(period >= 1.0f)) return false;
    const float larger = countdown > period ? countdown : period;
    if (!(larger < 16777216.0f)) return false;
    // larger < 2^exponent, read from the float's exponent field (larger >= 1).
    uint32_t bits;
    std::memcpy(&bits, &larger, sizeof bits);
    const int exponent = static_cast<int>((bits >> 23) & 0xFF) - 126;
    f.shift = 24 - exponent;
    const double scale = static_cast<double>(int64_t{1} << f.shift);
    const double count = static_cast<double>(countdown) * scale;
    const double periodFixed = static_cast<double>(period) * scale;
    // Both are positive and below 2^24: whole exactly when truncating keeps them.
    f.count = static_cast<int64_t>(count);
    f.period = static_cast<int64_t>(periodFixed);
    return static_cast<double>(f.count) == count && static_cast<double>(f.period) == periodFixed;
}

// Scaling by the exact 2^-shift rounds as dividing by 2^shift does.
inline float FromFixed(const FixedCountdown &f) {
    return static_cast<float>(static_cast<double>(f.count) * (1.0 / static_cast<double>(int64_t{1} << f.shift)));
}

// Whole cycles until a positive countdown runs out.
inline int64_t CeilCycles(int64_t count, int shift) { return (count + (int64_t{1} << shift) - 1) >> shift; }

// Calls run(stereo, mixed) with both as std::bool_constant: whether
// `channel` writes the right lanes, and the host's switch of it.
template <typename Run>
inline auto ForLayout(ApuState &apu, int channel, Run run) {
    const bool mixed = apu.channelEnabled[channel] != 0;
    const bool shared = apu.lanes.triangleNoiseShared && (channel == kTriangle || channel == kNoise);
    if (apu.lanes.stereo && !shared) return mixed ? run(std::true_type{}, std::true_type{}) : run(std::true_type{}, std::false_type{});
    return mixed ? run(std::false_type{}, std::true_type{}) : run(std::false_type{}, std::false_type{});
}

template <typename Channel>
uint32_t RunChannel(ApuState &apu, Channel &c, int channel, int group, uint8_t *levels = nullptr) {
    return ForLayout(apu, channel, [&](auto stereo, auto mixed) {
        return RunSegment<decltype(stereo)::value, decltype(mixed)::value>(c, apu.segment, apu.lanes, group, levels);
    });
}

template <typename Pulse>
void RunPulse(ApuState &apu, Pulse &c, int channel) {
    if (apu.channelEnabled[channel] != 0 && apu.segment.samples != 0 && RunsPulseCrossings(c)) {
        if (apu.lanes.stereo)
            RunPulseSegment<true>(c, apu.segment, apu.lanes);
        else
            RunPulseSegment<false>(c, apu.segment, apu.lanes);
        return;
    }
    RunChannel(apu, c, channel, 1);
}

// The triangle and the VRC6 saw: their own runner while running.
template <typename Channel>
void RunWave(ApuState &apu, Channel &c, int channel, int group) {
    if (RunsTimerWave(c) && apu.segment.samples != 0)
        ForLayout(apu, channel, [&](auto stereo, auto mixed) {
            RunTimerWaveSegment<decltype(stereo)::value, decltype(mixed)::value>(c, apu.segment, apu.lanes);
        });
    else
        RunChannel(apu, c, channel, group);
}

// Calls visit(sumLeft, sumRight) for each channel the segment runs.
template <typename Visit>
void ForEachSums(const ApuState &apu, Visit visit) {
    visit(apu.pulse[0].output.sumLeft, apu.pulse[0].output.sumRight);
    visit(apu.pulse[1].output.sumLeft, apu.pulse[1].output.sumRight);
    visit(apu.triangle.output.sumLeft, apu.triangle.output.sumRight);
    visit(apu.noise.output.sumLeft, apu.noise.output.sumRight);
    visit(apu.dmc.output.sumLeft, apu.dmc.output.sumRight);
    switch (apu.expansionChip) {
        case kChipVrc6:
            visit(apu.vrc6Pulse[0].output.sumLeft, apu.vrc6Pulse[0].output.sumRight);
            visit(apu.vrc6Pulse[1].output.sumLeft, apu.vrc6Pulse[1].output.sumRight);
            visit(apu.vrc6Saw.output.sumLeft, apu.vrc6Saw.output.sumRight);
            break;
        case kChipMmc5:
            visit(apu.mmc5Pulse[0].output.sumLeft, apu.mmc5Pulse[0].output.sumRight);
            visit(apu.mmc5Pulse[1].output.sumLeft, apu.mmc5Pulse[1].output.sumRight);
            visit(apu.mmc5Pcm.output.sumLeft, apu.mmc5Pcm.output.sumRight);
            break;
        case kChipN163:
            for (int i = 0; i < 8; i++) visit(apu.n163.sumLeft[i], apu.n163.sumRight[i]);
            break;
        default:
            break;
    }
}

// Whether each of a stereo segment's frames will have the same value on
// both sides: every channel's levels, and what it carries into the first
// sample, are the same on the left and on the right (as with every pan in
// the centre). Its channels then run on the left lanes alone; every runner
// keeps both sides' sums whatever lanes it writes, so they stay alike.
bool SidesAlike(const ApuState &apu) {
    if (apu.unevenSides != 0) return false;
    bool alike = true;
    ForEachSums(apu, [&](const Sum &left, const Sum &right) { alike = alike && left == right; });
    return alike;
}

// The same for the triangle and noise alone, which share lanes of their
// own: they then run on the left one, which the mix takes for both sides.
bool TriangleNoiseAlike(const ApuState &apu) {
    const auto &t = apu.triangle.output;
    const auto &n = apu.noise.output;
    return (apu.unevenSides & ((1u << kTriangle) | (1u << kNoise))) == 0 && t.sumLeft == t.sumRight &&
           n.sumLeft == n.sumRight;
}

// Runs every channel over the segment; returns the DMC's stolen cycles.
uint32_t RunChannels(ApuState &apu) {
    MixLanes &lanes = apu.lanes;
    lanes.stereo = apu.channelCount == 2 && !SidesAlike(apu);
    lanes.triangleNoiseShared = lanes.stereo && TriangleNoiseAlike(apu);
    lanes.varies = false;
    lanes.dmcLevelVaries = false;
    lanes.constantLeft[0] = lanes.constantLeft[1] = 0;
    lanes.constantRight[0] = lanes.constantRight[1] = 0;
    lanes.headLeft[0] = lanes.headLeft[1] = 0;
    lanes.headRight[0] = lanes.headRight[1] = 0;
    const uint32_t stolen =
        apu.dmc.active && apu.segment.samples != 0
            ? ForLayout(apu, kDmc,
                        [&](auto stereo, auto mixed) {
                            return RunActiveDmcSegment<decltype(stereo)::value, decltype(mixed)::value>(
                                apu.dmc, apu.segment, lanes);
                        })
            : RunChannel(apu, apu.dmc, kDmc, 1, lanes.dmcLevel);
    RunPulse(apu, apu.pulse[0], kPulse1);
    RunPulse(apu, apu.pulse[1], kPulse2);
    RunWave(apu, apu.triangle, kTriangle, 0);
    if (RunsTabledNoise(apu.noise))
        ForLayout(apu, kNoise, [&](auto stereo, auto mixed) {
            RunTabledNoiseSegment<decltype(stereo)::value, decltype(mixed)::value>(apu.noise, apu.segment, lanes);
        });
    else
        RunChannel(apu, apu.noise, kNoise, 0);
    switch (apu.expansionChip) {
        case kChipVrc6:
            RunPulse(apu, apu.vrc6Pulse[0], kVrc6Pulse1);
            RunPulse(apu, apu.vrc6Pulse[1], kVrc6Pulse2);
            RunWave(apu, apu.vrc6Saw, kVrc6Saw, 1);
            break;
        case kChipMmc5:
            RunPulse(apu, apu.mmc5Pulse[0], kMmc5Pulse1);
            RunPulse(apu, apu.mmc5Pulse[1], kMmc5Pulse2);
            RunChannel(apu, apu.mmc5Pcm, kMmc5Pcm, 1);
            break;
        case kChipN163:
            if (apu.lanes.stereo)
                RunN163Segment<true>(apu.n163, apu.segment, lanes, apu.channelEnabled + kN163First);
            else
                RunN163Segment<false>(apu.n163, apu.segment, lanes, apu.channelEnabled + kN163First);
            break;
        default:
            break;
    }
    return stolen;
}

// The right side's triangle-and-noise lane.
inline const int32_t *RightLane(const MixLanes &lanes) {
    return lanes.triangleNoiseShared ? lanes.left[0] : lanes.right[0];
}

// One side of frame k: the triangle and noise lowered by the DMC's level,
// then the rest. `base` holds the amounts every frame (or the first) takes.
template <bool Varies>
inline int32_t MixSide(ApuState &apu, const int32_t *const lane[2], const int32_t base[2], uint32_t k, bool attenuate) {
    int32_t v = base[0] + (Varies ? lane[0][k] : 0);
    if (attenuate) {
        const uint8_t level = apu.lanes.dmcLevelVaries ? apu.lanes.dmcLevel[k] : apu.lanes.dmcLevelHeld;
        v = static_cast<int32_t>(v * static_cast<double>(apu.dmc.dmcAttenuation[level & 127]));
    }
    return Clip(v + base[1] + (Varies ? lane[1][k] : 0));
}

// Shared: the left side's value serves the right side too.
template <bool Stereo, bool EightBit, bool Varies, bool Shared>
inline uint8_t *WriteFrame(ApuState &apu, uint8_t *out, const int32_t baseLeft[2], const int32_t baseRight[2],
                           uint32_t k,
                           bool attenuate) {
    const int32_t *const left[2] = {apu.lanes.left[0], apu.lanes.left[1]};
    const int32_t *const right[2] = {RightLane(apu.lanes), apu.lanes.right[1]};
    const int32_t l = MixSide<Varies>(apu, left, baseLeft, k, attenuate);
    out = Store<EightBit>(out, l);
    if (Stereo) out = Store<EightBit>(out, Shared ? l : MixSide<Varies>(apu, right, baseRight, k, attenuate));
    return out;
}

// Frames from .. samples - 1 of one side, clipped, into `triangleNoise`.
void MixLane(ApuState &apu, int32_t *triangleNoise, const int32_t *rest, const int32_t constant[2], uint32_t from,
             uint32_t samples, bool attenuate) {
    const int32_t first = constant[0], second = constant[1];
    // The lowest DMC levels attenuate by exactly 1: nothing to multiply.
    if (attenuate && !apu.lanes.dmcLevelVaries && apu.dmc.dmcAttenuation[apu.lanes.dmcLevelHeld & 127] == 1.0f)
        attenuate = false;
    if (attenuate && apu.lanes.dmcLevelVaries) {
        const float *factor = apu.dmc.dmcAttenuation;
        const uint8_t *level = apu.lanes.dmcLevel;
        for (uint32_t k = from; k < samples; k++)
            triangleNoise[k] = Clip(static_cast<int32_t>((triangleNoise[k] + first) *
                                                         static_cast<double>(factor[level[k] & 127])) +
                                    rest[k] + second);
    } else if (attenuate) {
        const double factor = apu.dmc.dmcAttenuation[apu.lanes.dmcLevelHeld & 127];
        for (uint32_t k = from; k < samples; k++)
            triangleNoise[k] = Clip(static_cast<int32_t>((triangleNoise[k] + first) * factor) + rest[k] + second);
    } else {
        for (uint32_t k = from; k < samples; k++) triangleNoise[k] = Clip(triangleNoise[k] + first + rest[k] + second);
    }
}

#if defined(__SSE2__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
// Four frames' values of one side: the triangle and noise (lowered by the
// DMC's level when `scale`: factors of frames 0-1 in `low`, 2-3 in `high`),
// then the rest.
inline __m128i MixFour(const int32_t *triangleNoise, const int32_t *rest, __m128i first, __m128i second,
                       __m128d low, __m128d high, bool scale) {
    __m128i v = _mm_add_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(triangleNoise)), first);
    if (scale) {
        const __m128d lowScaled = _mm_mul_pd(_mm_cvtepi32_pd(v), low);
        const __m128d highScaled = _mm_mul_pd(_mm_cvtepi32_pd(_mm_shuffle_epi32(v, _MM_SHUFFLE(3, 2, 3, 2))), high);
        v = _mm_unpacklo_epi64(_mm_cvttpd_epi32(lowScaled), _mm_cvttpd_epi32(highScaled));
    }
    return _mm_add_epi32(_mm_add_epi32(v, _mm_loadu_si128(reinterpret_cast<const __m128i *>(rest))), second);
}

// Frames 1 .. of a varying segment straight into the host's buffer, four at
// a time; returns the first frame left. A loop for each pair of `varies`
// (the DMC's level moves) and `scale` (it lowers the triangle and noise).
template <bool Stereo, bool Shared, bool Varies, bool Scale>
uint32_t MixAndStore16(const ApuState &apu, uint8_t *&cursor, uint32_t k, uint32_t samples, double held) {
    // A local cursor: stores through a byte pointer could change the caller's.
    uint8_t *out = cursor;
    const MixLanes &lanes = apu.lanes;
    const float *attenuation = apu.dmc.dmcAttenuation;
    __m128d low = _mm_set1_pd(held), high = low;
    const __m128i firstLeft = _mm_set1_epi32(lanes.constantLeft[0]), secondLeft = _mm_set1_epi32(lanes.constantLeft[1]);
    const __m128i firstRight = _mm_set1_epi32(lanes.constantRight[0]);
    const __m128i secondRight = _mm_set1_epi32(lanes.constantRight[1]);
    const int32_t *const rightFirst = RightLane(lanes);
    for (; k + 4 <= samples; k += 4) {
        if (Varies) {
            const uint8_t *level = lanes.dmcLevel + k;
            low = _mm_set_pd(attenuation[level[1] & 127], attenuation[level[0] & 127]);
            high = _mm_set_pd(attenuation[level[3] & 127], attenuation[level[2] & 127]);
        }
        const __m128i l = MixFour(lanes.left[0] + k, lanes.left[1] + k, firstLeft, secondLeft, low, high, Scale);
        if (Stereo) {
            const __m128i r =
                Shared ? l : MixFour(rightFirst + k, lanes.right[1] + k, firstRight, secondRight, low, high, Scale);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out),
                             _mm_packs_epi32(_mm_unpacklo_epi32(l, r), _mm_unpackhi_epi32(l, r)));
            out += 16;
        } else {
            _mm_storel_epi64(reinterpret_cast<__m128i *>(out), _mm_packs_epi32(l, l));
            out += 8;
        }
    }
    cursor = out;
    return k;
}

#if defined(PELRIN_WIDE_MIX)
// Whether the processor can run the mix eight frames at a time.
bool WideMixAvailable() {
    static const bool available = (__builtin_cpu_init(), __builtin_cpu_supports("avx2") != 0);
    return available;
}

// MixFour for eight frames.
__attribute__((target("avx2"))) inline __m256i MixEight(const int32_t *triangleNoise, const int32_t *rest,
                                                        __m256i first, __m256i second, __m256d low, __m256d high,
                                                        bool scale) {
    __m256i v = _mm256_add_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(triangleNoise)), first);
    if (scale) {
        const __m256d lowScaled = _mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(v)), low);
        const __m256d highScaled = _mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_extracti128_si256(v, 1)), high);
        v = _mm256_inserti128_si256(_mm256_castsi128_si256(_mm256_cvttpd_epi32(lowScaled)),
                                    _mm256_cvttpd_epi32(highScaled), 1);
    }
    return _mm256_add_epi32(_mm256_add_epi32(v, _mm256_loadu_si256(reinterpret_cast<const __m256i *>(rest))), second);
}

// MixAndStore16's loop eight frames at a time, from frame 1; returns the
// first frame left.
template <bool Stereo, bool Shared, bool Varies, bool Scale>
__attribute__((target("avx2"))) uint32_t MixAndStore16Wide(const ApuState &apu, uint8_t *&cursor, uint32_t samples,
                                                           double held) {
    uint8_t *out = cursor;
    const MixLanes &lanes = apu.lanes;
    const float *attenuation = apu.dmc.dmcAttenuation;
    __m256d low = _mm256_set1_pd(held), high = low;
    const __m256i firstLeft = _mm256_set1_epi32(lanes.constantLeft[0]);
    const __m256i secondLeft = _mm256_set1_epi32(lanes.constantLeft[1]);
    const __m256i firstRight = _mm256_set1_epi32(lanes.constantRight[0]);
    const __m256i secondRight = _mm256_set1_epi32(lanes.constantRight[1]);
    const int32_t *const rightFirst = RightLane(lanes);
    uint32_t k = 1;
    for (; k + 8 <= samples; k += 8) {
        if (Varies) {
            const __m128i levels = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(lanes.dmcLevel + k));
            const __m256i index = _mm256_and_si256(_mm256_cvtepu8_epi32(levels), _mm256_set1_epi32(127));
            const __m256 factors = _mm256_i32gather_ps(attenuation, index, 4);
            low = _mm256_cvtps_pd(_mm256_castps256_ps128(factors));
            high = _mm256_cvtps_pd(_mm256_extractf128_ps(factors, 1));
        }
        const __m256i l = MixEight(lanes.left[0] + k, lanes.left[1] + k, firstLeft, secondLeft, low, high, Scale);
        if (Stereo) {
            const __m256i r =
                Shared ? l : MixEight(rightFirst + k, lanes.right[1] + k, firstRight, secondRight, low, high, Scale);
            // Within each half: frames 0-1, then 2-3, side by side, packed in order.
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(out),
                                _mm256_packs_epi32(_mm256_unpacklo_epi32(l, r), _mm256_unpackhi_epi32(l, r)));
            out += 32;
        } else {
            const __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi32(l, l), _MM_SHUFFLE(3, 1, 2, 0));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm256_castsi256_si128(packed));
            out += 16;
        }
    }
    _mm256_zeroupper();
    cursor = out;
    return k;
}
#endif

template <bool Stereo, bool Shared>
uint32_t MixAndStore16(ApuState &apu, uint8_t *&cursor, uint32_t samples, bool attenuate) {
    const MixLanes &lanes = apu.lanes;
    const bool varies = attenuate && lanes.dmcLevelVaries;
    const double held = apu.dmc.dmcAttenuation[lanes.dmcLevelHeld & 127];
    const bool scale = varies || (attenuate && held != 1.0);
    uint32_t k = 1;
#if defined(PELRIN_WIDE_MIX)
    if (!lanes.narrow && WideMixAvailable()) {
        if (varies) k = MixAndStore16Wide<Stereo, Shared, true, true>(apu, cursor, samples, held);
        else if (scale) k = MixAndStore16Wide<Stereo, Shared, false, true>(apu, cursor, samples, held);
        else k = MixAndStore16Wide<Stereo, Shared, false, false>(apu, cursor, samples, held);
    }
#endif
    if (varies) return MixAndStore16<Stereo, Shared, true, true>(apu, cursor, k, samples, held);
    if (scale) return MixAndStore16<Stereo, Shared, false, true>(apu, cursor, k, samples, held);
    return MixAndStore16<Stereo, Shared, false, false>(apu, cursor, k, samples, held);
}
#endif

// Shared: a stereo segment run on the left lanes alone (SidesAlike).
template <bool Stereo, bool EightBit, bool Shared>
void WriteFrames(ApuState &apu) {
    MixLanes &lanes = apu.lanes;
    const bool attenuate = apu.channelEnabled[kDmc] != 0;
    const uint32_t samples = apu.segment.samples;
    uint8_t *out = apu.OutputCursor;
    if (Stereo && !Shared && lanes.triangleNoiseShared) {
        // The triangle and noise ran on the left: their amounts serve the right.
        lanes.constantRight[0] = lanes.constantLeft[0];
        lanes.headRight[0] = lanes.headLeft[0];
    }
    const int32_t headLeft[2] = {lanes.constantLeft[0] + lanes.headLeft[0], lanes.constantLeft[1] + lanes.headLeft[1]};
    const int32_t headRight[2] = {lanes.constantRight[0] + lanes.headRight[0],
                                  lanes.constantRight[1] + lanes.headRight[1]};
    if (!lanes.varies && !(attenuate && lanes.dmcLevelVaries)) {
        // Every frame after the first is the same.
        out = WriteFrame<Stereo, EightBit, false, Shared>(apu, out, headLeft, headRight, 0, attenuate);
        constexpr size_t kBytes = (Stereo ? 2 : 1) * (EightBit ? 1 : 2);
        uint8_t frame[kBytes];
        WriteFrame<Stereo, EightBit, false, Shared>(apu, frame, lanes.constantLeft, lanes.constantRight, 1, attenuate);
        for (uint32_t k = 1; k < samples; k++, out += kBytes) std::memcpy(out, frame, kBytes);
    } else {
        out = WriteFrame<Stereo, EightBit, true, Shared>(apu, out, headLeft, headRight, 0, attenuate);
        uint32_t k = 1;
#if defined(__SSE2__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        // 16-bit frames: mixed and stored four at a time; packing with
        // saturation is the clip.
        if (!EightBit) k = MixAndStore16<Stereo, Shared>(apu, out, samples, attenuate);
#endif
        // The other frames side by side, so that the loops vectorise: the
        // clipped values replace the triangle-and-noise lane, then go out.
        // The right side first: a shared triangle-and-noise lane is copied
        // before the left side's values replace it.
        if (Stereo && !Shared && lanes.triangleNoiseShared && k < samples)
            std::memcpy(lanes.right[0] + k, lanes.left[0] + k, (samples - k) * sizeof(int32_t));
        if (Stereo && !Shared)
            MixLane(apu, lanes.right[0], lanes.right[1], lanes.constantRight, k, samples, attenuate);
        MixLane(apu, lanes.left[0], lanes.left[1], lanes.constantLeft, k, samples, attenuate);
        const int32_t *left = lanes.left[0];
        const int32_t *right = Shared ? left : lanes.right[0];
        for (; k < samples; k++) {
            out = Store<EightBit>(out, left[k]);
            if (Stereo) out = Store<EightBit>(out, right[k]);
        }
    }
    apu.OutputCursor = out;
    apu.fillMark += static_cast<uint64_t>(samples) * apu.bytesPerFrame;
}

void WriteSegmentFrames(ApuState &apu) {
    if (apu.segment.samples == 0) return;
    const bool eightBit = apu.bitsPerSample == 8;
    if (apu.channelCount == 1)
        eightBit ? WriteFrames<false, true, false>(apu) : WriteFrames<false, false, false>(apu);
    else if (apu.lanes.stereo)
        eightBit ? WriteFrames<true, true, false>(apu) : WriteFrames<true, false, false>(apu);
    else
        eightBit ? WriteFrames<true, true, true>(apu) : WriteFrames<true, false, true>(apu);
}

// Lays out the sample boundaries of a segment of `length` cycles.
void PlanSegment(ApuState &apu, uint32_t length, const FixedCountdown &sample) {
    Segment &segment = apu.segment;
    segment.length = length;
    const int64_t lengthFixed = static_cast<int64_t>(length) << sample.shift;
    const uint32_t samples =
        sample.count <= lengthFixed ? static_cast<uint32_t>((lengthFixed - sample.count) / sample.period + 1) : 0;
    segment.samples = samples;
    segment.last = 0;
    segment.carried = apu.sampleCycles != 0;
    segment.laidOut = false;
    segment.cutCount = 0;
    if (samples == 0) return;
    segment.first = sample.count;
    segment.period = sample.period;
    segment.shift = sample.shift;
    segment.end[0] = static_cast<uint32_t>(CeilCycles(sample.count, sample.shift));
    segment.last = static_cast<uint32_t>(CeilCycles(sample.count + (samples - 1) * sample.period, sample.shift));

    const int64_t shortest = sample.period >> sample.shift;
    if (apu.sampleDivisors[0].cycles != shortest || apu.sampleDivisors[0].factor == 0) {
        apu.sampleDivisors[0] = MakeDivisor(shortest);
        apu.sampleDivisors[1] = MakeDivisor(shortest + 1);
        const bool fast = WholeSamplesFast(shortest);
        apu.sampleInverses[0] = fast ? RaisedInverse(static_cast<uint32_t>(shortest)) : 0.0;
        apu.sampleInverses[1] = fast ? RaisedInverse(static_cast<uint32_t>(shortest + 1)) : 0.0;
    }
    segment.inverse[0] = apu.sampleInverses[0];
    segment.inverse[1] = apu.sampleInverses[1];
    const int64_t first = apu.sampleCycles + segment.end[0];
    segment.divisors[0] = first == shortest ? apu.sampleDivisors[0]
                          : first == shortest + 1 ? apu.sampleDivisors[1] : MakeDivisor(first);
    segment.divisors[1] = apu.sampleDivisors[0];
    segment.divisors[2] = apu.sampleDivisors[1];
    segment.shortest = static_cast<uint32_t>(shortest);
}

// Whole frames the buffer still has room for (fillMark runs a frame ahead
// of the bytes written).
inline uint64_t FramesOfRoom(const ApuState &apu) { return (apu.bufferSize - apu.fillMark) / apu.bytesPerFrame + 1; }

// Runs as much of the span as the planned path can; leaves the rest (a
// full buffer, an unusual clock, the Namco 163, whose slices are not
// additive) to the slice loop.
void RunPlanned(ApuState &apu, uint64_t &remaining, uint32_t &stallTotal) {
    // The Namco 163's runs must be the slices themselves: its segments end
    // only at sample boundaries and steps, never at the span's end, and the
    // slice loop finishes the span's last part-sample.
    const bool slicesShow = apu.expansionChip == kChipN163;
    FixedCountdown sample, step;
    if (!ToFixed(apu.sampleCountdown, apu.cyclesPerSample, sample) ||
        !ToFixed(apu.frameStepCountdown, apu.frameStepPeriod, step))
        return;
    while (remaining != 0 && apu.fillMark <= apu.bufferSize) {
        const uint64_t room = FramesOfRoom(apu);
        const uint32_t most = room < kSegmentSamples ? static_cast<uint32_t>(room) : kSegmentSamples;
        int64_t length = CeilCycles(step.count, step.shift);
        const int64_t full = CeilCycles(sample.count + (most - 1) * sample.period, sample.shift);
        if (length > full) length = full;
        if (static_cast<uint64_t>(length) > remaining) {
            length = static_cast<int64_t>(remaining);
            if (slicesShow) {
                // Up to the last sample boundary before the span's end.
                const int64_t end = length << sample.shift;
                if (sample.count > end) break;
                length = CeilCycles(sample.count + (end - sample.count) / sample.period * sample.period, sample.shift);
            }
        } else if (length < full && static_cast<uint64_t>(length) < remaining && StepsPassable(apu)) {
            // Steps that no channel hears do not end the segment: they
            // are applied where it ends.
            int64_t limit = static_cast<uint64_t>(full) < remaining ? full : static_cast<int64_t>(remaining);
            if (slicesShow && limit != full) {
                // Up to the last sample boundary before the span's end (or
                // no further than the first step, where there is none).
                const int64_t end = limit << sample.shift;
                limit = sample.count > end ? length
                                           : CeilCycles(sample.count + (end - sample.count) / sample.period * sample.period,
                                                        sample.shift);
            }
            if (limit > length) {
                const auto before = static_cast<uint32_t>((((limit - 1) << step.shift) - step.count) / step.period + 1);
                uint32_t quiet = QuietSteps(apu, before);
                if (slicesShow) quiet = std::min(quiet, kMostCuts);
                if (quiet != 0) length = std::min(limit, CeilCycles(step.count + quiet * step.period, step.shift));
            }
        }

        PlanSegment(apu, static_cast<uint32_t>(length), sample);
        if (slicesShow) {
            // The steps inside the segment end the Namco 163's runs.
            Segment &seg = apu.segment;
            for (int64_t at = step.count; seg.cutCount < kMostCuts; at += step.period) {
                const int64_t cut = CeilCycles(at, step.shift);
                if (cut >= length) break;
                seg.cuts[seg.cutCount++] = static_cast<uint32_t>(cut);
            }
        }
        const uint32_t stolen = RunChannels(apu);
        WriteSegmentFrames(apu);

        apu.sampleCycles = apu.segment.samples != 0 ? length - apu.segment.last : apu.sampleCycles + length;
        sample.count += apu.segment.samples * sample.period - (length << sample.shift);
        step.count -= length << step.shift;
        if (stolen != 0) {
            apu.timestamp += stolen;
            stallTotal += stolen;
            remaining += stolen;
        }
        remaining -= static_cast<uint64_t>(length);
        while (step.count <= 0) {
            apu.frameStepCountdown = FromFixed(step);
            StepEvent(apu);
            step.count += step.period;
        }
    }
    apu.sampleCountdown = FromFixed(sample);
    apu.frameStepCountdown = FromFixed(step);
}
// The straightforward loop: one slice at a time up to the nearer of the
// step and sample countdowns. Serves whatever the planned path does not.
void RunSlices(ApuState &apu, uint64_t &remaining, uint32_t &stallTotal) {
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

        uint32_t fetched = IntegrateSlice(apu, n);
        if (fetched != 0) {
            apu.timestamp += fetched;
            stallTotal += fetched;
            remaining += fetched;
        }
        apu.sampleCycles += n;

        apu.frameStepCountdown -= static_cast<float>(n);
        if (apu.frameStepCountdown <= 0.0f) StepEvent(apu);
        apu.sampleCountdown -= static_cast<float>(n);
        if (apu.sampleCountdown <= 0.0f) {
            apu.sampleCountdown += apu.cyclesPerSample;
            MixSample(apu);
        }
        remaining -= n;
    }
}

bool StepsPassable(const ApuState &apu) {
    // The DMC's ramp depends on where its slices end, where it reaches its level.
    const DmcChannel &d = apu.dmc;
    return !(d.dmcRampOption && d.rampTarget != d.level);
}

bool RunsWhole(const ApuState &apu) {
    // So do the Namco 163's countdowns.
    return apu.expansionChip != kChipN163 && StepsPassable(apu);
}

bool RunsUnsplit(const ApuState &apu, uint64_t cycles) {
    // Deferred cycles must not steal any: the stalls belong to the calls
    // that run them, and an interrupt the DMC raises would be seen late.
    if (!RunsWhole(apu) || apu.dmc.active) return false;
    FixedCountdown sample, step;
    if (!ToFixed(apu.sampleCountdown, apu.cyclesPerSample, sample) ||
        !ToFixed(apu.frameStepCountdown, apu.frameStepPeriod, step))
        return false;
    if (static_cast<uint64_t>(CeilCycles(step.count, step.shift)) <= cycles) return false;
    if (apu.bytesPerFrame == 0 || apu.fillMark > apu.bufferSize) return false;
    // Fewer boundaries than frames of room: the one after the last that fits lies beyond.
    const uint64_t room = FramesOfRoom(apu);
    return sample.count + static_cast<int64_t>(room - 1) * sample.period > static_cast<int64_t>(cycles << sample.shift);
}

uint32_t RunDeferred(ApuState &apu) {
    if (apu.deferredCycles == 0) return 0;
    uint64_t remaining = apu.deferredCycles;
    apu.deferredCycles = 0;
    uint32_t stallTotal = 0;
    RunPlanned(apu, remaining, stallTotal);
    RunSlices(apu, remaining, stallTotal);
    return stallTotal;
}

uint32_t RunToCycle(ApuState &apu, uint32_t cycle) {
    uint32_t span = cycle - apu.timestamp;
    // A cycle before the timestamp (an unsigned span of 2^31 or more) runs
    // nothing new: the host asked for the past, not for 2^32 cycles of future.
    if (span == 0 || span >= 0x80000000u) return RunDeferred(apu);
    apu.timestamp = cycle;

    uint32_t stallTotal = 0;
    // The deferred cycles and the new ones in one piece.
    uint64_t remaining = uint64_t{span} + apu.deferredCycles;
    apu.deferredCycles = 0;
    RunPlanned(apu, remaining, stallTotal);
    RunSlices(apu, remaining, stallTotal);
    return stallTotal;
}

}  // namespace pelrin
