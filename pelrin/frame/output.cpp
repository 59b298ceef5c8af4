// Clock environment, output format and the host's output buffer.
#include <cmath>

#include "pelrin.h"
#include "frame/instance.h"
#include "frame/state.h"

using namespace pelrin;

namespace pelrin {

// The Namco 163 step constants scale with the CPU clock so that its pitch
// does not depend on the clock the host sets.
static const float kNamcoStepFactors[8] = {0.5492542f, 1.0985084f, 1.6477625f, 2.1970167f,
                                           2.7462709f, 3.2955251f, 3.8447793f, 4.3940334f};

void SetNamcoStepConstants(ApuState &apu) {
    for (int k = 0; k < 8; k++) apu.n163.stepConstant[k] = apu.cpuClock * kNamcoStepFactors[k];
}

void RewindOutputBuffer(ApuState &apu) {
    apu.OutputCursor = apu.bufferBase;
    apu.fillMark = apu.bytesPerFrame;
}

static void SetCyclesPerSample(ApuState &apu) {
    apu.cyclesPerSample = static_cast<float>(static_cast<double>(apu.cpuClock) / apu.sampleRate);
    if (apu.sampleCountdown > apu.cyclesPerSample) apu.sampleCountdown = apu.cyclesPerSample;
}

}  // namespace pelrin

namespace pelrin {

void SetEnvironment(ApuState &apu, int32_t region, float cpuClock, float stepPeriod) {
    RunDeferred(apu);
    if (region >= 0) apu.regionOffset = region == 0 ? 0 : 16;
    // A clock below the sample rate would make a sample shorter than a cycle.
    if (std::isfinite(cpuClock) && cpuClock >= 1.0f && cpuClock >= static_cast<float>(apu.sampleRate)) {
        apu.cpuClock = cpuClock;
        SetCyclesPerSample(apu);
    }
    if (std::isfinite(stepPeriod) && stepPeriod >= 1.0f) {
        apu.frameStepPeriod = stepPeriod;
        if (apu.frameStepCountdown > stepPeriod) apu.frameStepCountdown = stepPeriod;
    }
    SetNamcoStepConstants(apu);
}

void SetOutputFormat(ApuState &apu, int32_t rate, int32_t bits, int32_t channels) {
    RunDeferred(apu);
    apu.fillMark -= apu.bytesPerFrame;
    if (bits == 8 || bits == 16) apu.bitsPerSample = static_cast<uint8_t>(bits);
    if ((channels == 1 || channels == 2) && channels != apu.channelCount) {
        apu.channelCount = static_cast<uint8_t>(channels);
        RebuildLevelTables(apu, kAllChannels);  // pan only takes effect in stereo
    }
    apu.bytesPerFrame = static_cast<uint8_t>(apu.channelCount * apu.bitsPerSample / 8);
    apu.fillMark += apu.bytesPerFrame;
    // A rate above the CPU clock would make a sample shorter than a cycle.
    if (rate >= 1 && static_cast<double>(rate) <= static_cast<double>(apu.cpuClock)) {
        apu.sampleRate = static_cast<uint32_t>(rate);
        SetCyclesPerSample(apu);
    }
}

void SetOutputBuffer(ApuState &apu, void *buffer, uint32_t sizeInBytes) {
    RunDeferred(apu);
    apu.bufferBase = static_cast<uint8_t *>(buffer);
    // A null buffer can hold nothing, whatever size comes with it.
    apu.bufferSize = buffer != nullptr ? sizeInBytes : 0;
    RewindOutputBuffer(apu);
}

uint32_t GetWrittenBufferSize(ApuState &apu, int32_t rewind) {
    RunDeferred(apu);
    uint32_t written = static_cast<uint32_t>(apu.fillMark - apu.bytesPerFrame);
    if (rewind != 0) RewindOutputBuffer(apu);
    return written;
}

void ResetOutputBuffer(ApuState &apu) {
    RunDeferred(apu);
    RewindOutputBuffer(apu);
}

}  // namespace pelrin
