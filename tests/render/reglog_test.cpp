// Register-log parsing: good input, and errors that name the right line.
#include "reglog.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

using namespace pelrin_render;

namespace {

// Parses text that must fail; returns the error.
LogError parseError(const std::string &text) {
    try {
        parseLog(text, "t.log");
    } catch (const LogError &e) {
        return e;
    }
    ADD_FAILURE() << "no error for:\n" << text;
    return LogError("t.log", -1, "none");
}

} // namespace

TEST(RegLog, NumbersInEveryNotation) {
    EXPECT_EQ(parseUnsigned("123"), 123u);
    EXPECT_EQ(parseUnsigned("$7f"), 0x7Fu);
    EXPECT_EQ(parseUnsigned("0x4015"), 0x4015u);
    EXPECT_EQ(parseUnsigned("0b101"), 5u);
    EXPECT_FALSE(parseUnsigned("12a"));
    EXPECT_FALSE(parseUnsigned("$"));
    EXPECT_FALSE(parseUnsigned("-1"));
    EXPECT_EQ(parseSigned("-60"), -60);
    EXPECT_EQ(parseSigned("+5"), 5);
    EXPECT_EQ(parseReal("0.5"), 0.5);
    EXPECT_FALSE(parseReal("nan"));
    EXPECT_FALSE(parseReal("1.5x"));
}

TEST(RegLog, ParsesEveryCommand) {
    const std::string text =
        "# a comment line\n"
        "\n"
        "format 22050 8 2\n"
        "reset vrc6   # trailing comment\n"
        "w 100 $4015 $0F\n"
        "write +20 0x4000 191\n"
        "r 200 $4015\n"
        "read 200 $4017 $FF\n"
        "configure 0.5 on -\n"
        "channel noise off - -\n"
        "channel vrc6-saw - 128 -60\n"
        "environment pal 1662607.125 8313\n"
        "mem $C000 00FF 12 ab\r\n"
        "run 29781\n";
    RegisterLog log = parseLog(text, "t.log");
    ASSERT_TRUE(log.format);
    EXPECT_EQ(log.format->rate, 22050);
    EXPECT_EQ(log.format->bits, 8);
    EXPECT_EQ(log.format->channels, 2);
    ASSERT_EQ(log.commands.size(), 11u);
    const auto &c = log.commands;
    EXPECT_EQ(c[0].op, Op::Reset);
    EXPECT_EQ(c[0].chip, 1);
    EXPECT_EQ(c[0].line, 4);
    EXPECT_EQ(c[1].op, Op::Write);
    EXPECT_EQ(c[1].cycle, 100u);
    EXPECT_EQ(c[1].address, 0x4015u);
    EXPECT_EQ(c[1].value, 0x0Fu);
    EXPECT_EQ(c[2].cycle, 120u); // +20 after the previous timed line
    EXPECT_EQ(c[2].value, 191u);
    EXPECT_EQ(c[3].op, Op::Read);
    EXPECT_EQ(c[3].value, 0u);
    EXPECT_EQ(c[4].value, 0xFFu);
    EXPECT_EQ(c[5].op, Op::Configure);
    EXPECT_FLOAT_EQ(c[5].master, 0.5f);
    EXPECT_EQ(c[5].ramp, 1);
    EXPECT_EQ(c[5].shape, -1);
    EXPECT_EQ(c[6].op, Op::Channel);
    EXPECT_EQ(c[6].index, 3);
    EXPECT_EQ(c[6].enable, 0);
    EXPECT_EQ(c[6].volume, -1);
    EXPECT_EQ(c[6].pan, -128);
    EXPECT_EQ(c[7].index, 7);
    EXPECT_EQ(c[7].volume, 128);
    EXPECT_EQ(c[7].pan, -60);
    EXPECT_EQ(c[8].op, Op::Environment);
    EXPECT_EQ(c[8].region, 1);
    EXPECT_FLOAT_EQ(c[8].clock, 1662607.125f);
    EXPECT_FLOAT_EQ(c[8].stepPeriod, 8313.0f);
    EXPECT_EQ(c[9].op, Op::Memory);
    EXPECT_EQ(c[9].address, 0xC000u);
    EXPECT_EQ(c[9].bytes, (std::vector<uint8_t>{0x00, 0xFF, 0x12, 0xAB}));
    EXPECT_EQ(c[10].op, Op::Run);
    EXPECT_EQ(log.lastCycle, 29781u);
    EXPECT_TRUE(log.hasTimed);
}

