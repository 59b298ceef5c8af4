// Level tables and the options folded into them.
#include "support.h"

namespace pelrin::test {
namespace {

struct Levels : ::testing::Test {
    void SetUp() override {
        LoadFresh();
        APU_Initialize();
    }
};

TEST_F(Levels, DefaultTablesOfEveryFamily) {
    const int16_t pulse[16] = {0,    273,  546,  819,  1092, 1365, 1638, 1911,
                               2184, 2457, 2730, 3003, 3276, 3549, 3822, 4096};
    for (int v = 0; v < 16; v++) {
        EXPECT_EQ(apu.pulse[0].output.levelLeft[v], pulse[v]);
        EXPECT_EQ(apu.mmc5Pulse[1].output.levelRight[v], pulse[v]);
        EXPECT_EQ(apu.noise.output.levelLeft[v], pulse[v]);
        EXPECT_EQ(apu.vrc6Pulse[0].output.levelLeft[v], pulse[v]);
    }
    EXPECT_EQ(apu.dmc.output.levelLeft[0], -8192);
    EXPECT_EQ(apu.dmc.output.levelLeft[64], 0);
    EXPECT_EQ(apu.dmc.output.levelLeft[127], 8064);
    EXPECT_EQ(apu.mmc5Pcm.output.levelLeft[0], -8192);
    EXPECT_EQ(apu.mmc5Pcm.output.levelLeft[128], 0);
    EXPECT_EQ(apu.mmc5Pcm.output.levelLeft[255], 8128);
    EXPECT_EQ(apu.n163.levelLeft[0][15][0], -4113);
    EXPECT_EQ(apu.n163.levelLeft[7][15][15], 3598);
    EXPECT_EQ(apu.n163.levelRight[3][15][8], 0);
    for (int s = 0; s < 16; s++) EXPECT_EQ(apu.n163.levelLeft[2][0][s], 0);
    EXPECT_EQ(apu.vrc6Saw.output.levelLeft[1], 528);
    EXPECT_EQ(apu.vrc6Saw.output.levelLeft[31], 16384);
}

TEST_F(Levels, TriangleShapes) {
    const int16_t *t = apu.triangle.output.levelLeft;
    EXPECT_EQ(t[0], 0);
    EXPECT_EQ(t[7], 3584);
    EXPECT_EQ(t[8], 3584);
    EXPECT_EQ(t[15], 0);
    EXPECT_EQ(t[16], -512);
    EXPECT_EQ(t[23], -4096);
    EXPECT_EQ(t[24], -4096);
    EXPECT_EQ(t[31], -512);
    APU_Configure(-1.0f, -1, 1);
    EXPECT_EQ(t[7], 3584);
    EXPECT_EQ(t[8], 4096);
    EXPECT_EQ(t[9], 3584);
    EXPECT_EQ(t[16], 0);
    EXPECT_EQ(t[23], -3584);
    EXPECT_EQ(t[24], -4096);
    EXPECT_EQ(t[25], -3584);
    EXPECT_EQ(t[31], -512);
}

TEST_F(Levels, PanAppliesOnlyInStereo) {
    APU_SetChannelOptions(0, -1, -1, -64);
    EXPECT_EQ(apu.pulse[0].output.levelLeft[15], 4096);
    EXPECT_EQ(apu.pulse[0].output.levelRight[15], 4096);
    APU_SetOutputFormat(-1, -1, 2);
    EXPECT_EQ(apu.pulse[0].output.levelLeft[15], 4096);
    EXPECT_EQ(apu.pulse[0].output.levelRight[15], 2031);
    APU_SetChannelOptions(0, -1, -1, 127);  // hard right silences the left
    EXPECT_EQ(apu.pulse[0].output.levelLeft[15], 0);
    EXPECT_EQ(apu.pulse[0].output.levelRight[15], 4096);
}

TEST_F(Levels, MasterVolumeScalesEveryTable) {
    APU_Configure(0.5f, -1, -1);
    EXPECT_EQ(apu.pulse[0].output.levelLeft[15], 2048);
    EXPECT_EQ(apu.dmc.output.levelLeft[0], -4096);
    EXPECT_EQ(apu.dmc.dmcRampOption, 0);
    EXPECT_EQ(apu.triangleShape, 0);
    // Loud volumes clamp the full-scale level at 32767 instead of wrapping.
    APU_Configure(4.0f, -1, -1);
    EXPECT_EQ(apu.vrc6Saw.output.levelLeft[31], 32767);
    EXPECT_EQ(apu.pulse[0].output.levelLeft[15], 16384);
    APU_Configure(1e30f, -1, -1);
    EXPECT_EQ(apu.pulse[0].output.levelLeft[15], 32767);
    EXPECT_EQ(apu.dmc.output.levelLeft[0], -16383);
}

TEST_F(Levels, ConfigureIgnoresBadValuesOneByOne) {
    apu.pulse[0].output.levelLeft[15] = 1;
    APU_Configure(-1.0f, 1, 1);  // only the triangle is rebuilt
    EXPECT_EQ(apu.pulse[0].output.levelLeft[15], 1);
    EXPECT_EQ(apu.triangle.output.levelLeft[8], 4096);
    EXPECT_EQ(apu.dmc.dmcRampOption, 1);
    APU_Configure(std::numeric_limits<float>::quiet_NaN(), -1, -1);
    APU_Configure(std::numeric_limits<float>::infinity(), -1, -1);
    EXPECT_EQ(apu.masterVolume, 1.0f);
    EXPECT_EQ(apu.pulse[0].output.levelLeft[15], 1);
    EXPECT_EQ(apu.dmc.dmcRampOption, 1);
    EXPECT_EQ(apu.triangleShape, 1);
    APU_Configure(-1.0f, 0, 0);
    EXPECT_EQ(apu.dmc.dmcRampOption, 0);
    EXPECT_EQ(apu.triangle.output.levelLeft[8], 3584);
}

TEST_F(Levels, ChannelOptionsValidateEachArgument) {
    APU_SetChannelOptions(19, 0, 0, 0);
    APU_SetChannelOptions(-1, 0, 0, 0);
    for (int i = 0; i < kChannelCount; i++) EXPECT_EQ(apu.channelEnabled[i], 1);
    apu.noise.output.levelLeft[15] = 1;
    APU_SetChannelOptions(3, -1, 256, 128);
    APU_SetChannelOptions(3, -1, -1, -128);
    EXPECT_EQ(apu.channelVolume[3], 255);
    EXPECT_EQ(apu.channelPan[3], 0);
    APU_SetChannelOptions(3, 0, -1, -200);
    EXPECT_EQ(apu.channelEnabled[3], 0);
    EXPECT_EQ(apu.noise.output.levelLeft[15], 1);  // nothing rebuilt
    APU_SetChannelOptions(0, -1, 100, 50);  // mono: both stored, volume rebuilt
    EXPECT_EQ(apu.channelVolume[0], 100);
    EXPECT_EQ(apu.channelPan[0], 50);
    EXPECT_EQ(apu.pulse[0].output.levelLeft[15], 100 * 4096 / 255);
    EXPECT_EQ(apu.pulse[0].output.levelRight[15], 100 * 4096 / 255);
}

}  // namespace
}  // namespace pelrin::test
