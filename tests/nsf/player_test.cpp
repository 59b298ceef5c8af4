// The player end to end through the real library: real NSF files render
// sound, expansion chips are heard in their own mixer channels, synthetic
// files show where the loader puts bytes, and the register log replays to
// the same PCM through pelrin-render's host.
#include "nsf.hpp"
#include "nsf_builder.hpp"
#include "player.hpp"

#include <pelrin.h>
#include <reglog.hpp>
#include <render.hpp>
#include <wav.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

using namespace pelrin_nsf;
using namespace nsf_test;

namespace {

struct Rendered {
    std::vector<uint8_t> pcm;
    std::string log;
    PlayResult result;
};

Rendered renderNsf(const NsfFile &nsf, const PlayerOptions &opt, bool withLog = false) {
    Rendered r;
    pelrin_render::MemorySink sink;
    std::ostringstream log;
    r.result = play(nsf, opt, sink, withLog ? &log : nullptr);
    r.pcm = std::move(sink.data);
    r.log = log.str();
    return r;
}

Rendered renderFile(const std::string &name, int track, double seconds, bool withLog = false,
                    std::vector<std::pair<int, int>> channels = {}) {
    PlayerOptions opt;
    opt.track = track;
    opt.seconds = seconds;
    opt.channelEnable = std::move(channels);
    return renderNsf(loadNsf(dataFile(name)), opt, withLog);
}

// RMS of 16-bit samples around their mean.
double rms(const std::vector<uint8_t> &pcm) {
    size_t n = pcm.size() / 2;
    if (n == 0) return 0.0;
    std::vector<double> s(n);
    double mean = 0;
    for (size_t i = 0; i < n; ++i) {
        s[i] = static_cast<int16_t>(static_cast<uint16_t>(pcm[2 * i] | (pcm[2 * i + 1] << 8)));
        mean += s[i];
    }
    mean /= static_cast<double>(n);
    double acc = 0;
    for (double v : s) acc += (v - mean) * (v - mean);
    return std::sqrt(acc / static_cast<double>(n));
}

// Replays a register log through pelrin-render's host for exactly `seconds`.
std::vector<uint8_t> replay(const std::string &logText, double seconds) {
    pelrin_render::RegisterLog log = pelrin_render::parseLog(logText, "nsf.log");
    pelrin_render::RenderSettings settings;
    settings.lengthSeconds = seconds;
    pelrin_render::MemorySink sink;
    pelrin_render::render(log, settings, sink);
    return sink.data;
}

// Values written to a register, in order, read back from a register log.
std::vector<int> writesTo(const std::string &logText, const std::string &address) {
    std::vector<int> values;
    std::istringstream in(logText);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string op, cycle, addr, value;
        words >> op >> cycle >> addr >> value;
        if (op == "w" && addr == address) values.push_back(std::stoi(value.substr(1), nullptr, 16));
    }
    return values;
}

std::string errorOf(const NsfFile &nsf, PlayerOptions opt) {
    try {
        renderNsf(nsf, opt);
    } catch (const NsfError &e) {
        return e.what();
    }
    return "(no error)";
}

NsfFile parse(const NsfLayout &layout) {
    std::vector<uint8_t> bytes = buildNsf(layout);
    return parseNsf(bytes.data(), bytes.size());
}

const char *const kMusicFiles[] = {
    "pently.nsf",         "bhop_saw_vol_test.nsf", "nat_db_apu.nsf",   "nat_db_vrc6.nsf",
    "nat_db_mmc5.nsf",    "nat_db_n163.nsf",       "nat_test_n163_longwave.nsf",
    "nat_dac_square.nsf", "nat_dac_tnd0.nsf",      "nat_dac_tnd1.nsf", "nat_dac_tnd2.nsf",
    "nat_dac_tnd3.nsf",   "nat_tri_silence.nsf",
};