TEST(RegLog, MemfileReadsRelativeToTheLog) {
    auto dir = std::filesystem::temp_directory_path() /
               ("pelrin-render-reglog-test-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(dir);
    {
        std::ofstream f(dir / "kick.bin", std::ios::binary);
        f << "ABCDEFGH";
    }
    {
        std::ofstream f(dir / "song.log");
        f << "memfile $C000 kick.bin\nmemfile $D000 \"kick.bin\" 2 3\n";
    }
    RegisterLog log = loadLog(dir / "song.log");
    ASSERT_EQ(log.commands.size(), 2u);
    EXPECT_EQ(log.commands[0].bytes.size(), 8u);
    EXPECT_EQ(log.commands[1].address, 0xD000u);
    EXPECT_EQ(log.commands[1].bytes, (std::vector<uint8_t>{'C', 'D', 'E'}));
    std::filesystem::remove_all(dir);
}

TEST(RegLog, ChannelAndChipNames) {
    EXPECT_EQ(channelIndex("pulse1"), 0);
    EXPECT_EQ(channelIndex("DMC"), 4);
    EXPECT_EQ(channelIndex("mmc5-pcm"), 10);
    EXPECT_EQ(channelIndex("n163-0"), 11);
    EXPECT_EQ(channelIndex("n163-7"), 18);
    EXPECT_EQ(channelIndex("18"), 18);
    EXPECT_FALSE(channelIndex("19"));
    EXPECT_FALSE(channelIndex("n163-8"));
    EXPECT_EQ(channelNames().size(), 19u);
    EXPECT_EQ(chipValue("none"), 0);
    EXPECT_EQ(chipValue("vrc6"), 1);
    EXPECT_EQ(chipValue("MMC5"), 8);
    EXPECT_EQ(chipValue("n163"), 16);
    EXPECT_FALSE(chipValue("fds"));
}

TEST(RegLog, ErrorsNameFileAndLine) {
    LogError e = parseError("# ok\nw 0 $4000 $3F\nbogus 1 2\n");
    EXPECT_EQ(e.line(), 3);
    EXPECT_EQ(std::string(e.what()), "t.log:3: unknown command 'bogus'");
}

struct BadLine {
    const char *text;
    int line;
    const char *fragment;
};

class RegLogBad : public ::testing::TestWithParam<BadLine> {};

TEST_P(RegLogBad, IsRejected) {
    const BadLine &b = GetParam();
    LogError e = parseError(b.text);
    EXPECT_EQ(e.line(), b.line) << e.what();
    EXPECT_NE(std::string(e.what()).find(b.fragment), std::string::npos) << e.what();
    EXPECT_EQ(std::string(e.what()).rfind("t.log:" + std::to_string(b.line) + ": ", 0), 0u) << e.what();
}

INSTANTIATE_TEST_SUITE_P(
    Lines, RegLogBad,
    ::testing::Values(BadLine{"w 0 $4000\n", 1, "expected: w CYCLE ADDRESS VALUE"},
                      BadLine{"w 0 $4000 $100\n", 1, "value $100 is out of range"},
                      BadLine{"w 0 $10000 1\n", 1, "address"},
                      BadLine{"w x $4000 1\n", 1, "bad cycle 'x'"},
                      BadLine{"w 0 $4000 $1G\n", 1, "bad value"},
                      BadLine{"w 50 $4000 1\n\nw 40 $4000 1\n", 3, "lies before the previous cycle 50"},
                      BadLine{"run 10\nformat 44100 16 1\n", 2, "before the first"},
                      BadLine{"format 4000 16 1\n", 1, "rate"},
                      BadLine{"format 44100 12 1\n", 1, "bits must be 8 or 16"},
                      BadLine{"reset fds\n", 1, "unknown chip"},
                      BadLine{"configure 3 0 0\n", 1, "master volume"},
                      BadLine{"configure 1 maybe 0\n", 1, "bad ramp"},
                      BadLine{"channel kazoo 1 1 1\n", 1, "unknown channel"},
                      BadLine{"channel pulse1 1 300 0\n", 1, "volume 300 is out of range"},
                      BadLine{"channel pulse1 1 10 -128\n", 1, "pan"},
                      BadLine{"environment mars - -\n", 1, "region"},
                      BadLine{"mem $7FFF 00\n", 1, "address"},
                      BadLine{"mem $C000 0\n", 1, "odd number of digits"},
                      BadLine{"mem $C000 zz\n", 1, "bad hex bytes"},
                      BadLine{"mem $FFFF 0102\n", 1, "run past $FFFF"},
                      BadLine{"\n\nmemfile $C000 /nonexistent/kick.bin\n", 3, "cannot open"},
                      BadLine{"memfile $C000 \"kick.bin\n", 1, "unterminated"}));

TEST(RegLog, EmptyLogIsValid) {
    RegisterLog log = parseLog("# nothing\n\n", "t.log");
    EXPECT_TRUE(log.commands.empty());
    EXPECT_FALSE(log.hasTimed);
    EXPECT_EQ(log.lastCycle, 0u);
}

TEST(RegLog, UnreadableFileIsAnError) {
    try {
        loadLog("/nonexistent/dir/song.log");
        FAIL() << "no error";
    } catch (const LogError &e) {
        EXPECT_EQ(e.line(), 0);
        EXPECT_NE(std::string(e.what()).find("cannot open"), std::string::npos);
    }
}
