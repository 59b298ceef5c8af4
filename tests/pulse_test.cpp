// Pulse channels: waveform, envelope, sweep and the registers $4000-$4007.
#include "support.h"

namespace pelrin::test {
namespace {

struct Pulse : Unit {
    void SetUp() override {
        Unit::SetUp();
        OneSamplePerCycle();
        Write(0x4011, 64);  // DMC at its zero level
        Write(0x4015, 0x03);
    }
    PulseChannel &p1 = apu.pulse[0];
    PulseChannel &p2 = apu.pulse[1];
};

// Cycles spent high in each run of `period` samples, and the distance
// between rising edges.
void ExpectSquare(const std::vector<int16_t> &s, int period, int high, int16_t level) {
    std::vector<size_t> rises;
    for (size_t i = 1; i < s.size(); i++) {
        ASSERT_TRUE(s[i] == level || s[i] == -level) << i << ": " << s[i];
        if (s[i] == level && s[i - 1] == -level) rises.push_back(i);
    }
    ASSERT_GE(rises.size(), 3u);
    for (size_t r = 1; r < rises.size(); r++) EXPECT_EQ(rises[r] - rises[r - 1], static_cast<size_t>(period));
    int count = 0;
    for (size_t i = rises[0]; i < rises[0] + period; i++) count += s[i] == level;
    EXPECT_EQ(count, high);
}

TEST_F(Pulse, PeriodAndDutyShapeTheWave) {
    const struct {
        uint8_t duty;
        int high;
    } duties[] = {{0, 2}, {1, 4}, {2, 8}, {3, 12}};
    uint32_t t = APU_GetTimestamp();
    for (auto d : duties) {
        Write(0x4000, static_cast<uint8_t>(d.duty << 6 | 0x3F));  // halt, constant volume 15
        Write(0x4002, 9);
        Write(0x4003, 0x08);
        t += 16 * 10 * 4;
        ExpectSquare(Samples(t), 160, d.high * 10, 4096);
    }
    Write(0x4004, 0xB8);  // pulse 2 alone, volume 8, half duty, period 99
    Write(0x4000, 0x30);
    Write(0x4006, 99);
    Write(0x4007, 0x08);
    t += 16 * 100 * 4;
    ExpectSquare(Samples(t), 1600, 800, 2184);
}

TEST_F(Pulse, MutedChannelAddsExactlyNothing) {
    Write(0x4000, 0x3F);
    Write(0x4002, 7);
    Write(0x4003, 0x08);
    for (int16_t v : Samples(APU_GetTimestamp() + 200)) ASSERT_EQ(v, 0);
    uint8_t step = p1.step;
    EXPECT_EQ(p1.muted, 1);
    EXPECT_EQ(step, p1.step);  // the sequence stands still too
}

TEST_F(Pulse, SweepTargetMutesEvenWithSweepOff) {
    Write(0x4001, 0x00);  // shift 0, no negate: twice the period
    Write(0x4002, 0xFF);
    Write(0x4003, 0x03);  // period 1023
    EXPECT_EQ(p1.muted, 0);
    Write(0x4002, 0x00);
    Write(0x4003, 0x04);  // period 1024
    EXPECT_EQ(p1.muted, 1);
    Write(0x4001, 0x08);  // negate: only periods below 8 mute
    EXPECT_EQ(p1.muted, 0);
    Write(0x4003, 0x07);
    Write(0x4002, 0xFF);
    EXPECT_EQ(p1.muted, 0);
    Write(0x4003, 0x00);
    Write(0x4002, 0x08);
    EXPECT_EQ(p1.muted, 0);
    Write(0x4002, 0x07);
    EXPECT_EQ(p1.muted, 1);
}

TEST_F(Pulse, DownwardSweepSubtractsOneMoreOnPulse1) {
    for (uint16_t base : {0x4000, 0x4004}) {
        Write(base + 1, 0x89);  // enabled, divider period 0, negate, shift 1
        Write(base + 2, 100);
        Write(base + 3, 0x08);
    }
    APU_RunToCycle(7458);  // first half-frame clock
    EXPECT_EQ(p1.period, 49);
    EXPECT_EQ(p2.period, 50);
}

TEST_F(Pulse, UpwardSweepStopsBeforeLeavingElevenBits) {
    Write(0x4001, 0x81);  // enabled, shift 1, divider period 0
    Write(0x4002, 0x00);
    Write(0x4003, 0x0A);  // period 512
    for (int i = 0; i < 6; i++) ClockPulseHalfFrame(p1);
    EXPECT_EQ(p1.period, 1728);  // 512 -> 768 -> 1152 -> 1728, then the target mutes
    EXPECT_EQ(p1.muted, 1);
}

TEST_F(Pulse, HalfFrameWithZeroLengthNeitherCountsNorSweeps) {
    Write(0x4001, 0xF9);  // divider period 7
    Write(0x4002, 100);
    p1.sweepDivider = 3;
    ASSERT_EQ(p1.length, 0);
    ClockPulseHalfFrame(p1);
    EXPECT_EQ(p1.sweepDivider, 3);
    EXPECT_EQ(p1.period, 100);
}

TEST_F(Pulse, SweepDividerIsNotRestartedBySweepWrites) {
    Write(0x4002, 100);
    Write(0x4003, 0x08);
    p1.sweepDivider = 2;
    Write(0x4001, 0x89);
    EXPECT_EQ(p1.sweepDivider, 2);
    ClockPulseHalfFrame(p1);
    ClockPulseHalfFrame(p1);
    EXPECT_EQ(p1.period, 100);
    ClockPulseHalfFrame(p1);  // the count left by earlier clocks ran out
    EXPECT_EQ(p1.period, 49);
    EXPECT_EQ(p1.sweepDivider, 0);
}

TEST_F(Pulse, LastLengthClockStillSweeps) {
    Write(0x4000, 0x00);  // length counting
    Write(0x4001, 0x89);
    Write(0x4002, 100);
    Write(0x4003, 0x18);  // length 2
    p1.length = 1;
    ClockPulseHalfFrame(p1);
    EXPECT_EQ(p1.length, 0);
    EXPECT_EQ(p1.period, 49);
}

TEST_F(Pulse, LengthWriteWhileDisabledOnlyRestartsTheEnvelope) {
    Write(0x4015, 0x00);
    p1.envelope.decay = 3;
    Write(0x4000, 0x00);
    Write(0x4003, 0x08);
    EXPECT_EQ(p1.length, 0);
    EXPECT_EQ(p1.envelope.decay, 15);
    EXPECT_EQ(p1.envelope.volume, 15);
}

TEST_F(Pulse, LengthWriteKeepsTheSequencePosition) {
    Write(0x4000, 0xBF);
    Write(0x4002, 50);
    Write(0x4003, 0x08);
    APU_RunToCycle(APU_GetTimestamp() + 333);
    uint8_t step = p1.step;
    int32_t timer = p1.timer;
    Write(0x4003, 0x10);
    EXPECT_EQ(p1.step, step);
    EXPECT_EQ(p1.timer, timer);
}

TEST_F(Pulse, ConstantVolumeKeepsTheEnvelopePeriod) {
    Write(0x4000, 0x05);  // envelope mode, period 5
    EXPECT_EQ(p1.envelope.period, 5);
    p1.envelope.decay = 9;
    Write(0x4000, 0x1C);  // constant volume 12
    EXPECT_EQ(p1.envelope.volume, 12);
    EXPECT_EQ(p1.envelope.period, 5);
    Write(0x4000, 0x02);  // back to the envelope
    EXPECT_EQ(p1.envelope.period, 2);
    EXPECT_EQ(p1.envelope.volume, 9);
}

TEST_F(Pulse, EnvelopeDecaysEveryPeriodPlusOneClocksAndLoops) {
    Write(0x4000, 0x21);  // loop, envelope period 1
    Write(0x4003, 0x08);
    std::vector<int> volumes;
    for (int i = 0; i < 34; i++) {
        ClockEnvelope(p1.envelope);
        volumes.push_back(p1.envelope.volume);
    }
    EXPECT_EQ(volumes[0], 14);
    EXPECT_EQ(volumes[1], 14);
    EXPECT_EQ(volumes[2], 13);
    EXPECT_EQ(volumes[28], 0);
    EXPECT_EQ(volumes[30], 15);  // loops back to 15
    Write(0x4000, 0x01);  // no loop: stays at 0
    p1.envelope.decay = 0;
    for (int i = 0; i < 4; i++) ClockEnvelope(p1.envelope);
    EXPECT_EQ(p1.envelope.volume, 0);
}

}  // namespace
}  // namespace pelrin::test