TEST(NsfPlayer, EveryFileRendersSoundOnItsFirstTrack) {
    for (const char *name : kMusicFiles) {
        Rendered r = renderFile(name, -1, 3.0);
        EXPECT_EQ(r.pcm.size(), 3u * 44100u * 2u) << name;
        EXPECT_GT(rms(r.pcm), 100.0) << name;
        // Music engines return from play every frame (60 calls a second); the
        // nes-audio-tests programs run their whole test inside one play call.
        if (std::string(name) == "pently.nsf" || std::string(name) == "bhop_saw_vol_test.nsf") {
            EXPECT_GE(r.result.playCalls, 179u) << name;
            EXPECT_EQ(r.result.skippedPlays, 0u) << name;
        } else {
            EXPECT_EQ(r.result.playCalls, 1u) << name;
        }
        EXPECT_FALSE(r.result.pal) << name;
    }
}

TEST(NsfPlayer, SeveralPentlyTracksRenderDifferentMusic) {
    std::vector<std::vector<uint8_t>> outputs;
    for (int track = 0; track < 8; ++track) {
        Rendered r = renderFile("pently.nsf", track, 2.0);
        EXPECT_GT(rms(r.pcm), 100.0) << "track " << track + 1;
        for (size_t k = 0; k < outputs.size(); ++k) EXPECT_NE(outputs[k], r.pcm) << "tracks " << k + 1 << " and " << track + 1;
        outputs.push_back(std::move(r.pcm));
    }
}

TEST(NsfPlayer, PalRenderUsesThePalClockAndRate) {
    PlayerOptions opt;
    opt.seconds = 2.0;
    opt.region = 1;
    NsfFile nsf = loadNsf(dataFile("pently.nsf"));
    Rendered pal = renderNsf(nsf, opt);
    EXPECT_TRUE(pal.result.pal);
    EXPECT_GT(rms(pal.pcm), 100.0);
    EXPECT_GE(pal.result.playCalls, 99u); // 50 a second
    EXPECT_LE(pal.result.playCalls, 101u);
    opt.region = 0;
    EXPECT_NE(renderNsf(nsf, opt).pcm, pal.pcm);
}

struct ChipCase {
    const char *file;
    int chip;
    int first, last; // mixer channels of the chip
    int audible;     // the chip channel the file plays
};

const ChipCase kChipCases[] = {
    {"bhop_saw_vol_test.nsf", PELRIN_CHIP_VRC6, PELRIN_CH_VRC6_PULSE1, PELRIN_CH_VRC6_SAW, PELRIN_CH_VRC6_SAW},
    {"nat_db_vrc6.nsf", PELRIN_CHIP_VRC6, PELRIN_CH_VRC6_PULSE1, PELRIN_CH_VRC6_SAW, PELRIN_CH_VRC6_PULSE1},
    {"nat_db_mmc5.nsf", PELRIN_CHIP_MMC5, PELRIN_CH_MMC5_PULSE1, PELRIN_CH_MMC5_PCM, PELRIN_CH_MMC5_PULSE1},
    // One Namco 163 channel enabled: it is the last one, channel 7.
    {"nat_db_n163.nsf", PELRIN_CHIP_N163, PELRIN_CH_N163_FIRST, PELRIN_CH_N163_FIRST + 7, PELRIN_CH_N163_FIRST + 7},
    {"nat_test_n163_longwave.nsf", PELRIN_CHIP_N163, PELRIN_CH_N163_FIRST, PELRIN_CH_N163_FIRST + 7,
     PELRIN_CH_N163_FIRST + 7},
};
// The nes-audio-tests files start their chip part about 4.2 s in.
constexpr double kChipSeconds = 6.0;

