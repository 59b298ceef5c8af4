// Shared helpers for the library tests: a fresh, loaded-and-initialised
// sound unit per test, and a host-like way to render into a buffer.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "frame/state.h"
#include "pelrin.h"

namespace pelrin::test {

// Restores the load image (as if the library had just been loaded).
void LoadFresh();

// Load image, APU_Initialize, a 16-bit mono buffer, APU_Reset(chip).
struct Unit : ::testing::Test {
    std::vector<uint8_t> buffer = std::vector<uint8_t>(1 << 20);
    void SetUp() override;
    void Start(int chip = 0);
    // Runs to `cycle` and returns the 16-bit mono samples written, rewinding.
    std::vector<int16_t> Samples(uint32_t cycle);
    // One output sample per CPU cycle: clock and rate both 1 MHz.
    void OneSamplePerCycle();
    void Write(uint16_t address, uint8_t value) { APU_RegWrite(address, value, APU_GetTimestamp()); }
};

}  // namespace pelrin::test
