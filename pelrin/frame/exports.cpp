// One-time set-up and the DMA bank pointers.
#include "pelrin.h"
#include "frame/state.h"

using namespace pelrin;

extern "C" {

PELRIN_API void PELRIN_CALL APU_Initialize(void) {
    for (int i = 0; i < kChannelCount; i++) {
        apu.channelPan[i] = 0;
        apu.channelVolume[i] = 255;
        apu.channelEnabled[i] = 1;
    }
    BuildDmcAttenuation(apu.dmc);
    apu.dmc.dmcRampOption = 0;
    apu.triangleShape = 0;
    RebuildLevelTables(kAllChannels);
    SetNamcoStepConstants();
}

PELRIN_API void PELRIN_CALL APU_SetDMAPointer(int32_t bank, const uint8_t *memory) {
    if (bank >= 0 && bank <= 7) apu.dmc.dmaPointers[bank] = memory;
}

}  // extern "C"