// The library keeps channel timers and sequence positions across APU_Reset,
// as the hardware does, so two renders in one process need not be equal
// byte for byte; these checks compare against exact silence instead.
TEST(NsfPlayer, ExpansionFilesSoundInTheirChipsChannels) {
    for (const ChipCase &c : kChipCases) {
        std::vector<std::pair<int, int>> apuOff, everythingOff;
        for (int ch = PELRIN_CH_PULSE1; ch <= PELRIN_CH_DMC; ++ch) apuOff.push_back({ch, 0});
        everythingOff = apuOff;
        for (int ch = c.first; ch <= c.last; ++ch) everythingOff.push_back({ch, 0});
        Rendered chipOnly = renderFile(c.file, -1, kChipSeconds, false, apuOff);
        EXPECT_EQ(chipOnly.result.chip, c.chip) << c.file;
        Rendered none = renderFile(c.file, -1, kChipSeconds, false, everythingOff);
        // Unmuted, the chip is heard; muted as well, nothing is left.
        EXPECT_GT(rms(chipOnly.pcm), 100.0) << c.file << ": the chip alone is silent";
        EXPECT_EQ(rms(none.pcm), 0.0) << c.file << ": sound outside the 2A03 and the chip";
        EXPECT_NE(chipOnly.pcm, none.pcm) << c.file;
        std::vector<std::pair<int, int>> solo;
        for (int k = 0; k < PELRIN_CHANNEL_COUNT; ++k) solo.push_back({k, k == c.audible ? 1 : 0});
        const double level = rms(renderFile(c.file, -1, kChipSeconds, false, solo).pcm);
        EXPECT_GT(level, 100.0) << c.file << ": mixer channel " << c.audible << " is silent";
        std::printf("%-28s chip alone: rms %7.1f, mixer channel %2d alone: rms %7.1f\n", c.file,
                    rms(chipOnly.pcm), c.audible, level);
    }
}

TEST(NsfPlayer, InterruptDrivenVersion2FileIsNotSupported) {
    // Its music runs in an interrupt handler, which this player never calls:
    // the file plays without error, and silently.
    Rendered r = renderFile("nat_nsf2_irq.nsf", -1, 2.0);
    EXPECT_EQ(r.pcm.size(), 2u * 44100u * 2u);
    EXPECT_EQ(rms(r.pcm), 0.0);
}

TEST(NsfPlayer, RegisterLogIsReadByTheReplayingTool) {
    // Byte-identical replay needs a fresh library in each render: the CLI
    // tests compare the two programs' WAV files. Here: the log parses, holds
    // the header, and replays to the same length.
    PlayerOptions opt;
    opt.seconds = 2.0;
    opt.channels = 2;
    opt.region = 1;
    Rendered direct = renderNsf(loadNsf(dataFile("pently.nsf")), opt, true);
    EXPECT_EQ(direct.log.rfind("# pelrin-nsf: track 1 of 21", 0), 0u);
    EXPECT_NE(direct.log.find("\nformat 44100 16 2\nenvironment pal 1662607.125 8313\nreset none\nmem $C000 "),
              std::string::npos);
    pelrin_render::RegisterLog log = pelrin_render::parseLog(direct.log, "nsf.log");
    EXPECT_GT(log.commands.size(), 300u);
    std::vector<uint8_t> replayed = replay(direct.log, 2.0);
    EXPECT_EQ(replayed.size(), direct.pcm.size());
    EXPECT_GT(rms(replayed), 100.0);
}

TEST(NsfPlayer, FlatLoadingPutsBytesAtTheLoadAddress) {
    NsfLayout s;
    s.load = 0x8100;
    s.init = 0x8100;
    s.play = 0x810D;
    s.data.assign(0xF01, 0);
    const uint8_t code[] = {0xAD, 0x10, 0x81,  // LDA $8110
                            0x8D, 0x11, 0x40,  // STA $4011
                            0xAD, 0x00, 0x90,  // LDA $9000
                            0x8D, 0x11, 0x40,  // STA $4011
                            0x60, 0x60};       // RTS (init), RTS (play)
    std::copy(std::begin(code), std::end(code), s.data.begin());
    s.data[0x10] = 0x2A;
    s.data[0xF00] = 0x33;
    NsfFile nsf = parse(s);
    EXPECT_FALSE(nsf.bankswitched());
    PlayerOptions opt;
    opt.seconds = 0.1;
    Rendered r = renderNsf(nsf, opt, true);
    std::vector<int> w = writesTo(r.log, "$4011");
    ASSERT_GE(w.size(), 2u);
    EXPECT_EQ(w[w.size() - 2], 0x2A);
    EXPECT_EQ(w[w.size() - 1], 0x33);
    EXPECT_GE(r.result.playCalls, 5u);
}

