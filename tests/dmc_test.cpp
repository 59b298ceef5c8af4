// Delta modulation channel: fetches and stall cycles, level walk, sample
// end and loop, interrupt, the $4011 ramp and the region's rates.
#include "support.h"

namespace pelrin::test {
namespace {

struct Dmc : Unit {
    std::vector<uint8_t> rom = std::vector<uint8_t>(0x8000, 0);
    DmcChannel &d = apu.dmc;
    void SetUp() override {
        Unit::SetUp();
        for (int bank = 0; bank < 8; bank++) APU_SetDMAPointer(bank, Bank(bank));
        Write(0x4012, 0x00);  // samples start at $C000, bank 4
    }
    // Bank k of the host's memory.
    uint8_t *Bank(int k) { return rom.data() + k * 4096; }
};

TEST_F(Dmc, PlaysASampleAndReturnsOneStallPerByte) {
    std::fill(Bank(4), Bank(4) + 17, 0xFF);  // $C000: rising bits
    Write(0x4010, 0x8F);  // interrupt, rate 54
    Write(0x4011, 0);
    Write(0x4012, 0x00);
    Write(0x4013, 0x01);  // 17 bytes
    Write(0x4015, 0x10);
    EXPECT_EQ(APU_FindNextIRQ(), 17u * 54);  // never later than the interrupt
    uint32_t stalls = APU_RunToCycle(100000);
    EXPECT_EQ(stalls, 17u);
    EXPECT_EQ(APU_GetTimestamp(), 100017u);
    EXPECT_EQ(d.active, 0);
    EXPECT_EQ(d.irqFlag, 1);
    EXPECT_EQ(d.level, 126);  // rises by 2 and stops below 127
    EXPECT_EQ(d.mixLevel, 126);
    EXPECT_EQ(APU_FindNextIRQ(), 0u);
}

TEST_F(Dmc, SampleEndsOnePeriodAfterItsLastBit) {
    Write(0x4010, 0x8F);
    Write(0x4013, 0x01);
    Write(0x4015, 0x10);  // started at cycle 0: first bit at once
    // 136 bits, one every 54 cycles from the start; the 17 stall cycles
    // count as channel time too.
    const uint32_t end = 17 * 8 * 54;
    APU_RunToCycle(end - 1 - 17);
    ASSERT_EQ(APU_GetTimestamp(), end - 1);
    EXPECT_EQ(d.active, 1);
    uint8_t status = 0;
    APU_RegRead(0x4015, &status, APU_GetTimestamp() + 1);
    EXPECT_EQ(status & 0x90, 0x80);  // ended with its interrupt
}

TEST_F(Dmc, LevelWalksDownAndStopsAtTheFloor) {
    Bank(4)[0] = 0x00;
    Bank(4)[1] = 0x55;  // alternating, starting with a 1 bit
    Write(0x4010, 0x0F);
    Write(0x4011, 5);
    Write(0x4013, 0x00);  // length 1 is never started
    Write(0x4015, 0x10);
    EXPECT_EQ(d.active, 0);
    d.sampleLength = 2;
    Write(0x4015, 0x10);
    EXPECT_EQ(IntegrateDmc(d, 54 * 8 - 1), 1u);
    EXPECT_EQ(d.level, 1);  // 5 -> 3 -> 1, and 0 bits cannot go below 1
    EXPECT_EQ(IntegrateDmc(d, 1), 1u);
    EXPECT_EQ(d.level, 3);
    EXPECT_EQ(IntegrateDmc(d, 54), 0u);
    EXPECT_EQ(d.level, 1);
}

TEST_F(Dmc, LevelAtTheTopDoesNotRise) {
    Bank(4)[0] = 0xFF;
    Write(0x4011, 126);
    d.sampleLength = 2;
    Write(0x4010, 0x0F);
    Write(0x4015, 0x10);
    IntegrateDmc(d, 54 * 3);
    EXPECT_EQ(d.level, 126);
    Write(0x4011, 125);
    IntegrateDmc(d, 54);
    EXPECT_EQ(d.level, 127);
    IntegrateDmc(d, 54);
    EXPECT_EQ(d.level, 127);
}

TEST_F(Dmc, LoopingSampleRestartsWithoutInterrupt) {
    Write(0x4010, 0xCF);  // interrupt enabled, loop
    Write(0x4012, 0x01);  // $C040
    Write(0x4013, 0x00);
    d.sampleLength = 3;
    Write(0x4015, 0x10);
    // A byte every 432 cycles of channel time, stall cycles included: by
    // 5184 + 13 cycles the 13th fetch (at 5184) has happened.
    uint32_t stalls = APU_RunToCycle(54 * 8 * 3 * 4);
    EXPECT_EQ(stalls, 13u);
    EXPECT_EQ(d.active, 1);
    EXPECT_EQ(d.irqFlag, 0);
    EXPECT_EQ(APU_FindNextIRQ(), 29830u - APU_GetTimestamp());  // only the frame interrupt
}

TEST_F(Dmc, StartWhilePlayingChangesNothingAndStopIsSilent) {
    Write(0x4010, 0x8F);
    Write(0x4013, 0x10);
    Write(0x4015, 0x10);
    APU_RunToCycle(1000);
    uint16_t offset = d.offset;
    uint16_t left = d.bytesLeft;
    Write(0x4012, 0x40);
    Write(0x4015, 0x10);
    EXPECT_EQ(d.offset, offset);
    EXPECT_EQ(d.bytesLeft, left);
    Write(0x4015, 0x00);
    EXPECT_EQ(d.active, 0);
    APU_RunToCycle(200000);
    EXPECT_EQ(d.irqFlag, 0);
}

TEST_F(Dmc, FetchesWrapFromTheLastBankToTheFirst) {
    Bank(7)[4095] = 0xAA;
    Bank(0)[0] = 0xBB;
    Write(0x4012, 0xFF);  // $FFC0: bank 7, offset 4032
    EXPECT_EQ(d.startBank, 7);
    EXPECT_EQ(d.startOffset, 4032);
    Write(0x4010, 0x0F);
    Write(0x4013, 0x04);  // 65 bytes: runs past $FFFF
    Write(0x4015, 0x10);
    EXPECT_EQ(IntegrateDmc(d, 54 * 8 * 64 + 1), 65u);
    EXPECT_EQ(d.bank, 0);
    EXPECT_EQ(d.offset, 1);
    EXPECT_EQ(d.shifter, 0xBB >> 1);
}

TEST_F(Dmc, BankPointerIsReadAfreshAtEveryFetch) {
    std::vector<uint8_t> other(4096, 0x00);
    Bank(4)[0] = 0xFF;
    Bank(4)[1] = 0xFF;
    Write(0x4010, 0x0F);
    Write(0x4011, 64);
    d.sampleLength = 2;
    Write(0x4015, 0x10);
    APU_RunToCycle(54 * 4);
    APU_SetDMAPointer(4, other.data());  // remapped before the second fetch
    APU_RunToCycle(54 * 16);
    EXPECT_EQ(d.level, 64 + 16 - 16);
}

TEST_F(Dmc, UnsetBankReadsZeroAndStillStalls) {
    APU_SetDMAPointer(4, nullptr);
    Write(0x4010, 0x0F);
    Write(0x4011, 100);
    Write(0x4013, 0x01);
    Write(0x4015, 0x10);
    EXPECT_EQ(APU_RunToCycle(20000), 17u);
    EXPECT_EQ(d.level, 100 - 2 * 50 + 0);  // every bit 0: falls to the floor
}

TEST_F(Dmc, StartBeforeAnyRateWriteFetchesTheWholeSampleAtOnce) {
    Write(0x4013, 0x01);
    Write(0x4015, 0x10);
    ASSERT_EQ(d.period, 0);
    EXPECT_EQ(APU_RunToCycle(10), 17u);
    EXPECT_EQ(d.active, 0);
}

TEST_F(Dmc, RegionSelectsThePalRates) {
    Write(0x4010, 0x0D);
    EXPECT_EQ(d.period, 85);
    APU_SetEnvironment(1, -1.0f, -1.0f);
    Write(0x4010, 0x00);
    EXPECT_EQ(d.period, 396);
    Write(0x4010, 0x01);
    EXPECT_EQ(d.period, 352);
    Write(0x4010, 0x0F);
    EXPECT_EQ(d.period, 50);
}

TEST_F(Dmc, RampMovesOneLevelPer100Cycles) {
    APU_Configure(-1.0f, 1, -1);
    d.rampTarget = 10;
    d.level = 10;
    d.rampCountdown = 0;
    Write(0x4011, 20);
    EXPECT_EQ(d.level, 10);
    EXPECT_EQ(d.mixLevel, 20);
    APU_RunToCycle(1);  // the first step comes at once
    EXPECT_EQ(d.level, 11);
    APU_RunToCycle(501);
    EXPECT_EQ(d.level, 16);
    Write(0x4011, 30);  // a new target first completes the old jump
    EXPECT_EQ(d.level, 20);
    APU_RunToCycle(501 + 1000);
    EXPECT_EQ(d.level, 30);
    APU_RunToCycle(501 + 5000);
    EXPECT_EQ(d.level, 30);
}

TEST_F(Dmc, RampAfterResetClimbsToTheMiddle) {
    APU_Configure(-1.0f, 1, -1);
    APU_Reset(0);
    APU_RunToCycle(3200);
    EXPECT_NEAR(d.level, 32, 1);
    APU_RunToCycle(10000);
    EXPECT_EQ(d.level, 64);
}

TEST_F(Dmc, SampleEndSettlesTheRampTarget) {
    APU_Configure(-1.0f, 1, -1);
    d.level = d.rampTarget = 64;
    Bank(4)[0] = 0xFF;
    Write(0x4010, 0x0F);
    d.sampleLength = 2;
    Write(0x4015, 0x10);
    APU_RunToCycle(5000);
    EXPECT_EQ(d.active, 0);
    EXPECT_EQ(d.rampTarget, d.level);
    uint8_t level = d.level;
    APU_RunToCycle(10000);
    EXPECT_EQ(d.level, level);  // no ramp back
}

}  // namespace
}  // namespace pelrin::test
