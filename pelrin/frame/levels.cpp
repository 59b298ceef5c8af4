// Level tables: volume, pan and master volume folded into per-channel
// look-up tables whenever an option changes, so the integrators only look up.
#include <cmath>

#include "pelrin.h"
#include "frame/instance.h"
#include "frame/state.h"

using namespace pelrin;

namespace pelrin {

namespace {

struct Levels {
    int32_t left;
    int32_t right;
};

int32_t FullScaleOf(int index) {
    switch (index) {
        case kDmc: case kVrc6Saw: case kMmc5Pcm: return 16384;
        case kPulse1: case kPulse2: case kTriangle: case kNoise:
        case kVrc6Pulse1: case kVrc6Pulse2: case kMmc5Pulse1: case kMmc5Pulse2: return 4096;
        default: return 8192;  // Namco 163
    }
}

int32_t ApplyMasterVolume(ApuState &apu, int32_t level) {
    // Levels must fit the signed 16-bit tables: clamp at 32767. Clamping the
    // product first keeps the conversion to integer defined for any volume.
    double product = std::trunc(static_cast<double>(level) * static_cast<double>(apu.masterVolume));
    constexpr double kMaxProduct = 32767.0 * 255.0 + 254.0;
    if (product > kMaxProduct) product = kMaxProduct;
    return static_cast<int32_t>(product) / 255;
}

Levels ComputeChannelLevels(ApuState &apu, int index, int32_t fullScale) {
    int32_t left = apu.channelVolume[index] * fullScale;
    int32_t right = left;
    if (apu.channelCount == 2) {
        int32_t pan = apu.channelPan[index];
        if (pan < 0) right = (pan + 127) * right / 127;
        if (pan > 0) left = (127 - pan) * left / 127;
    }
    return {ApplyMasterVolume(apu, left), ApplyMasterVolume(apu, right)};
}

// Unipolar ramp 0 .. full: entry v = v * full / divisor.
void FillRamp(int16_t *table, int entries, int32_t full, int32_t divisor) {
    for (int v = 0; v < entries; v++) table[v] = static_cast<int16_t>(v * full / divisor);
}

// Signed table centred on `centre`: entry i = (i - centre) * full / divisor.
void FillCentred(int16_t *table, int entries, int centre, int32_t full, int32_t divisor) {
    for (int i = 0; i < entries; i++) table[i] = static_cast<int16_t>((i - centre) * full / divisor);
}

void FillTriangle(int16_t *table, int32_t full, uint8_t shape) {
    auto q = [full](int k) { return static_cast<int16_t>(k * full / 8); };
    if (shape == 0) {
        // The hardware's 16-level staircase, centred: top 7/8 on steps 7 and
        // 8, bottom -full on steps 23 and 24.
        for (int n = 0; n < 8; n++) table[n] = q(n);
        for (int n = 8; n < 16; n++) table[n] = q(15 - n);
        for (int n = 16; n < 24; n++) table[n] = static_cast<int16_t>(-q(n - 15));
        for (int n = 24; n < 32; n++) table[n] = static_cast<int16_t>(-q(32 - n));
    } else {
        // Symmetric 17-level triangle, each peak on one step.
        for (int n = 0; n <= 8; n++) table[n] = q(n);
        for (int n = 9; n <= 16; n++) table[n] = q(16 - n);
        for (int n = 17; n <= 24; n++) table[n] = static_cast<int16_t>(-q(n - 16));
        for (int n = 25; n < 32; n++) table[n] = static_cast<int16_t>(-q(32 - n));
    }
}

void FillNamco(int16_t table[16][16], int32_t full) {
    for (int v = 0; v < 16; v++)
        for (int s = 0; s < 16; s++) table[v][s] = static_cast<int16_t>(v * (s - 8) * full / 239);
}

// Fills a channel's left table from L and its right table from R.
template <typename Fill>
void FillSides(int16_t *left, int16_t *right, Levels lv, Fill fill) {
    fill(left, lv.left);
    fill(right, lv.right);
}

void FillChannel(ApuState &apu, int index, Levels lv) {
    auto volumeRamp = [](int16_t *t, int32_t full) { FillRamp(t, 16, full, 15); };
    switch (index) {
        case kPulse1: case kPulse2: {
            PulseChannel &c = apu.pulse[index - kPulse1];
            FillSides(c.output.levelLeft, c.output.levelRight, lv, volumeRamp);
            break;
        }
        case kTriangle:
            FillSides(apu.triangle.output.levelLeft, apu.triangle.output.levelRight, lv,
                      [&apu](int16_t *t, int32_t full) { FillTriangle(t, full, apu.triangleShape); });
            break;
        case kNoise:
            FillSides(apu.noise.output.levelLeft, apu.noise.output.levelRight, lv, volumeRamp);
            break;
        case kDmc:
            FillSides(apu.dmc.output.levelLeft, apu.dmc.output.levelRight, lv,
                      [](int16_t *t, int32_t full) { FillCentred(t, 128, 64, full, 128); });
            break;
        case kVrc6Pulse1: case kVrc6Pulse2: {
            Vrc6PulseChannel &c = apu.vrc6Pulse[index - kVrc6Pulse1];
            FillSides(c.output.levelLeft, c.output.levelRight, lv, volumeRamp);
            break;
        }
        case kVrc6Saw:
            FillSides(apu.vrc6Saw.output.levelLeft, apu.vrc6Saw.output.levelRight, lv,
                      [](int16_t *t, int32_t full) { FillRamp(t, 32, full, 31); });
            break;
        case kMmc5Pulse1: case kMmc5Pulse2: {
            PulseChannel &c = apu.mmc5Pulse[index - kMmc5Pulse1];
            FillSides(c.output.levelLeft, c.output.levelRight, lv, volumeRamp);
            break;
        }
        case kMmc5Pcm:
            FillSides(apu.mmc5Pcm.output.levelLeft, apu.mmc5Pcm.output.levelRight, lv,
                      [](int16_t *t, int32_t full) { FillCentred(t, 256, 128, full, 256); });
            break;
        default:
            FillNamco(apu.n163.levelLeft[index - kN163First], lv.left);
            FillNamco(apu.n163.levelRight[index - kN163First], lv.right);
            break;
    }
}

}  // namespace

void RebuildLevelTables(ApuState &apu, uint32_t mask) {
    for (int index = 0; index < kChannelCount; index++) {
        const uint32_t bit = 1u << index;
        if ((mask & bit) == 0) continue;
        const Levels lv = ComputeChannelLevels(apu, index, FullScaleOf(index));
        FillChannel(apu, index, lv);
        apu.unevenSides = lv.left != lv.right ? apu.unevenSides | bit : apu.unevenSides & ~bit;
    }
}

}  // namespace pelrin