TEST(NsfPlayer, BankswitchedLoadingPadsTheDataAndSwitchesPages) {
    NsfLayout s;
    s.load = 0x8100; // the data starts $100 bytes into page 0
    s.init = 0xF000;
    s.play = 0xF018;
    s.banks = {2, 0, 0, 0, 0, 0, 0, 1};
    s.data.assign(0x2F00, 0); // pages 0, 1, 2
    const uint8_t code[] = {0xAD, 0x10, 0x80,  // LDA $8010: page 2 + $10
                            0x8D, 0x11, 0x40,  // STA $4011
                            0xA9, 0x00,        // LDA #0
                            0x8D, 0xF8, 0x5F,  // STA $5FF8: $8000 now shows page 0
                            0xAD, 0x00, 0x81,  // LDA $8100: page 0 + $100 = the first data byte
                            0x8D, 0x11, 0x40,  // STA $4011
                            0xAD, 0xFF, 0xFF,  // LDA $FFFF: page 1 + $FFF
                            0x8D, 0x11, 0x40,  // STA $4011
                            0x60, 0x60};       // RTS (init), RTS (play)
    // Page 1 starts at data offset $1000 - $100.
    std::copy(std::begin(code), std::end(code), s.data.begin() + 0xF00);
    s.data[0x1F10] = 0x51;  // page 2 + $10
    s.data[0x0000] = 0x62;  // page 0 + $100
    s.data[0x1EFF] = 0x73;  // page 1 + $FFF
    NsfFile nsf = parse(s);
    EXPECT_TRUE(nsf.bankswitched());
    PlayerOptions opt;
    opt.seconds = 0.1;
    Rendered r = renderNsf(nsf, opt, true);
    std::vector<int> w = writesTo(r.log, "$4011");
    ASSERT_GE(w.size(), 3u);
    EXPECT_EQ(w[w.size() - 3], 0x51);
    EXPECT_EQ(w[w.size() - 2], 0x62);
    EXPECT_EQ(w[w.size() - 1], 0x73);
    // The log gives the replay the newly mapped page.
    EXPECT_NE(r.log.find("\nmem $8000 " + std::string(0x200, '0') + "62"), std::string::npos);
}

// A bankswitched program whose DMC loops over the page behind $C000 (all
// $FF); after 60 play calls it maps a page of $00 there, unless told not to.
NsfFile dmcProgram(bool switchPage) {
    NsfLayout s;
    s.load = 0x8000;
    s.init = 0xF000;
    s.play = 0xF015;
    s.banks = {0, 0, 0, 0, 1, 0, 0, 0};
    s.data.assign(0x3000, 0);
    const uint8_t code[] = {0xA9, 0x4F, 0x8D, 0x10, 0x40,  // $4010 = $4F: loop, fastest rate
                            0xA9, 0x00, 0x8D, 0x12, 0x40,  // $4012: sample at $C000
                            0xA9, 0xFF, 0x8D, 0x13, 0x40,  // $4013: longest sample
                            0xA9, 0x1F, 0x8D, 0x15, 0x40,  // $4015: DMC on
                            0x60,                          // RTS
                            0xE6, 0x00,                    // play: INC $00
                            0xA5, 0x00, 0xC9, 0x3C,        // LDA $00; CMP #60
                            0xD0, 0x05,                    // BNE +5
                            0xA9, 0x02,                    // LDA #2
                            0x8D, 0xFC, 0x5F,              // STA $5FFC: page 2 behind $C000
                            0x60};
    std::copy(std::begin(code), std::end(code), s.data.begin());
    if (!switchPage) s.data[31] = s.data[32] = s.data[33] = 0xEA; // NOPs in place of the STA
    std::fill(s.data.begin() + 0x1000, s.data.begin() + 0x2000, 0xFF);
    return parse(s);
}

