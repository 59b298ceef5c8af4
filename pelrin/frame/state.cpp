// The process-wide instance behind the exports, one-time set-up and the
// DMA bank pointers.
#include "frame/instance.h"
#include "frame/state.h"

namespace pelrin {

// Constant-initialised: loading the library runs no code of its own.
ApuState apu;

void Initialize(ApuState &apu) {
    RunDeferred(apu);
    for (int i = 0; i < kChannelCount; i++) {
        apu.channelPan[i] = 0;
        apu.channelVolume[i] = 255;
        apu.channelEnabled[i] = 1;
    }
    BuildDmcAttenuation(apu.dmc);
    apu.dmc.dmcRampOption = 0;
    apu.triangleShape = 0;
    RebuildLevelTables(apu, kAllChannels);
    SetNamcoStepConstants(apu);
}

// Runs nothing deferred first: cycles are deferred only while the DMC,
// the one reader of these pointers, is idle.
void SetDMAPointer(ApuState &apu, int32_t bank, const uint8_t *memory) {
    if (bank >= 0 && bank <= 7) apu.dmc.dmaPointers[bank] = memory;
}

}  // namespace pelrin
