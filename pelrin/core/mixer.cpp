// Sample boundary: mean level of every mixed channel over the sample period,
// added in a fixed order, clipped and written to the host's buffer.
#include "frame/state.h"
#include "core/segment.h"

namespace pelrin {

namespace {

struct Mix {
    int32_t left = 0;
    int32_t right = 0;
};

// The divisor of the last two sample lengths (a sample lasts one of two
// whole cycle counts while the buffer has room).
inline const Divisor &DivisorFor(ApuState &apu, int64_t cycles) {
    Divisor *cache = apu.mixDivisors;
    if (cache[0].cycles == cycles && cache[0].factor != 0) return cache[0];
    if (cache[1].cycles == cycles && cache[1].factor != 0) return cache[1];
    cache[1] = cache[0];
    cache[0] = MakeDivisor(cycles);
    return cache[0];
}

// Adds the channel's mean level (the right side only in stereo) and
// clears its sums.
template <bool Stereo>
inline void Take(Mix &mix, Sum &sumLeft, Sum &sumRight, bool mixed, const Divisor &cycles) {
    // A silent channel (both sums 0) adds 0.
    if (mixed && (sumLeft | sumRight) != 0) {
        const int32_t left = Mean(sumLeft, cycles);
        mix.left += left;
        // A centred channel has equal sums: one division serves both sides.
        if (Stereo) mix.right += sumRight == sumLeft ? left : Mean(sumRight, cycles);
    }
    sumLeft = 0;
    sumRight = 0;
}

template <bool Stereo>
Mix MixChannels(ApuState &apu, int64_t cycles) {
    const Divisor &n = DivisorFor(apu, cycles);
    const uint8_t *on = apu.channelEnabled;
    Mix mix;
    Take<Stereo>(mix, apu.triangle.output.sumLeft, apu.triangle.output.sumRight, on[kTriangle], n);
    Take<Stereo>(mix, apu.noise.output.sumLeft, apu.noise.output.sumRight, on[kNoise], n);
    if (on[kDmc]) {
        // The DMC's level lowers the triangle and noise, not what follows.
        const double k = apu.dmc.dmcAttenuation[apu.dmc.mixLevel & 127];
        mix.left = static_cast<int32_t>(mix.left * k);
        mix.right = static_cast<int32_t>(mix.right * k);
    }
    Take<Stereo>(mix, apu.dmc.output.sumLeft, apu.dmc.output.sumRight, on[kDmc], n);
    Take<Stereo>(mix, apu.pulse[0].output.sumLeft, apu.pulse[0].output.sumRight, on[kPulse1], n);
    Take<Stereo>(mix, apu.pulse[1].output.sumLeft, apu.pulse[1].output.sumRight, on[kPulse2], n);
    // Only the selected chip's channels ever accumulate (a reset clears
    // them all), so only theirs need clearing.
    switch (apu.expansionChip) {
        case kChipVrc6:
            Take<Stereo>(mix, apu.vrc6Pulse[0].output.sumLeft, apu.vrc6Pulse[0].output.sumRight, on[kVrc6Pulse1], n);
            Take<Stereo>(mix, apu.vrc6Pulse[1].output.sumLeft, apu.vrc6Pulse[1].output.sumRight, on[kVrc6Pulse2], n);
            Take<Stereo>(mix, apu.vrc6Saw.output.sumLeft, apu.vrc6Saw.output.sumRight, on[kVrc6Saw], n);
            break;
        case kChipMmc5:
            Take<Stereo>(mix, apu.mmc5Pulse[0].output.sumLeft, apu.mmc5Pulse[0].output.sumRight, on[kMmc5Pulse1], n);
            Take<Stereo>(mix, apu.mmc5Pulse[1].output.sumLeft, apu.mmc5Pulse[1].output.sumRight, on[kMmc5Pulse2], n);
            Take<Stereo>(mix, apu.mmc5Pcm.output.sumLeft, apu.mmc5Pcm.output.sumRight, on[kMmc5Pcm], n);
            break;
        case kChipN163:
            for (int i = 0; i < 8; i++)
                Take<Stereo>(mix, apu.n163.sumLeft[i], apu.n163.sumRight[i], on[kN163First + i], n);
            break;
        default:
            break;
    }
    return mix;
}

}  // namespace

void MixSample(ApuState &apu) {
    // Buffer full: hold everything back; the next frame written averages
    // all cycles since the last one.
    if (apu.fillMark > apu.bufferSize) return;

    const bool stereo = apu.channelCount == 2;
    const Mix mix = stereo ? MixChannels<true>(apu, apu.sampleCycles) : MixChannels<false>(apu, apu.sampleCycles);
    apu.sampleCycles = 0;

    const bool eightBit = apu.bitsPerSample == 8;
    uint8_t *out = apu.OutputCursor;
    if (eightBit) {
        out = Store<true>(out, Clip(mix.left));
        if (stereo) Store<true>(out, Clip(mix.right));
    } else {
        out = Store<false>(out, Clip(mix.left));
        if (stereo) Store<false>(out, Clip(mix.right));
    }
    apu.OutputCursor += apu.bytesPerFrame;
    apu.fillMark += apu.bytesPerFrame;
}

}  // namespace pelrin
