// Triangle (wave, linear counter, frozen periods) and noise (sequences,
// periods, frozen states).
#include "support.h"

namespace pelrin::test {
namespace {

struct Triangle : Unit {
    void SetUp() override {
        Unit::SetUp();
        OneSamplePerCycle();
        Write(0x4011, 64);
        Write(0x4015, 0x04);
    }
    TriangleChannel &t = apu.triangle;
};

TEST_F(Triangle, PlaysThe32StepStaircase) {
    // Triangle levels are scaled by the DMC level's attenuation (64).
    const double k = static_cast<double>(apu.dmc.dmcAttenuation[64]);
    Write(0x4008, 0x81);  // control set: counters hold
    Write(0x400A, 9);
    Write(0x400B, 0x08);
    auto s = Samples(APU_GetTimestamp() + 32 * 10 * 2 + 1);
    // The first expiry comes at once (timer 0), so step 1 starts the wave.
    for (int i = 0; i < 32 * 10 * 2; i++) {
        int step = (1 + i / 10) % 32;
        ASSERT_EQ(s[i], static_cast<int16_t>(apu.triangle.output.levelLeft[step] * k)) << i;
    }
}

TEST_F(Triangle, ShortPeriodFreezesTheWaveAtItsStep) {
    Write(0x4008, 0x81);
    Write(0x400A, 20);
    Write(0x400B, 0x08);
    APU_RunToCycle(APU_GetTimestamp() + 21 * 5);
    APU_ResetOutputBuffer();
    uint8_t step = t.step;
    ASSERT_NE(t.output.levelLeft[step], 0);
    Write(0x400A, 7);
    Write(0x400B, 0x08);
    auto s = Samples(APU_GetTimestamp() + 500);
    EXPECT_EQ(t.step, step);
    for (int16_t v : s) ASSERT_EQ(v, static_cast<int16_t>(t.output.levelLeft[step] * apu.dmc.dmcAttenuation[64]));
}

TEST_F(Triangle, GatedOffAfterResetHoldsZero) {
    Write(0x400A, 20);
    Write(0x400B, 0x08);  // linear reload 0: silent at once
    EXPECT_EQ(t.linearCounter, 0);
    for (int16_t v : Samples(APU_GetTimestamp() + 300)) ASSERT_EQ(v, 0);
    EXPECT_EQ(t.step, 0);
}

TEST_F(Triangle, LinearCounterStartsAtTheNextQuarterFrame) {
    Write(0x4008, 0x05);  // control clear, reload 5
    EXPECT_EQ(t.linearCounter, 5);  // inactive: loaded at once
    Write(0x400B, 0x08);
    EXPECT_EQ(t.linearStartPending, 1);
    EXPECT_EQ(t.linearActive, 0);
    ClockLinearCounter(t);
    EXPECT_EQ(t.linearActive, 1);
    EXPECT_EQ(t.linearCounter, 4);  // the first count comes off at once
    Write(0x4008, 0x09);  // while active only the reload value changes
    EXPECT_EQ(t.linearReload, 9);
    EXPECT_EQ(t.linearCounter, 4);
    for (int i = 0; i < 10; i++) ClockLinearCounter(t);
    EXPECT_EQ(t.linearCounter, 0);
}

TEST_F(Triangle, ControlSetHoldsBothCounters) {
    Write(0x4008, 0x83);
    Write(0x400A, 20);
    Write(0x400B, 0x08);
    APU_RunToCycle(APU_GetTimestamp() + 7457 * 12);
    EXPECT_EQ(t.linearCounter, 3);
    EXPECT_EQ(t.length, 254);
    // Clearing control starts nothing: no start was left pending.
    Write(0x4008, 0x03);
    ClockLinearCounter(t);
    EXPECT_EQ(t.linearCounter, 3);
    Write(0x400B, 0x08);  // a length write with control clear does start it
    ClockLinearCounter(t);
    EXPECT_EQ(t.linearCounter, 2);
}

TEST_F(Triangle, DisabledChannelIgnoresLengthWrites) {
    Write(0x4015, 0x00);
    Write(0x4008, 0x8F);
    Write(0x400B, 0x08);
    EXPECT_EQ(t.length, 0);
}

struct Noise : Unit {
    void SetUp() override {
        Unit::SetUp();
        Write(0x4015, 0x08);
    }
    NoiseChannel &n = apu.noise;
    // Runs the channel over `shifts` shifts of period 6.
    void Shift(int shifts) {
        for (int i = 0; i < shifts; i++) IntegrateNoise(n, 6);
    }
};

TEST_F(Noise, LongSequenceRepeatsEvery32767Shifts) {
    Write(0x400E, 0x00);
    Write(0x400F, 0x08);
    n.timer = 6;
    for (int i = 1; i <= 14; i++) {
        Shift(1);
        ASSERT_EQ(n.outputBit, 1) << i;
    }
    Shift(1);
    EXPECT_EQ(n.outputBit, 0);
    // Register value after shift 1 is 2; it comes back after 32767 more.
    n.shiftRegister = 1;
    Shift(1);
    ASSERT_EQ(n.shiftRegister, 2);
    int period = 0;
    do {
        Shift(1);
        period++;
    } while (n.shiftRegister != 2 && period < 40000);
    EXPECT_EQ(period, 32767);
}

TEST_F(Noise, ShortSequenceRepeatsEvery93Shifts) {
    Write(0x400E, 0x80);
    Write(0x400F, 0x08);
    n.timer = 6;
    Shift(1);
    EXPECT_EQ(n.shiftRegister, 2);
    Shift(92);
    EXPECT_EQ(n.shiftRegister, 0x8001);
    Shift(1);
    EXPECT_EQ(n.shiftRegister, 2);
}

TEST_F(Noise, PeriodChangeWaitsForTheCurrentInterval) {
    Write(0x400E, 0x0F);  // 4070 cycles
    Write(0x400F, 0x08);
    n.timer = 100;
    Write(0x400E, 0x00);  // 6 cycles, from the next interval
    IntegrateNoise(n, 99);
    EXPECT_EQ(n.shiftRegister, 1);
    IntegrateNoise(n, 1);
    EXPECT_EQ(n.shiftRegister, 2);
    EXPECT_EQ(n.timer, 6);
}

TEST_F(Noise, SilentChannelKeepsItsPlaceInTheSequence) {
    Write(0x400E, 0x00);
    Write(0x400F, 0x08);
    n.timer = 6;
    Shift(20);
    uint16_t reg = n.shiftRegister;
    n.length = 0;
    IntegrateNoise(n, 6000);
    EXPECT_EQ(n.shiftRegister, reg);
    EXPECT_EQ(n.output.sumLeft, 0);
}

TEST_F(Noise, NeverWrittenPeriodFreezesInsteadOfHanging) {
    Write(0x400F, 0x08);  // length loaded, but no period yet
    ASSERT_EQ(n.period, 0);
    APU_RunToCycle(100000);
    EXPECT_EQ(n.shiftRegister, 1);
}

TEST_F(Noise, SoundsItsVolumeOnlyWhileTheOutputBitIsSet) {
    Write(0x400C, 0x3A);  // halt, constant volume 10
    Write(0x400E, 0x00);
    Write(0x400F, 0x08);
    n.timer = 6;
    IntegrateNoise(n, 6 * 16);  // 14 shifts of output 1, then 0
    // The first interval plays the output bit left from before (0), then 14
    // intervals sound and the 15th shift silences the 16th.
    EXPECT_EQ(n.output.sumLeft, static_cast<int64_t>(apu.noise.output.levelLeft[10]) * 6 * 14);
}

}  // namespace
}  // namespace pelrin::test
