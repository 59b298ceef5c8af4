// $4015 and $4017 writes and reads, interrupt prediction, open bus, the
// timestamp and the reset.
#include <cstring>

#include "support.h"

namespace pelrin::test {
namespace {

struct Registers : Unit {
    uint8_t Read(uint16_t address, uint8_t bus = 0) {
        APU_RegRead(address, &bus, APU_GetTimestamp());
        return bus;
    }
};

TEST_F(Registers, StatusWriteClearsLengthsAndReadShowsThem) {
    Write(0x4015, 0x0F);
    Write(0x4003, 0x08);
    Write(0x4007, 0x08);
    Write(0x400B, 0x08);
    Write(0x400F, 0x08);
    EXPECT_EQ(Read(0x4015) & 0x1F, 0x0F);
    Write(0x4015, 0x0E);
    EXPECT_EQ(Read(0x4015) & 0x1F, 0x0E);
    Write(0x4015, 0x0F);  // enabling loads no length
    EXPECT_EQ(Read(0x4015) & 0x01, 0);
    EXPECT_EQ(apu.pulse[0].enabled, 1);
}

TEST_F(Registers, LengthRunningOutDuringTheCatchUpShowsInTheRead) {
    Write(0x4015, 0x01);
    Write(0x4000, 0x00);
    Write(0x4003, 0x18);  // length 2: two half-frame clocks
    uint8_t status = 0;
    APU_RegRead(0x4015, &status, 22372);
    EXPECT_EQ(status & 1, 1);
    APU_RegRead(0x4015, &status, 22373);
    EXPECT_EQ(status & 1, 0);
}

TEST_F(Registers, StatusReadClearsOnlyTheFrameInterrupt) {
    apu.frameIrqFlag = 1;
    apu.dmc.irqFlag = 1;
    EXPECT_EQ(Read(0x4015), 0xC0);
    EXPECT_EQ(Read(0x4015), 0x80);
    EXPECT_EQ(APU_FindNextIRQ(), 0u);
    Write(0x4015, 0x00);  // every status write clears the DMC interrupt
    EXPECT_EQ(Read(0x4015), 0x00);
    apu.frameIrqFlag = 1;
    Write(0x4015, 0x10);
    EXPECT_EQ(apu.frameIrqFlag, 1);
}

TEST_F(Registers, FrameCounterWrites) {
    apu.frameIrqFlag = 1;
    Write(0x4017, 0x00);
    EXPECT_EQ(apu.frameIrqFlag, 1);
    Write(0x4017, 0x40);
    EXPECT_EQ(apu.frameIrqFlag, 0);
    EXPECT_EQ(apu.frameIrqEnabled, 0);
    // Five-step mode clocks the envelopes and linear counter, not lengths.
    Write(0x4015, 0x01);
    Write(0x4000, 0x00);
    Write(0x4003, 0x08);
    Write(0x4008, 0x05);
    Write(0x400B, 0x08);
    Write(0x4017, 0x80);
    EXPECT_EQ(apu.pulse[0].envelope.decay, 14);
    EXPECT_EQ(apu.pulse[0].length, 254);
    EXPECT_EQ(apu.triangle.linearCounter, 4);
    EXPECT_EQ(apu.frameStepLimit, 4);
    EXPECT_EQ(apu.frameIrqEnabled, 1);
}

TEST_F(Registers, FrameCounterReadShowsModeAndInhibit) {
    EXPECT_EQ(Read(0x4017, 0xFF), 0x3F);
    Write(0x4017, 0xC0);
    EXPECT_EQ(Read(0x4017, 0xFF), 0xFF);
    EXPECT_EQ(Read(0x4017, 0x00), 0xC0);
}

TEST_F(Registers, OtherAddressesReadAsOpenBus) {
    EXPECT_EQ(Read(0x4001, 0x12), 0x40);
    EXPECT_EQ(Read(0x5015, 0x12), 0x50);
    EXPECT_EQ(Read(0x4800, 0x12), 0x12);  // no Namco 163: the byte stays
    EXPECT_EQ(APU_RegRead(0x4015, nullptr, APU_GetTimestamp()), 0u);  // no crash
}

TEST_F(Registers, UnusedAddressesChangeNothing) {
    std::vector<uint8_t> before(sizeof(ApuState));
    std::memcpy(before.data(), &apu, sizeof(ApuState));
    for (uint16_t a : {0x4009, 0x400D, 0x4014, 0x4016, 0x4018, 0x9000, 0x5015, 0xF800})
        for (uint8_t v : {0x00, 0xFF}) Write(a, v);
    EXPECT_EQ(std::memcmp(before.data(), &apu, sizeof(ApuState)), 0);
}

TEST_F(Registers, RegisterAccessesReturnTheCatchUpStalls) {
    std::vector<uint8_t> rom(4096);
    for (int b = 0; b < 8; b++) APU_SetDMAPointer(b, rom.data());
    Write(0x4010, 0x0F);
    Write(0x4013, 0x01);
    Write(0x4015, 0x10);
    // A byte every 432 cycles of channel time, stalls included: 12 fetches
    // by cycle 5000 + 12, the other 5 in the next 5000 cycles.
    EXPECT_EQ(APU_RegWrite(0x4009, 0, 5000), 12u);
    EXPECT_EQ(APU_GetTimestamp(), 5012u);
    uint8_t bus = 0;
    EXPECT_EQ(APU_RegRead(0x4015, &bus, APU_GetTimestamp() + 5000), 5u);
    EXPECT_EQ(APU_RegWrite(0x4009, 0, APU_GetTimestamp()), 0u);
}

TEST_F(Registers, NextInterruptPrediction) {
    EXPECT_EQ(APU_FindNextIRQ(), 29830u);
    Write(0x4017, 0x40);
    EXPECT_EQ(APU_FindNextIRQ(), 0xFFFFFFFFu);
    // Five-step mode, step 3, 100.25 cycles to go: one more period after it.
    Write(0x4017, 0x80);
    apu.frameStep = 3;
    apu.frameStepCountdown = 100.25f;
    EXPECT_EQ(APU_FindNextIRQ(), 7558u);
    // A playing sample: bytes left x period + timer.
    apu.dmc.irqEnabled = 0x80;
    apu.dmc.active = 1;
    apu.dmc.bytesLeft = 10;
    apu.dmc.period = 428;
    apu.dmc.timer = 100;
    EXPECT_EQ(APU_FindNextIRQ(), 4380u);
    apu.dmc.loop = 0x40;
    EXPECT_EQ(APU_FindNextIRQ(), 7558u);
}

TEST_F(Registers, PredictionAfterAFourStepWriteIsTheNextEvent) {
    APU_RunToCycle(1000);
    Write(0x4017, 0x00);
    EXPECT_EQ(APU_FindNextIRQ(), 7458u);
    APU_RunToCycle(1000 + 7457);
    EXPECT_EQ(APU_FindNextIRQ(), 1u);
    APU_RunToCycle(1000 + 7458);
    EXPECT_EQ(APU_FindNextIRQ(), 0u);
}

TEST_F(Registers, PredictionIsExactAfterReset) {
    for (uint32_t cycle = 1000; cycle < 29830; cycle += 7001) {
        APU_RunToCycle(cycle);
        EXPECT_EQ(APU_FindNextIRQ(), 29830u - cycle);
    }
}

TEST_F(Registers, TimestampCanBeMoved) {
    APU_SetTimestamp(123456);
    EXPECT_EQ(APU_GetTimestamp(), 123456u);
    APU_RunToCycle(123456 + 41);
    EXPECT_EQ(APU_GetWrittenBufferSize(0), 2u);
}

TEST_F(Registers, ResetIsSelective) {
    Write(0x4015, 0x0F);
    Write(0x4002, 0x34);
    Write(0x4003, 0x0A);
    Write(0x400E, 0x85);
    Write(0x4010, 0x8F);
    APU_RunToCycle(30000);
    APU_Reset(1);
    EXPECT_EQ(apu.expansionChip, 1);
    EXPECT_EQ(apu.pulse[0].period, 0x234);  // periods survive
    EXPECT_EQ(apu.pulse[0].length, 0);
    EXPECT_EQ(apu.pulse[0].sweepNegateExtra, 1);
    EXPECT_EQ(apu.pulse[1].sweepNegateExtra, 0);
    EXPECT_EQ(apu.noise.shiftRegister, 1);
    EXPECT_EQ(apu.noise.tapShift, 6);
    EXPECT_EQ(apu.dmc.period, 54);
    EXPECT_EQ(apu.dmc.irqEnabled, 0);
    EXPECT_EQ(apu.dmc.rampTarget, 64);
    EXPECT_EQ(apu.mmc5Pulse[0].muted, 1);
    EXPECT_EQ(apu.mmc5Pcm.value, 128);
    EXPECT_EQ(Read(0x4015), 0x00);
    EXPECT_EQ(apu.frameStep, 0);
    EXPECT_EQ(APU_FindNextIRQ(), 29830u);
}

TEST_F(Registers, UnknownChipsActAsNone) {
    for (int chip : {3, 64, -1, 2, 4, 32}) {
        Start(chip);
        EXPECT_EQ(apu.expansionChip, (chip == 2 || chip == 4 || chip == 32) ? chip : 0);
        Write(0x9000, 0x8F);
        Write(0x9002, 0x80);
        EXPECT_EQ(apu.vrc6Pulse[0].volume, 0);
        EXPECT_EQ(apu.vrc6Pulse[0].enabled, 0);
    }
}

}  // namespace
}  // namespace pelrin::test
