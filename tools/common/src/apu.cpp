#include "apu.hpp"

#include "frame/instance.h"

namespace pelrin_tools {

Apu::Apu() : state_(std::make_unique<pelrin::ApuState>()) {}
Apu::Apu(const Apu &other) : state_(std::make_unique<pelrin::ApuState>(*other.state_)) {}
Apu::~Apu() = default;

void Apu::initialize() { pelrin::Initialize(*state_); }
void Apu::setEnvironment(int32_t region, float cpuClock, float stepPeriod) {
    pelrin::SetEnvironment(*state_, region, cpuClock, stepPeriod);
}
void Apu::setOutputFormat(int32_t rate, int32_t bits, int32_t channels) {
    pelrin::SetOutputFormat(*state_, rate, bits, channels);
}
void Apu::setDmaPointer(int32_t bank, const uint8_t *memory) { pelrin::SetDMAPointer(*state_, bank, memory); }
int32_t Apu::reset(int32_t chip) { return pelrin::Reset(*state_, chip); }
void Apu::setOutputBuffer(void *buffer, uint32_t sizeInBytes) {
    pelrin::SetOutputBuffer(*state_, buffer, sizeInBytes);
}
uint32_t Apu::writtenBufferSize(int32_t rewind) { return pelrin::GetWrittenBufferSize(*state_, rewind); }
uint32_t Apu::findNextIrq() { return pelrin::FindNextIRQ(*state_); }
uint32_t Apu::runToCycle(uint32_t cycle) { return pelrin::RunToCycle(*state_, cycle); }
uint32_t Apu::regWrite(uint32_t address, uint32_t value, uint32_t cycle) {
    return pelrin::RegWrite(*state_, address, value, cycle);
}
uint32_t Apu::regRead(uint32_t address, uint8_t *data, uint32_t cycle) {
    return pelrin::RegRead(*state_, address, data, cycle);
}
void Apu::configure(float masterVolume, int32_t rampOption, int32_t triangleShape) {
    pelrin::Configure(*state_, masterVolume, rampOption, triangleShape);
}
void Apu::setChannelOptions(int32_t index, int32_t enable, int32_t volume, int32_t pan) {
    pelrin::SetChannelOptions(*state_, index, enable, volume, pan);
}

} // namespace pelrin_tools
