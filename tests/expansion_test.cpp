// Expansion chips: VRC6 pulses and sawtooth, MMC5 pulses and PCM, Namco 163
// RAM, ports and wavetable playback.
#include <cmath>

#include "support.h"

namespace pelrin::test {
namespace {

struct Vrc6 : Unit {
    void SetUp() override { Start(kChipVrc6); }
    Vrc6PulseChannel &p = apu.vrc6Pulse[0];
    Vrc6SawChannel &saw = apu.vrc6Saw;
};

TEST_F(Vrc6, PulseDutyIsDutyPlusOneStepsOf16) {
    Write(0x9000, 0x0F);  // duty 0, volume 15
    Write(0x9001, 9);
    Write(0x9002, 0x80);
    IntegrateVrc6Pulse(p, 160 * 4);  // first call: zero-length piece, then step 1
    EXPECT_EQ(p.output.sumLeft, 4096LL * (-10 * 15 + 10 * 1) * 4);
    p.output.sumLeft = 0;
    Write(0x9000, 0x7F);  // duty 7: a square wave
    IntegrateVrc6Pulse(p, 160);
    EXPECT_EQ(p.output.sumLeft, 0);
}

TEST_F(Vrc6, DirectModeIsCentredOnVolume8) {
    Write(0x9001, 1);
    Write(0x9002, 0x80);
    Write(0x9000, 0x88);
    IntegrateVrc6Pulse(p, 100);
    EXPECT_EQ(p.output.sumLeft, 0);
    Write(0x9000, 0x8F);
    IntegrateVrc6Pulse(p, 100);
    EXPECT_EQ(p.output.sumLeft, 2 * (4096 - 2184) * 100);
    EXPECT_EQ(p.step, 0);  // the sequence stood still
}

TEST_F(Vrc6, PeriodZeroOrDisabledStandsStill) {
    Write(0x9000, 0x8F);
    Write(0x9002, 0x80);  // period 0
    IntegrateVrc6Pulse(p, 100);
    Write(0x9001, 5);
    Write(0x9002, 0x00);  // disabled
    IntegrateVrc6Pulse(p, 100);
    EXPECT_EQ(p.output.sumLeft, 0);
    Write(0x9003, 0xFF);  // not a register
    EXPECT_EQ(p.period, 5);
}

TEST_F(Vrc6, EachRegisterReachesItsOwnChannel) {
    Write(0xA000, 0xF3);
    Write(0xA001, 0x34);
    Write(0xA002, 0x82);
    Write(0xB000, 0xFF);
    Write(0xB001, 0x78);
    Write(0xB002, 0x0F);
    const Vrc6PulseChannel &p2 = apu.vrc6Pulse[1];
    EXPECT_EQ(p2.volume, 3);
    EXPECT_EQ(p2.duty, 7);
    EXPECT_EQ(p2.directMode, 0x80);
    EXPECT_EQ(p2.period, 0x234);
    EXPECT_EQ(p2.enabled, 0x80);
    EXPECT_EQ(saw.rate, 0x3F);
    EXPECT_EQ(saw.period, 0xF78);
    EXPECT_EQ(saw.enabled, 0);
    EXPECT_EQ(p.period, 0);  // pulse 1 untouched
    EXPECT_EQ(p.volume, 0);
    Write(0xB003, 0x80);
    Write(0xC000, 0x80);
    Write(0x8002, 0x80);
    EXPECT_EQ(saw.enabled, 0);
}

TEST_F(Vrc6, SawtoothBucketsAndWrap) {
    auto buckets = [&](uint8_t rate) {
        Start(kChipVrc6);
        Write(0xB000, rate);
        Write(0xB001, 0);
        Write(0xB002, 0x80);  // period 0 would be silent: use 1
        Write(0xB001, 1);
        std::vector<int> seen;
        IntegrateVrc6Saw(saw, 1);  // zero-length piece, then step 1
        for (int i = 0; i < 14; i++) {
            seen.push_back(saw.accumulator >> 3);
            IntegrateVrc6Saw(saw, 2);
        }
        return seen;
    };
    std::vector<int> r42 = buckets(42);
    EXPECT_EQ(r42, (std::vector<int>{0, 5, 5, 10, 10, 15, 15, 21, 21, 26, 26, 31, 31, 0}));
    std::vector<int> r43 = buckets(43);
    EXPECT_EQ(r43[11], 0);  // 6 x 43 wraps to 2
    std::vector<int> r0 = buckets(0);
    for (int b : r0) EXPECT_EQ(b, 0);
}

TEST_F(Vrc6, SawtoothResumesWhereItStopped) {
    Write(0xB000, 20);
    Write(0xB001, 3);
    Write(0xB002, 0x80);
    IntegrateVrc6Saw(saw, 4 * 5 + 1);
    uint8_t acc = saw.accumulator, step = saw.step;
    Write(0xB002, 0x00);
    IntegrateVrc6Saw(saw, 1000);
    Write(0xB002, 0x80);
    EXPECT_EQ(saw.accumulator, acc);
    EXPECT_EQ(saw.step, step);
}

TEST_F(Vrc6, PlaysThroughTheMixer) {
    Write(0x4011, 64);
    Write(0x9000, 0xBF);  // half duty
    Write(0x9001, 99);
    Write(0x9002, 0x80);
    APU_SetChannelOptions(kVrc6Pulse1, -1, -1, 127);
    APU_SetOutputFormat(-1, 16, 2);
    APU_RunToCycle(20000);
    uint32_t bytes = APU_GetWrittenBufferSize(1);
    int64_t leftEnergy = 0, rightEnergy = 0;
    for (uint32_t i = 0; i + 3 < bytes; i += 4) {
        int16_t l = static_cast<int16_t>(buffer[i] | buffer[i + 1] << 8);
        int16_t r = static_cast<int16_t>(buffer[i + 2] | buffer[i + 3] << 8);
        leftEnergy += l * l;
        rightEnergy += r * r;
    }
    EXPECT_EQ(leftEnergy, 0);
    EXPECT_GT(rightEnergy, 0);
}

struct Mmc5 : Unit {
    void SetUp() override { Start(kChipMmc5); }
    PulseChannel &p = apu.mmc5Pulse[0];
};

TEST_F(Mmc5, PulsesMuteOnPeriodAloneAndKeepTheirOwnEnable) {
    EXPECT_EQ(p.muted, 1);
    Write(0x5015, 0x01);
    Write(0x5000, 0x3F);
    Write(0x5002, 0xFF);
    Write(0x5003, 0x0F);  // period 0x7FF: sounds here, unlike a 2A03 pulse
    EXPECT_EQ(p.muted, 0);
    EXPECT_EQ(p.length, 254);
    Write(0x5001, 0xFF);  // no sweep unit
    EXPECT_EQ(p.sweepEnabled, 0);
    Write(0x5002, 0x07);
    Write(0x5003, 0x08);
    EXPECT_EQ(p.muted, 1);
    Write(0x4015, 0x00);
    EXPECT_EQ(p.length, 254);
    Write(0x5015, 0x00);
    EXPECT_EQ(p.length, 0);
    p.envelope.decay = 2;
    Write(0x5003, 0x08);
    EXPECT_EQ(p.length, 0);
    EXPECT_EQ(p.envelope.decay, 15);
}

TEST_F(Mmc5, FrameSequencerClocksThemOnlyWithTheMmc5) {
    Write(0x5015, 0x01);
    Write(0x5000, 0x00);
    Write(0x5003, 0x08);
    Write(0x4017, 0x80);
    EXPECT_EQ(p.envelope.decay, 14);
    APU_RunToCycle(7458);
    EXPECT_EQ(p.length, 253);
    Start(kChipNone);
    p.envelope.decay = 15;
    Write(0x4017, 0x80);
    EXPECT_EQ(p.envelope.decay, 15);
}

TEST_F(Mmc5, PcmHoldsTheLastValueWhileEnabled) {
    IntegrateMmc5Pcm(apu.mmc5Pcm, 10);
    EXPECT_EQ(apu.mmc5Pcm.output.sumLeft, 0);
    Write(0x5011, 0);
    IntegrateMmc5Pcm(apu.mmc5Pcm, 10);
    EXPECT_EQ(apu.mmc5Pcm.output.sumLeft, 0);  // disabled
    Write(0x5010, 0x01);
    IntegrateMmc5Pcm(apu.mmc5Pcm, 10);
    EXPECT_EQ(apu.mmc5Pcm.output.sumLeft, -8192 * 10);
    Start(kChipMmc5);
    Write(0x5010, 0x01);
    IntegrateMmc5Pcm(apu.mmc5Pcm, 10);
    EXPECT_EQ(apu.mmc5Pcm.output.sumLeft, 0);  // 128 after reset
}

struct N163 : Unit {
    void SetUp() override { Start(kChipN163); }
    N163State &s = apu.n163;
    void Poke(uint8_t address, uint8_t value) {
        Write(0xF800, address);
        Write(0x4800, value);
    }
};

TEST_F(N163, PortsWithAutoIncrementFillTheWholeRam) {
    Write(0xF800, 0x80);
    for (int i = 0; i < 128; i++) Write(0x4800, static_cast<uint8_t>(i ^ 0x5A));
    EXPECT_EQ(s.address, 0);
    for (int i = 0; i < 128; i++) ASSERT_EQ(s.ram[i], i ^ 0x5A);
    uint8_t bus = 0;
    Write(0xF800, 0xFF);
    APU_RegRead(0x4800, &bus, APU_GetTimestamp());
    EXPECT_EQ(bus, 127 ^ 0x5A);
    EXPECT_EQ(s.address, 0);
    Write(0xF800, 0x05);
    Write(0x4800, 1);
    Write(0x4800, 2);
    EXPECT_EQ(s.ram[5], 2);
    EXPECT_EQ(s.address, 5);
}

TEST_F(N163, ChannelRegistersDecode) {
    Poke(0x7C, 0x00);
    EXPECT_EQ(s.waveLength[7], 32);
    Poke(0x7C, 0x1C);
    EXPECT_EQ(s.waveLength[7], 4);
    Poke(0x7C, 0xFF);
    EXPECT_EQ(s.waveLength[7], 4);
    EXPECT_EQ(s.frequency[7], 0x30000u);
    Poke(0x7E, 0x21);
    EXPECT_EQ(s.waveStart[7], 0x10);
    EXPECT_EQ(s.waveStartHigh[7], 1);
    Poke(0x7F, 0x7A);
    EXPECT_EQ(s.volume[7], 10);
    EXPECT_EQ(s.channelCountCode, 7);
    Poke(0x40, 0x34);
    Poke(0x42, 0x12);
    EXPECT_EQ(s.frequency[0], 0x1234u);
}

TEST_F(N163, ResetClearsRamButKeepsDecodedSettings) {
    Poke(0x7F, 0x3F);
    Poke(0x78, 0x55);
    APU_Reset(kChipN163);
    uint8_t bus = 0xEE;
    Write(0xF800, 0x7F);
    APU_RegRead(0x4800, &bus, 0);
    EXPECT_EQ(bus, 0);
    EXPECT_EQ(s.volume[7], 15);
    EXPECT_EQ(s.channelCountCode, 3);
    EXPECT_EQ(s.frequency[7], 0u);
}

TEST_F(N163, PlaysAWaveLowNibbleFirstAndWrapsTheRam) {
    // 32 samples from byte 0x78: bytes 0x78-0x7F, then 0x00-0x07.
    Write(0xF800, 0x80);
    for (int i = 0; i < 0x40; i++) Write(0x4800, static_cast<uint8_t>((i & 15) | ((i + 1) & 15) << 4));
    Poke(0x78, 0x21);
    Poke(0x7C, 0x00);
    Poke(0x7E, 0xF0);
    Poke(0x7F, 0x0F);
    Poke(0x78, 0x00);
    Poke(0x7A, 0x10);  // frequency 0x1000
    s.wavePosition[7] = 31;
    std::vector<int> samples;
    double step = s.stepConstant[0] / 4096.0;
    for (int i = 0; i < 40; i++) {
        IntegrateN163(s, static_cast<uint32_t>(std::ceil(step)) + 1);
        samples.push_back(s.readAddress[7] * 2 + s.readHigh[7]);
    }
    // Reads run upward through nibbles and wrap from byte 0x7F to 0x00.
    int wraps = 0;
    for (size_t i = 1; i < samples.size(); i++)
        if (samples[i] < samples[i - 1]) wraps++;
    EXPECT_GE(wraps, 1);
    EXPECT_EQ(s.waveStart[7], 0x78);
    EXPECT_NEAR(s.stepConstant[0] / 0x1000, 240.0, 0.01);
}

TEST_F(N163, StepLengthScalesWithTheActiveChannelCount) {
    Poke(0x7F, 0x0F);  // one channel
    Poke(0x7A, 0x10);
    IntegrateN163(s, 1);
    float one = s.stepCountdown[7];
    Start(kChipN163);
    s.stepCountdown[7] = 0;
    Poke(0x7F, 0x7F);  // eight channels
    Poke(0x7A, 0x10);
    IntegrateN163(s, 1);
    EXPECT_NEAR(s.stepCountdown[7] + 1, (one + 1) * 8, 0.01);
}

TEST_F(N163, WavePitchFollowsFrequencyLengthAndChannelCount) {
    // A 16-sample square wave (8 low, 8 high samples) in bytes 0..7.
    for (uint8_t i = 0; i < 8; i++) Poke(i, i < 4 ? 0x00 : 0xFF);
    Write(0x4011, 64);
    auto pitch = [&](uint8_t countCode) {
        Poke(0x7C, 0x10);  // 16 samples, frequency bits 16-17 = 0
        Poke(0x7E, 0x00);
        Poke(0x78, 0x00);
        Poke(0x7A, 0x40);  // frequency 0x4000
        Poke(0x7F, static_cast<uint8_t>(countCode << 4 | 0x0F));
        APU_ResetOutputBuffer();
        auto s = Samples(APU_GetTimestamp() + 1789773 / 4);
        size_t first = 0, last = 0, rises = 0;
        for (size_t i = 1000; i < s.size(); i++)
            if (s[i - 1] < 0 && s[i] >= 0) {
                if (!rises) first = i;
                last = i;
                rises++;
            }
        return (rises - 1) * 44100.0 / static_cast<double>(last - first);
    };
    // One channel: a step every 983040 / 16384 = 60 cycles, 16 steps a wave.
    EXPECT_NEAR(pitch(0), 1789772.75 / (60.0 * 16), 2.0);
    // Two channels active: every step takes twice as long.
    EXPECT_NEAR(pitch(1), 1789772.75 / (120.0 * 16), 1.0);
}

TEST_F(N163, ZeroFrequencyIsFrozenAndSilent) {
    Poke(0x7F, 0x0F);
    s.sample[7] = 0;
    IntegrateN163(s, 1000);
    EXPECT_EQ(s.sumLeft[7], 0);
    EXPECT_EQ(s.stepCountdown[7], 0.0f);
}

TEST_F(N163, NoStepConstantsBeforeInitializeMeansNoHang) {
    LoadFresh();
    APU_Reset(kChipN163);
    Poke(0x7F, 0x0F);
    Poke(0x7A, 0x10);
    APU_RunToCycle(10000);
    EXPECT_EQ(s.wavePosition[7], 0);
}

}  // namespace
}  // namespace pelrin::test
