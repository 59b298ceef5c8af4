// The library's operations on an instance of their own. The exports of
// pelrin.h apply them to the one process-wide instance; tests and tools in
// C++ may make fresh instances and run them side by side. Each does what
// the export of the same name (with the APU_ prefix) documents.
#pragma once

#include <cstdint>

#include "frame/state.h"

namespace pelrin {

void Initialize(ApuState &apu);
void SetEnvironment(ApuState &apu, int32_t region, float cpuClock, float stepPeriod);
void SetOutputFormat(ApuState &apu, int32_t rate, int32_t bits, int32_t channels);
void SetDMAPointer(ApuState &apu, int32_t bank, const uint8_t *memory);
int32_t Reset(ApuState &apu, int32_t chip);
void SetOutputBuffer(ApuState &apu, void *buffer, uint32_t sizeInBytes);
uint32_t GetWrittenBufferSize(ApuState &apu, int32_t rewind);
void ResetOutputBuffer(ApuState &apu);
uint32_t GetTimestamp(ApuState &apu);
void SetTimestamp(ApuState &apu, uint32_t cycle);
uint32_t FindNextIRQ(ApuState &apu);
uint32_t RunToCycle(ApuState &apu, uint32_t cycle);
uint32_t RegWrite(ApuState &apu, uint32_t address, uint32_t value, uint32_t cycle);
uint32_t RegRead(ApuState &apu, uint32_t address, uint8_t *data, uint32_t cycle);
void Configure(ApuState &apu, float masterVolume, int32_t rampOption, int32_t triangleShape);
void SetChannelOptions(ApuState &apu, int32_t index, int32_t enable, int32_t volume, int32_t pan);

}  // namespace pelrin