// Mean sample value of the frames [from, to) of 16-bit mono PCM.
double mean(const std::vector<uint8_t> &pcm, size_t from, size_t to) {
    double acc = 0;
    for (size_t i = from; i < to; ++i)
        acc += static_cast<int16_t>(static_cast<uint16_t>(pcm[2 * i] | (pcm[2 * i + 1] << 8)));
    return acc / static_cast<double>(to - from);
}

TEST(NsfPlayer, SampleFetchesFollowBankswitchesAndStallTheCpu) {
    PlayerOptions opt;
    opt.seconds = 2.0;
    Rendered switched = renderNsf(dmcProgram(true), opt, true);
    Rendered kept = renderNsf(dmcProgram(false), opt);
    EXPECT_GT(switched.result.stallCycles, 1000u);
    ASSERT_EQ(switched.pcm.size(), kept.pcm.size());
    // All-$FF samples drive the level to the top and hold it there; after the
    // switch (play call 60, about 1 s in) the $00 page drives it to the bottom.
    const size_t second = 44100;
    const double keptBefore = mean(kept.pcm, second / 2, second * 9 / 10);
    const double keptAfter = mean(kept.pcm, second * 3 / 2, 2 * second);
    const double switchedBefore = mean(switched.pcm, second / 2, second * 9 / 10);
    const double switchedAfter = mean(switched.pcm, second * 3 / 2, 2 * second);
    EXPECT_NEAR(keptBefore, switchedBefore, 1.0);
    EXPECT_NEAR(keptAfter, keptBefore, 1.0);
    EXPECT_LT(switchedAfter, switchedBefore - 1000.0);
    std::printf("DMC level means: before %.1f, after: kept %.1f, switched %.1f; %llu stall cycles\n",
                switchedBefore, keptAfter, switchedAfter,
                static_cast<unsigned long long>(switched.result.stallCycles));
}

TEST(NsfPlayer, BadTracksAndRunawayCpusAreReported) {
    NsfLayout s;
    s.songs = 2;
    s.data = {0x60, 0x60, 0x60, 0x60};
    PlayerOptions opt;
    opt.seconds = 1.0;
    opt.track = 2;
    EXPECT_EQ(errorOf(parse(s), opt), "track 3 is out of range (the file has 2 songs)");

    opt.track = 0;
    s.data = {0x02}; // init jams at once
    EXPECT_EQ(errorOf(parse(s), opt), "init routine: CPU jammed at $8000 (opcode $02)");

    s.data = {0x4C, 0x00, 0x80, 0x60}; // init: JMP $8000 forever
    opt.routineBudgetSeconds = 0.5;
    EXPECT_EQ(errorOf(parse(s), opt),
              "the init routine at $8000 ran for 0.5 s of CPU time without returning or touching a sound register (runaway; PC $8000)");

    s.data = {0x60, 0x4C, 0x01, 0x80}; // play at $8003... loops at $8001
    s.play = 0x8001;
    opt.seconds = 5.0;
    EXPECT_EQ(errorOf(parse(s), opt),
              "the play routine at $8001 ran for 0.5 s of CPU time without returning or touching a sound register (runaway; PC $8001)");

    s.data = {0x60, 0xA7, 0x00}; // play: LAX $00
    EXPECT_EQ(errorOf(parse(s), opt), "play routine: unsupported unofficial opcode $A7 at $8001");
}

} // namespace
