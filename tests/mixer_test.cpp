// Mixing: means over the sample, order and attenuation, clipping, format,
// and frames held back while the buffer is full.
#include "support.h"

namespace pelrin::test {
namespace {

struct Mixer : Unit {
    // Mixes one frame from sums set by hand: `left` over one cycle.
    uint8_t *MixOne(int32_t left, int bits, int channels = 1) {
        APU_SetOutputFormat(-1, bits, channels);
        APU_ResetOutputBuffer();
        apu.dmc.output.sumLeft = 0;
        apu.dmc.output.levelLeft[0] = 0;
        apu.sampleCycles = 1;
        apu.pulse[0].output.sumLeft = left;
        apu.pulse[0].output.sumRight = -left;
        MixSample(apu);
        return buffer.data();
    }
};

TEST_F(Mixer, ClipsAndConvertsTo16And8Bits) {
    struct Case {
        int32_t mix;
        int16_t word;
        uint8_t byte;
    };
    const Case cases[] = {{-40000, -32768, 0x00}, {40000, 32767, 0xFF}, {-1, -1, 0x7F},
                          {255, 255, 0x80},       {256, 256, 0x81},     {0, 0, 0x80}};
    for (const Case &c : cases) {
        uint8_t *out = MixOne(c.mix, 16);
        EXPECT_EQ(static_cast<int16_t>(out[0] | (out[1] << 8)), c.word) << c.mix;
        out = MixOne(c.mix, 8);
        EXPECT_EQ(out[0], c.byte) << c.mix;
    }
}

TEST_F(Mixer, StereoWritesLeftThenRight) {
    uint8_t *out = MixOne(1000, 16, 2);
    EXPECT_EQ(static_cast<int16_t>(out[0] | (out[1] << 8)), 1000);
    EXPECT_EQ(static_cast<int16_t>(out[2] | (out[3] << 8)), -1000);
    EXPECT_EQ(APU_GetWrittenBufferSize(0), 4u);
    out = MixOne(1000, 8, 2);
    EXPECT_EQ(out[0], 0x83);
    EXPECT_EQ(out[1], 0x7C);
    EXPECT_EQ(APU_GetWrittenBufferSize(0), 2u);
}

TEST_F(Mixer, EachChannelMeanTruncatesOnItsOwn) {
    apu.dmc.output.levelLeft[0] = 0;
    apu.sampleCycles = 41;
    apu.pulse[0].output.sumLeft = -81;
    apu.pulse[1].output.sumLeft = 81;
    apu.triangle.output.sumLeft = 40;
    MixSample(apu);
    EXPECT_EQ(static_cast<int16_t>(buffer[0] | (buffer[1] << 8)), 0);  // -1 + 1 + 0
    for (int i = 0; i < 5; i++) EXPECT_EQ(apu.pulse[0].output.sumLeft, 0);
    EXPECT_EQ(apu.sampleCycles, 0);
}

TEST_F(Mixer, DmcLevelAttenuatesOnlyTriangleAndNoise) {
    auto mix = [&](uint8_t mixLevel, bool dmcOn) {
        APU_ResetOutputBuffer();
        APU_SetChannelOptions(kDmc, dmcOn ? 1 : 0, -1, -1);
        apu.dmc.mixLevel = mixLevel;
        apu.sampleCycles = 1;
        apu.triangle.output.sumLeft = 10000;
        apu.noise.output.sumLeft = 0;
        apu.pulse[0].output.sumLeft = 1000;
        apu.dmc.output.sumLeft = 0;
        MixSample(apu);
        return static_cast<int16_t>(buffer[0] | (buffer[1] << 8));
    };
    EXPECT_EQ(mix(0, true), 11000);
    EXPECT_EQ(mix(1, true), 11000);
    EXPECT_EQ(mix(127, true), static_cast<int32_t>(10000 * static_cast<double>(0.5701570f)) + 1000);
    EXPECT_EQ(mix(127, false), 11000);
}

TEST_F(Mixer, ExpansionChannelsMixOnlyWithTheirChip) {
    for (int chip : {0, 2, 4, 32, 1, 8, 16}) {
        Start(chip);
        APU_ResetOutputBuffer();
        apu.dmc.output.levelLeft[0] = 0;
        apu.sampleCycles = 1;
        apu.vrc6Saw.output.sumLeft = 100;
        apu.mmc5Pcm.output.sumLeft = 200;
        apu.n163.sumLeft[7] = 400;
        MixSample(apu);
        int16_t v = static_cast<int16_t>(buffer[0] | (buffer[1] << 8));
        int expected = chip == 1 ? 100 : chip == 8 ? 200 : chip == 16 ? 400 : 0;
        EXPECT_EQ(v, expected) << "chip " << chip;
    }
}

TEST_F(Mixer, FullBufferHoldsFramesBackAndAveragesAfterRewind) {
    APU_SetOutputFormat(-1, 16, 2);
    APU_SetOutputBuffer(buffer.data(), 10);
    apu.triangle.step = 4;  // gated off at a step of level 2048: a constant
    APU_RunToCycle(82);
    EXPECT_EQ(apu.fillMark, 8u + 4u);
    EXPECT_EQ(APU_GetWrittenBufferSize(0), 8u);
    APU_RunToCycle(203);  // three sample periods held back
    EXPECT_EQ(APU_GetWrittenBufferSize(0), 8u);
    EXPECT_EQ(apu.sampleCycles, 203 - 82);
    APU_ResetOutputBuffer();
    APU_RunToCycle(244);
    EXPECT_EQ(APU_GetWrittenBufferSize(0), 4u);
    EXPECT_EQ(static_cast<int16_t>(buffer[0] | (buffer[1] << 8)), 2048 - 8192);
}

TEST_F(Mixer, LongHoldDoesNotWrapTheSums) {
    // Ten seconds without a buffer: 32-bit sums of this level would wrap.
    APU_SetOutputBuffer(nullptr, 0);
    apu.triangle.step = 8;
    APU_RunToCycle(17897727);
    EXPECT_GT(apu.triangle.output.sumLeft, INT64_C(1) << 32);
    APU_SetOutputBuffer(buffer.data(), 64);
    while (APU_GetWrittenBufferSize(0) == 0) APU_RunToCycle(APU_GetTimestamp() + 1);
    EXPECT_EQ(static_cast<int16_t>(buffer[0] | (buffer[1] << 8)), 3584 - 8192);
}

TEST_F(Mixer, ChannelSwitchedBackOnAddsOnlyTheFrameUnderWay) {
    APU_SetChannelOptions(kTriangle, 0, -1, -1);
    apu.triangle.step = 4;
    APU_RunToCycle(41);
    APU_RunToCycle(60);
    APU_SetChannelOptions(kTriangle, 1, -1, -1);
    auto s = Samples(82);
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0], -8192);
    EXPECT_EQ(s[1], 2048 - 8192);
}

}  // namespace
}  // namespace pelrin::test
