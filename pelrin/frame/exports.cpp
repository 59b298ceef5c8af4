// The sixteen exports: each acts on the one process-wide instance through
// the internal interface of frame/instance.h.
#include "pelrin.h"
#include "frame/instance.h"

using pelrin::apu;

extern "C" {

PELRIN_API void PELRIN_CALL APU_Initialize(void) { pelrin::Initialize(apu); }
PELRIN_API void PELRIN_CALL APU_SetEnvironment(int32_t region, float cpuClock, float stepPeriod) {
    pelrin::SetEnvironment(apu, region, cpuClock, stepPeriod);
}
PELRIN_API void PELRIN_CALL APU_SetOutputFormat(int32_t rate, int32_t bits, int32_t channels) {
    pelrin::SetOutputFormat(apu, rate, bits, channels);
}
PELRIN_API void PELRIN_CALL APU_SetDMAPointer(int32_t bank, const uint8_t *memory) {
    pelrin::SetDMAPointer(apu, bank, memory);
}
PELRIN_API int32_t PELRIN_CALL APU_Reset(int32_t chip) { return pelrin::Reset(apu, chip); }
PELRIN_API void PELRIN_CALL APU_SetOutputBuffer(void *buffer, uint32_t sizeInBytes) {
    pelrin::SetOutputBuffer(apu, buffer, sizeInBytes);
}
PELRIN_API uint32_t PELRIN_CALL APU_GetWrittenBufferSize(int32_t rewind) {
    return pelrin::GetWrittenBufferSize(apu, rewind);
}
PELRIN_API void PELRIN_CALL APU_ResetOutputBuffer(void) { pelrin::ResetOutputBuffer(apu); }
PELRIN_API uint32_t PELRIN_CALL APU_GetTimestamp(void) { return pelrin::GetTimestamp(apu); }
PELRIN_API void PELRIN_CALL APU_SetTimestamp(uint32_t cycle) { pelrin::SetTimestamp(apu, cycle); }
PELRIN_API uint32_t PELRIN_CALL APU_FindNextIRQ(void) { return pelrin::FindNextIRQ(apu); }
PELRIN_API uint32_t PELRIN_CALL APU_RunToCycle(uint32_t cycle) { return pelrin::RunToCycle(apu, cycle); }
PELRIN_API uint32_t PELRIN_CALL APU_RegWrite(uint32_t address, uint32_t value, uint32_t cycle) {
    return pelrin::RegWrite(apu, address, value, cycle);
}
PELRIN_API uint32_t PELRIN_CALL APU_RegRead(uint32_t address, uint8_t *data, uint32_t cycle) {
    return pelrin::RegRead(apu, address, data, cycle);
}
PELRIN_API void PELRIN_CALL APU_Configure(float masterVolume, int32_t rampOption, int32_t triangleShape) {
    pelrin::Configure(apu, masterVolume, rampOption, triangleShape);
}
PELRIN_API void PELRIN_CALL APU_SetChannelOptions(int32_t index, int32_t enable, int32_t volume, int32_t pan) {
    pelrin::SetChannelOptions(apu, index, enable, volume, pan);
}

}  // extern "C"