namespace pelrin {

void Configure(ApuState &apu, float masterVolume, int32_t rampOption, int32_t triangleShape) {
    RunDeferred(apu);
    uint32_t mask = 0;
    if (std::isfinite(masterVolume) && masterVolume >= 0.0f) {
        apu.masterVolume = masterVolume;
        mask = kAllChannels;
    }
    if (rampOption >= 0) apu.dmc.dmcRampOption = rampOption > 0 ? 1 : 0;
    if (triangleShape >= 0) {
        uint8_t shape = triangleShape > 0 ? 1 : 0;
        if (shape != apu.triangleShape) {
            apu.triangleShape = shape;
            mask |= 1u << kTriangle;
        }
    }
    if (mask != 0) RebuildLevelTables(apu, mask);
}

void SetChannelOptions(ApuState &apu, int32_t index, int32_t enable, int32_t volume, int32_t pan) {
    RunDeferred(apu);
    if (index < 0 || index >= kChannelCount) return;
    if (enable >= 0) apu.channelEnabled[index] = enable > 0 ? 1 : 0;
    bool rebuild = false;
    if (volume >= 0 && volume <= 255 && volume != apu.channelVolume[index]) {
        apu.channelVolume[index] = static_cast<uint8_t>(volume);
        rebuild = true;
    }
    if (pan >= -127 && pan <= 127 && pan != apu.channelPan[index]) {
        apu.channelPan[index] = static_cast<int8_t>(pan);
        if (apu.channelCount == 2) rebuild = true;
    }
    if (rebuild) RebuildLevelTables(apu, 1u << index);
}

}  // namespace pelrin
