// A sound unit of the tool's own: the library's state, allocated on the
// heap (it is large), driven through the library's internal interface. Each
// render holds one, so renders on several threads share nothing; the
// methods do what the library's exports of the same names document.
#pragma once

#include <cstdint>
#include <memory>

namespace pelrin {
struct ApuState;
}

namespace pelrin_tools {

class Apu {
public:
    Apu();                  // as the library is when it is loaded
    Apu(const Apu &other);  // a copy of other's state (its buffer and banks pointers too)
    Apu &operator=(const Apu &) = delete;
    ~Apu();

    void initialize();
    void setEnvironment(int32_t region, float cpuClock, float stepPeriod);
    void setOutputFormat(int32_t rate, int32_t bits, int32_t channels);
    void setDmaPointer(int32_t bank, const uint8_t *memory);
    int32_t reset(int32_t chip);
    void setOutputBuffer(void *buffer, uint32_t sizeInBytes);
    uint32_t writtenBufferSize(int32_t rewind);
    uint32_t findNextIrq();
    uint32_t runToCycle(uint32_t cycle);
    uint32_t regWrite(uint32_t address, uint32_t value, uint32_t cycle);
    uint32_t regRead(uint32_t address, uint8_t *data, uint32_t cycle);
    void configure(float masterVolume, int32_t rampOption, int32_t triangleShape);
    void setChannelOptions(int32_t index, int32_t enable, int32_t volume, int32_t pan);

private:
    std::unique_ptr<pelrin::ApuState> state_;
};

} // namespace pelrin_tools
