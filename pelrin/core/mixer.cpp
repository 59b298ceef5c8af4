// Sample boundary: mean level of every mixed channel over the sample period,
// added in a fixed order, clipped and written to the host's buffer.
#include "frame/state.h"

namespace pelrin {

namespace {

struct Mix {
    int32_t left = 0;
    int32_t right = 0;
};

template <typename Channel>
inline void AddMean(Mix &mix, Channel &c, int64_t cycles) {
    mix.left += static_cast<int32_t>(c.sumLeft / cycles);
    mix.right += static_cast<int32_t>(c.sumRight / cycles);
}

template <typename Channel>
inline void Clear(Channel &c) {
    c.sumLeft = 0;
    c.sumRight = 0;
}

inline int32_t Clip(int32_t v) { return v < -32768 ? -32768 : (v > 32767 ? 32767 : v); }

inline void Store(uint8_t *out, int32_t v, bool eightBit) {
    if (eightBit) {
        out[0] = static_cast<uint8_t>(((v >> 8) & 0xFF) ^ 0x80);
    } else {
        out[0] = static_cast<uint8_t>(v & 0xFF);
        out[1] = static_cast<uint8_t>((v >> 8) & 0xFF);
    }
}

}  // namespace

void MixSample() {
    // Buffer full: hold everything back; the next frame written averages
    // all cycles since the last one.
    if (apu.fillMark > apu.bufferSize) return;

    const int64_t n = apu.sampleCycles;
    const uint8_t *on = apu.channelEnabled;
    Mix mix;
    if (on[kTriangle]) AddMean(mix, apu.triangle, n);
    if (on[kNoise]) AddMean(mix, apu.noise, n);
    if (on[kDmc]) {
        // The DMC's level lowers the triangle and noise, not what follows.
        double k = apu.dmc.dmcAttenuation[apu.dmc.mixLevel & 127];
        mix.left = static_cast<int32_t>(mix.left * k);
        mix.right = static_cast<int32_t>(mix.right * k);
        AddMean(mix, apu.dmc, n);
    }
    if (on[kPulse1]) AddMean(mix, apu.pulse[0], n);
    if (on[kPulse2]) AddMean(mix, apu.pulse[1], n);
    switch (apu.expansionChip) {
        case kChipVrc6:
            if (on[kVrc6Pulse1]) AddMean(mix, apu.vrc6Pulse[0], n);
            if (on[kVrc6Pulse2]) AddMean(mix, apu.vrc6Pulse[1], n);
            if (on[kVrc6Saw]) AddMean(mix, apu.vrc6Saw, n);
            break;
        case kChipMmc5:
            if (on[kMmc5Pulse1]) AddMean(mix, apu.mmc5Pulse[0], n);
            if (on[kMmc5Pulse2]) AddMean(mix, apu.mmc5Pulse[1], n);
            if (on[kMmc5Pcm]) AddMean(mix, apu.mmc5Pcm, n);
            break;
        case kChipN163:
            for (int i = 0; i < 8; i++) {
                if (!on[kN163First + i]) continue;
                mix.left += static_cast<int32_t>(apu.n163.sumLeft[i] / n);
                mix.right += static_cast<int32_t>(apu.n163.sumRight[i] / n);
            }
            break;
        default:
            break;
    }

    Clear(apu.pulse[0]);
    Clear(apu.pulse[1]);
    Clear(apu.triangle);
    Clear(apu.noise);
    Clear(apu.dmc);
    Clear(apu.vrc6Pulse[0]);
    Clear(apu.vrc6Pulse[1]);
    Clear(apu.vrc6Saw);
    Clear(apu.mmc5Pulse[0]);
    Clear(apu.mmc5Pulse[1]);
    Clear(apu.mmc5Pcm);
    for (int i = 0; i < 8; i++) apu.n163.sumLeft[i] = apu.n163.sumRight[i] = 0;
    apu.sampleCycles = 0;

    const bool eightBit = apu.bitsPerSample == 8;
    uint8_t *out = apu.OutputCursor;
    Store(out, Clip(mix.left), eightBit);
    if (apu.channelCount == 2) Store(out + (eightBit ? 1 : 2), Clip(mix.right), eightBit);
    apu.OutputCursor += apu.bytesPerFrame;
    apu.fillMark += apu.bytesPerFrame;
}

}  // namespace pelrin
