// Namco 163: 128 bytes of RAM holding 4-bit waves and the registers of up to
// eight channels, played one sample step at a time with fractional timing.
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
    const uint32_t length = s.waveLength[i];
    auto step = [&] {
        if (++v.position >= length) {
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
    };
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

}  // namespace

void IntegrateN163(N163State &s, uint32_t cycles) {
    if (cycles == 0) return;
    const double total = SliceCycles(cycles);
    for (unsigned i = 0; i < 8; i++) {
        double stepConstant;
        if (!N163ChannelRuns(s, i, stepConstant)) continue;
        // The step length divides only when a step ends within the run.
        const double stepLength = total < s.stepCountdown[i] ? 0.0 : stepConstant / s.frequency[i];
        IntegrateN163Channel(s, i, total, stepLength);
    }
}

// A segment's runs are the samples themselves (the run loop ends a segment
// only where a slice ends), so each channel runs over the segment on its
// own. While its countdown stays below 2^24, subtracting whole cycles from
// it is exact: the samples before its next step take its level as it is.
template <bool Stereo>
void RunN163Segment(N163State &s, Segment &seg, MixLanes &lanes, const uint8_t *mixed) {
    const uint32_t samples = seg.samples;
    if (samples == 0) {
        IntegrateN163(s, seg.length);
        return;
    }
    int32_t *laneLeft = lanes.left[1];
    int32_t *laneRight = lanes.right[1];
    const SampleMeans means(seg);
    for (unsigned i = 0; i < 8; i++) {
        double stepConstant;
        const bool runs = N163ChannelRuns(s, i, stepConstant);
        const double stepLength = runs ? stepConstant / s.frequency[i] : 0.0;
        const bool mix = mixed[i] != 0;
        uint32_t k = 0, pos = 0;
        // The first sample, with what it carried in.
        if (runs) IntegrateN163Channel(s, i, SliceCycles(seg.end[0]), stepLength);
        if (mix && (s.sumLeft[i] | s.sumRight[i]) != 0)
            means.Add<Stereo>(lanes.headLeft[1], lanes.headRight[1], s.sumLeft[i], s.sumRight[i], 0, seg.end[0]);
        s.sumLeft[i] = s.sumRight[i] = 0;
        if (!runs) continue;
        pos = seg.end[0];
        k = 1;
        if (k < samples) {
            LayOut(seg);
            if (mix) TouchLanes(lanes, samples);
        }
        const int16_t *left = s.levelLeft[i][s.volume[i] & 15];
        const int16_t *right = s.levelRight[i][s.volume[i] & 15];
        Voice v = LoadVoice(s, i);
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
            IntegrateVoice(v, s, i, left, right, SliceCycles(seg.end[k] - pos), stepLength, sumLeft, sumRight);
            if (mix) means.Add<Stereo>(laneLeft[k], laneRight[k], sumLeft, sumRight, k, seg.end[k] - pos);
            pos = seg.end[k++];
        }
        // The cycles after the last boundary start the next sample.
        if (seg.length != seg.last) {
            int64_t sumLeft = 0, sumRight = 0;
            IntegrateVoice(v, s, i, left, right, SliceCycles(seg.length - seg.last), stepLength, sumLeft, sumRight);
            s.sumLeft[i] += sumLeft;
            s.sumRight[i] += sumRight;
        }
        StoreVoice(s, i, v);
    }
}

// The run loop's two uses, for builds that compile file by file.
template void RunN163Segment<true>(N163State &, Segment &, MixLanes &, const uint8_t *);
template void RunN163Segment<false>(N163State &, Segment &, MixLanes &, const uint8_t *);

}  // namespace pelrin
