// Load-time state, initialisation, environment, output format and buffer.
#include <cmath>
#include <limits>

#include "support.h"

namespace pelrin::test {
namespace {

TEST(LoadImage, HoldsTheNtscDefaultsAndNothingElse) {
    LoadFresh();
    EXPECT_EQ(apu.sampleRate, 44100u);
    EXPECT_EQ(apu.bitsPerSample, 16);
    EXPECT_EQ(apu.channelCount, 1);
    EXPECT_EQ(apu.bytesPerFrame, 2);
    EXPECT_EQ(apu.frameStepLimit, 3);
    EXPECT_EQ(apu.frameIrqEnabled, 1);
    EXPECT_EQ(apu.frameStepPeriod, 7457.5f);
    EXPECT_EQ(apu.frameStepCountdown, 7457.5f);
    EXPECT_EQ(apu.cpuClock, 1789772.75f);
    EXPECT_EQ(apu.masterVolume, 1.0f);
    EXPECT_EQ(apu.fillMark, 2u);
    EXPECT_EQ(apu.cyclesPerSample, 40.584415f);
    EXPECT_EQ(apu.sampleCountdown, 40.584415f);
    EXPECT_EQ(apu.regionOffset, 0);
    EXPECT_EQ(apu.bufferSize, 0u);
    EXPECT_EQ(apu.channelVolume[0], 0);
    EXPECT_EQ(apu.n163.stepConstant[0], 0.0f);
}

TEST(LoadImage, RendersNothingWithoutABuffer) {
    LoadFresh();
    APU_Reset(0);
    APU_RunToCycle(100000);
    EXPECT_EQ(APU_GetWrittenBufferSize(0), 0u);
}

TEST(LoadImage, OutputBeforeInitializeIsSilence) {
    LoadFresh();
    std::vector<uint8_t> buf(64, 0xAA);
    APU_SetOutputFormat(44100, 8, 1);
    APU_SetOutputBuffer(buf.data(), 10);
    APU_Reset(0);
    APU_RegWrite(0x4015, 0x0F, 0);
    APU_RegWrite(0x4000, 0x3F, 0);
    APU_RegWrite(0x4002, 0x40, 0);
    APU_RegWrite(0x4003, 0x08, 0);
    APU_RunToCycle(2000);
    ASSERT_EQ(APU_GetWrittenBufferSize(0), 10u);
    for (int i = 0; i < 10; i++) EXPECT_EQ(buf[i], 0x80) << i;
    EXPECT_EQ(buf[10], 0xAA);  // never past the buffer's end
}

TEST(Initialize, RestoresOptionDefaultsButKeepsMasterVolume) {
    LoadFresh();
    APU_Initialize();
    APU_SetChannelOptions(3, 0, 10, 20);
    APU_Configure(0.5f, 1, 1);
    APU_Initialize();
    for (int i = 0; i < kChannelCount; i++) {
        EXPECT_EQ(apu.channelVolume[i], 255);
        EXPECT_EQ(apu.channelPan[i], 0);
        EXPECT_EQ(apu.channelEnabled[i], 1);
    }
    EXPECT_EQ(apu.dmc.dmcRampOption, 0);
    EXPECT_EQ(apu.triangleShape, 0);
    EXPECT_EQ(apu.masterVolume, 0.5f);
    EXPECT_EQ(apu.pulse[0].output.levelLeft[15], 2048);
}

TEST(Initialize, BuildsTheDmcAttenuationTable) {
    LoadFresh();
    APU_Initialize();
    const float *k = apu.dmc.dmcAttenuation;
    EXPECT_EQ(k[0], 1.0f);
    EXPECT_EQ(k[1], 1.0f);
    EXPECT_EQ(k[2], 0.875f);
    EXPECT_EQ(k[15], 0.76960933f);
    EXPECT_EQ(k[16], 0.759375f);
    EXPECT_NEAR(k[31], 0.7725586f, 1e-6);
    EXPECT_EQ(k[32], 0.7734375f);
    EXPECT_NEAR(k[63], 0.7035059f, 1e-6);
    EXPECT_EQ(k[64], 0.70125f);
    EXPECT_NEAR(k[95], 0.6605828f, 1e-6);
    EXPECT_EQ(k[96], 0.659271f);
    EXPECT_NEAR(k[127], 0.5701570f, 1e-6);
}

TEST(Initialize, DerivesNamcoStepConstantsFromTheClock) {
    LoadFresh();
    APU_Initialize();
    for (int k = 0; k < 8; k++) EXPECT_NEAR(apu.n163.stepConstant[k], (k + 1) * 983040.0, 1.5) << k;
    float before = apu.n163.stepConstant[3];
    APU_SetEnvironment(-1, 0.0f, 0.0f);  // refused: constants come out the same
    EXPECT_EQ(apu.n163.stepConstant[3], before);
}

TEST(DmaPointer, IgnoresBanksOutsideZeroToSeven) {
    LoadFresh();
    uint8_t memory[4096] = {};
    APU_SetDMAPointer(8, memory);
    APU_SetDMAPointer(-1, memory);
    for (const uint8_t *p : apu.dmc.dmaPointers) EXPECT_EQ(p, nullptr);
    APU_SetDMAPointer(7, memory);
    EXPECT_EQ(apu.dmc.dmaPointers[7], memory);
}

TEST(Environment, RegionSelectsTheDmcRateRow) {
    LoadFresh();
    APU_SetEnvironment(1, -1.0f, -1.0f);
    EXPECT_EQ(apu.regionOffset, 16);
    APU_SetEnvironment(-5, -1.0f, -1.0f);
    EXPECT_EQ(apu.regionOffset, 16);
    APU_SetEnvironment(0, -1.0f, -1.0f);
    EXPECT_EQ(apu.regionOffset, 0);
}

TEST(Environment, RefusesClocksAndPeriodsThatCannotWork) {
    LoadFresh();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    APU_SetEnvironment(-1, nan, nan);
    APU_SetEnvironment(-1, inf, inf);
    APU_SetEnvironment(-1, 0.5f, 0.5f);
    APU_SetEnvironment(-1, 40000.0f, -1.0f);  // below the 44100 Hz rate
    EXPECT_EQ(apu.cpuClock, 1789772.75f);
    EXPECT_EQ(apu.frameStepPeriod, 7457.5f);
    // The other arguments of a call still take effect.
    APU_SetEnvironment(1, inf, 8313.0f);
    EXPECT_EQ(apu.regionOffset, 16);
    EXPECT_EQ(apu.frameStepPeriod, 8313.0f);
    EXPECT_EQ(apu.frameStepCountdown, 7457.5f);  // shorter countdowns stay
}

TEST(Environment, ClampsCountdownsToShortenedPeriods) {
    LoadFresh();
    APU_SetEnvironment(-1, 1000000.0f, 100.0f);
    EXPECT_FLOAT_EQ(apu.cyclesPerSample, static_cast<float>(1000000.0 / 44100.0));
    EXPECT_EQ(apu.sampleCountdown, apu.cyclesPerSample);
    EXPECT_EQ(apu.frameStepCountdown, 100.0f);
}

TEST(OutputFormat, IgnoresEveryOutOfRangeArgument) {
    LoadFresh();
    APU_SetOutputFormat(0, 12, 3);
    EXPECT_EQ(apu.sampleRate, 44100u);
    EXPECT_EQ(apu.bitsPerSample, 16);
    EXPECT_EQ(apu.channelCount, 1);
    EXPECT_EQ(apu.fillMark, 2u);
    APU_SetOutputFormat(2000000, 8, -1);  // a rate above the CPU clock is refused
    EXPECT_EQ(apu.sampleRate, 44100u);
    EXPECT_EQ(apu.bitsPerSample, 8);
    EXPECT_EQ(apu.bytesPerFrame, 1);
}

TEST(OutputFormat, ShortensOnlyALongerSampleCountdown) {
    LoadFresh();
    APU_SetOutputFormat(22050, 16, 1);
    EXPECT_EQ(apu.sampleCountdown, 40.584415f);
    APU_SetOutputFormat(96000, 16, 1);
    EXPECT_NEAR(apu.sampleCountdown, 18.64, 0.01);
    EXPECT_EQ(apu.sampleCountdown, apu.cyclesPerSample);
}

struct Buffer : Unit {};

TEST_F(Buffer, FormatChangeKeepsTheWrittenCountAndCursor) {
    APU_RunToCycle(812);  // twenty samples
    ASSERT_EQ(APU_GetWrittenBufferSize(0), 40u);
    EXPECT_EQ(apu.fillMark, 42u);
    apu.pulse[0].output.levelLeft[1] = 0;
    APU_SetOutputFormat(-1, 16, 2);
    EXPECT_EQ(apu.fillMark, 44u);
    EXPECT_EQ(APU_GetWrittenBufferSize(0), 40u);
    EXPECT_EQ(apu.OutputCursor, buffer.data() + 40);
    EXPECT_EQ(apu.pulse[0].output.levelLeft[1], 273);  // every table rebuilt
    apu.pulse[0].output.levelLeft[1] = 0;
    APU_SetOutputFormat(-1, 8, 2);  // same channel count: nothing rebuilt
    EXPECT_EQ(apu.pulse[0].output.levelLeft[1], 0);
    EXPECT_EQ(apu.fillMark, 42u);
    APU_RunToCycle(853);  // one more frame, in the new format
    EXPECT_EQ(APU_GetWrittenBufferSize(0), 42u);
}

TEST_F(Buffer, RewindRestartsAtTheBase) {
    APU_RunToCycle(812);
    EXPECT_EQ(APU_GetWrittenBufferSize(1), 40u);
    EXPECT_EQ(APU_GetWrittenBufferSize(0), 0u);
    APU_RunToCycle(1000);
    EXPECT_GT(APU_GetWrittenBufferSize(0), 0u);
    APU_ResetOutputBuffer();
    EXPECT_EQ(APU_GetWrittenBufferSize(0), 0u);
    EXPECT_EQ(apu.OutputCursor, buffer.data());
}

TEST_F(Buffer, NullBufferHoldsNothing) {
    APU_SetOutputBuffer(nullptr, 4096);
    APU_RunToCycle(10000);
    EXPECT_EQ(APU_GetWrittenBufferSize(0), 0u);
}

TEST_F(Buffer, ResetRewindsAndRestartsTheClock) {
    APU_RunToCycle(5000);
    APU_Reset(0);
    EXPECT_EQ(APU_GetTimestamp(), 0u);
    EXPECT_EQ(APU_GetWrittenBufferSize(0), 0u);
    EXPECT_EQ(apu.sampleCountdown, apu.cyclesPerSample);
    EXPECT_EQ(apu.frameStepCountdown, apu.frameStepPeriod);
}

}  // namespace
}  // namespace pelrin::test
