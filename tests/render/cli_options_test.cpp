// Command-line parsing of pelrin-render.
#include "cli.hpp"

#include <gtest/gtest.h>

using namespace pelrin_render;

TEST(CliOptions, Defaults) {
    CliOptions o = parseCommandLine({});
    EXPECT_FALSE(o.input);
    EXPECT_EQ(defaultOutput(o), "pelrin-demo.wav");
    EXPECT_FALSE(o.settings.rate);
    EXPECT_FALSE(o.settings.environment);
    EXPECT_EQ(o.settings.master, -1.0f);
    EXPECT_TRUE(o.progress);
}

TEST(CliOptions, FormatLengthFadeAndOutput) {
    CliOptions o = parseCommandLine({"-r", "22050", "--bits=8", "--stereo", "-l", "2.5", "--fade", "1", "-o",
                                     "x.wav", "song.log"});
    EXPECT_EQ(o.settings.rate, 22050);
    EXPECT_EQ(o.settings.bits, 8);
    EXPECT_EQ(o.settings.channels, 2);
    EXPECT_EQ(o.settings.lengthSeconds, 2.5);
    EXPECT_EQ(o.fadeSeconds, 1.0);
    EXPECT_EQ(o.input, "song.log");
    EXPECT_EQ(defaultOutput(o), "x.wav");
}

TEST(CliOptions, OutputDefaultsBesideTheLog) {
    EXPECT_EQ(defaultOutput(parseCommandLine({"music/song.log"})), "music/song.wav");
    EXPECT_EQ(defaultOutput(parseCommandLine({"music.d/song"})), "music.d/song.wav");
}

TEST(CliOptions, ChannelOptionsByName) {
    CliOptions o = parseCommandLine({"--pan", "pulse1=-100", "--volume", "n163-3=40", "--mute", "noise,dmc",
                                     "--dmc-ramp", "on", "--triangle", "symmetric", "-m", "0.5"});
    EXPECT_EQ(o.settings.channelOptions[0].pan, -100);
    EXPECT_EQ(o.settings.channelOptions[14].volume, 40);
    EXPECT_EQ(o.settings.channelOptions[3].enable, 0);
    EXPECT_EQ(o.settings.channelOptions[4].enable, 0);
    EXPECT_EQ(o.settings.channelOptions[2].enable, -1);
    EXPECT_EQ(o.settings.ramp, 1);
    EXPECT_EQ(o.settings.shape, 1);
    EXPECT_FLOAT_EQ(o.settings.master, 0.5f);
}

TEST(CliOptions, SoloDisablesEveryOtherChannel) {
    CliOptions o = parseCommandLine({"--solo", "vrc6-saw"});
    for (int i = 0; i < 19; ++i) EXPECT_EQ(o.settings.channelOptions[static_cast<size_t>(i)].enable, i == 7 ? 1 : 0);
}

TEST(CliOptions, RegionPresets) {
    CliOptions pal = parseCommandLine({"--region", "pal"});
    ASSERT_TRUE(pal.settings.environment);
    EXPECT_EQ(pal.settings.environment->region, 1);
    EXPECT_EQ(pal.settings.environment->clock, 1662607.125);
    EXPECT_EQ(pal.settings.environment->stepPeriod, 8313.0);
    CliOptions ntsc = parseCommandLine({"--region=ntsc"});
    EXPECT_EQ(ntsc.settings.environment->region, 0);
    EXPECT_EQ(ntsc.settings.environment->clock, 1789772.75);
    EXPECT_EQ(ntsc.settings.environment->stepPeriod, 7457.5);
    CliOptions clock = parseCommandLine({"--clock", "2000000"});
    EXPECT_EQ(clock.settings.environment->region, -1);
    EXPECT_EQ(clock.settings.environment->clock, 2000000.0);
    EXPECT_EQ(clock.settings.environment->stepPeriod, 0.0);
}

TEST(CliOptions, BadArgumentsAreUsageErrors) {
    const std::vector<std::vector<std::string>> bad = {
        {"--rate", "7999"},         {"-r", "192001"},         {"--bits", "12"},
        {"--channels", "3"},        {"--frobnicate"},         {"--volume", "kazoo=3"},
        {"--volume", "pulse1"},     {"--pan", "pulse1=200"},  {"--rate"},
        {"--length", "0"},          {"--region", "secam"},    {"--chip", "fds"},
        {"-m", "2.5"},              {"--dmc-ramp", "maybe"},  {"a.log", "b.log"},
        {"--help=yes"},             {"--clock", "20000", "-r", "44100"}};
    for (const auto &args : bad) EXPECT_THROW(parseCommandLine(args), UsageError) << args[0];
}

TEST(CliOptions, HelpNamesEveryChannelAndTheLogCommands) {
    std::string h = helpText();
    for (const std::string &name : channelNames()) {
        if (name.rfind("n163-", 0) == 0 && name != "n163-0" && name != "n163-7") continue;
        EXPECT_NE(h.find(name), std::string::npos) << name;
    }
    for (const char *cmd : {"w CYCLE", "r CYCLE", "run CYCLE", "reset", "format", "environment", "configure",
                            "channel NAME", "mem ADDR", "memfile"})
        EXPECT_NE(h.find(cmd), std::string::npos) << cmd;
}
