// The player end to end through the real library: real NSF files render
// sound, expansion chips are heard in their own mixer channels, synthetic
// files show where the loader puts bytes, and the register log replays to
// the same PCM through pelrin-render's host.
#include "nsf.hpp"
#include "nsf_builder.hpp"
#include "player.hpp"
#include "session.hpp"

#include <pelrin.h>
#include <reglog.hpp>
#include <render.hpp>
#include <wav.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
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

// --all and --stems run their renders on threads, each on a sound unit of
// its own: two renders of one track at the same time give the bytes of a
// render alone, and a job that throws fails alone, reported, while the
// others finish.
TEST(NsfPlayer, RendersOnThreadsAtOnceEqualARenderAlone) {
    const std::vector<uint8_t> alone = renderFile("pently.nsf", 0, 3.0).pcm;
    ASSERT_GT(rms(alone), 100.0);
    std::vector<std::vector<uint8_t>> pcm(3);
    std::vector<int> statuses(3, -1);
    std::atomic<int> started{0};
    std::atomic<bool> overlapped{false};
    const int failed = runParallel(
        3, 2,
        [&](size_t i) {
            if (i == 2) throw std::runtime_error("a job that throws");
            // Both renders are under way before either begins.
            ++started;
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (started < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
            overlapped = overlapped || started == 2;
            pcm[i] = renderFile("pently.nsf", 0, 3.0).pcm;
            return 0;
        },
        [&](size_t i, int status) { statuses[i] = status; });
    EXPECT_TRUE(overlapped);
    EXPECT_EQ(failed, 1);
    EXPECT_EQ(statuses, (std::vector<int>{0, 0, 1}));
    EXPECT_EQ(pcm[0], alone);
    EXPECT_EQ(pcm[1], alone);
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

// Each render has a sound unit of its own; these checks compare against
// exact silence.
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

// Frequency of a tone from its upward crossings of the mean, over samples [from, to).
double toneHz(const std::vector<uint8_t> &pcm, size_t from, size_t to, int rate = 44100) {
    auto at = [&](size_t i) { return static_cast<int16_t>(static_cast<uint16_t>(pcm[2 * i] | (pcm[2 * i + 1] << 8))); };
    double mean = 0;
    for (size_t i = from; i < to; ++i) mean += at(i);
    mean /= static_cast<double>(to - from);
    size_t first = 0, last = 0, n = 0;
    for (size_t i = from + 1; i < to; ++i) {
        if (at(i - 1) < mean && at(i) >= mean) {
            if (n++ == 0) first = i;
            last = i;
        }
    }
    return n < 2 ? 0.0 : (n - 1) * static_cast<double>(rate) / static_cast<double>(last - first);
}

TEST(NsfPlayer, InterruptDrivenVersion2FilePlaysItsTimerTune) {
    // Its tone comes from an interrupt handler that toggles $4011 at the
    // version 2 timer's rate ($07C3 cycles: 450 Hz); play changes the timer
    // every 60 calls, stepping through a table of periods.
    NsfFile nsf = loadNsf(dataFile("nat_nsf2_irq.nsf"));
    EXPECT_TRUE(nsf.usesInterrupts());
    Rendered r = renderFile("nat_nsf2_irq.nsf", -1, 3.0, true);
    ASSERT_EQ(r.pcm.size(), 3u * 44100u * 2u);
    const size_t half = 22050;
    for (size_t k = 0; k < 6; ++k) {
        std::vector<uint8_t> part(r.pcm.begin() + static_cast<long>(2 * k * half),
                                  r.pcm.begin() + static_cast<long>(2 * (k + 1) * half));
        EXPECT_GT(rms(part), 1000.0) << "half second " << k;
    }
    const double first = toneHz(r.pcm, 4410, 39690);
    const double second = toneHz(r.pcm, 46305, 83790);
    const double third = toneHz(r.pcm, 90405, 127890);
    EXPECT_NEAR(first, 1789772.7 / (2 * 0x07C3), 3.0);
    EXPECT_NEAR(second, 1789772.7 / (2 * 0x0E8F), 3.0);
    EXPECT_NEAR(third, 1789772.7 / (2 * 0x0CF1), 3.0);
    std::printf("nat_nsf2_irq.nsf: rms %.1f, tones %.1f, %.1f, %.1f Hz\n", rms(r.pcm), first, second, third);
    // The handler's $4011 writes are in the log: the replay plays the tune too.
    // (Not byte for byte here: the triangle's resting step carries over
    // between renders in one process.)
    std::vector<uint8_t> replayed = replay(r.log, 3.0);
    ASSERT_EQ(replayed.size(), r.pcm.size());
    EXPECT_NEAR(rms(replayed), rms(r.pcm), rms(r.pcm) * 0.02);
}

// (cycle, value) of every access of one kind ("w" or "r") to a register in a
// register log, after the player's own writes at cycle 0.
std::vector<std::pair<uint64_t, int>> timedAccesses(const std::string &logText, const std::string &op,
                                                    const std::string &address) {
    std::vector<std::pair<uint64_t, int>> out;
    std::istringstream in(logText);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string o, cycle, addr, value = "$00";
        words >> o >> cycle >> addr >> value;
        if (o == op && addr == address && std::stoull(cycle) > 0)
            out.emplace_back(std::stoull(cycle), std::stoi(value.substr(1), nullptr, 16));
    }
    return out;
}

// A version 2 file with interrupts: init points the IRQ vector at the
// handler at $8080 (which counts in $10, then does its own part), then runs
// setup (at $8040, ending in CLI; RTS); play at $8020 reports the count to
// $4009, a register that makes no sound.
NsfFile irqProgram(std::vector<uint8_t> setup, std::vector<uint8_t> handler) {
    NsfLayout s;
    s.version = 2;
    s.flags = 0x10;
    s.init = 0x8000;
    s.play = 0x8020;
    s.data.assign(0x4100, 0x55);
    const std::vector<uint8_t> init = {0xA9, 0x80, 0x8D, 0xFE, 0xFF,  // LDA #$80; STA $FFFE
                                       0xA9, 0x80, 0x8D, 0xFF, 0xFF,  // LDA #$80; STA $FFFF
                                       0x4C, 0x40, 0x80};             // JMP $8040
    const std::vector<uint8_t> play = {0xA5, 0x10, 0x8D, 0x09, 0x40, 0x60}; // LDA $10; STA $4009; RTS
    setup.insert(setup.end(), {0x58, 0x60});                                 // CLI; RTS
    handler.insert(handler.begin(), {0xE6, 0x10});                           // INC $10
    handler.push_back(0x40);                                                 // RTI
    std::copy(init.begin(), init.end(), s.data.begin());
    std::copy(play.begin(), play.end(), s.data.begin() + 0x20);
    std::copy(setup.begin(), setup.end(), s.data.begin() + 0x40);
    std::copy(handler.begin(), handler.end(), s.data.begin() + 0x80);
    return parse(s);
}

TEST(NsfPlayer, FrameInterruptsComeOncePer29830Cycles) {
    // Setup: $4017 = 0, the four-step sequence with its interrupt; the handler
    // reads $4015 to acknowledge it.
    NsfFile nsf = irqProgram({0xA9, 0x00, 0x8D, 0x17, 0x40}, {0xAD, 0x15, 0x40});
    PlayerOptions opt;
    opt.seconds = 2.0;
    Rendered r = renderNsf(nsf, opt, true);
    auto acks = timedAccesses(r.log, "r", "$4015");
    auto counts = timedAccesses(r.log, "w", "$4009");
    ASSERT_GE(acks.size(), 110u);
    ASSERT_GE(counts.size(), 110u);
    // One interrupt per 29830 cycles; the handler's read lands a few cycles
    // later when the CPU was in the middle of an instruction.
    for (size_t k = 1; k < acks.size(); ++k)
        EXPECT_NEAR(static_cast<double>(acks[k].first - acks[k - 1].first), 29830.0, 8.0) << "interrupt " << k;
    EXPECT_NEAR(static_cast<double>(acks.back().first - acks.front().first) / static_cast<double>(acks.size() - 1),
                29830.0, 0.5);
    for (const auto &[cycle, value] : acks) EXPECT_EQ(value & 0x40, 0x40) << "read at " << cycle;
    // Each play call reports as many interrupts as were acknowledged before
    // it: over N video frames (29780.5 cycles each), N * 29780.5 / 29830.
    for (const auto &[cycle, count] : counts) {
        size_t before = 0;
        while (before < acks.size() && acks[before].first < cycle) ++before;
        EXPECT_EQ(static_cast<size_t>(count), before % 256) << "at cycle " << cycle;
    }
    const double frames = static_cast<double>(counts.size());
    EXPECT_NEAR(counts.back().second, frames * 29780.5 / 29830.0, 1.0);
    std::printf("frame interrupts: %d in %.0f video frames\n", counts.back().second, frames);

    // Not acknowledged, the level-triggered line stays up: the handler (which
    // reports its count itself here) runs back to back.
    opt.seconds = 0.2;
    Rendered d = renderNsf(irqProgram({0xA9, 0x00, 0x8D, 0x17, 0x40}, {0xA5, 0x10, 0x8D, 0x09, 0x40}), opt, true);
    EXPECT_GT(timedAccesses(d.log, "w", "$4009").size(), 5000u);
    // With $4017 = $40 (no frame interrupt) nothing is counted.
    Rendered q = renderNsf(irqProgram({0xA9, 0x40, 0x8D, 0x17, 0x40}, {0xAD, 0x15, 0x40}), opt, true);
    EXPECT_TRUE(timedAccesses(q.log, "r", "$4015").empty());
    for (const auto &[cycle, count] : timedAccesses(q.log, "w", "$4009")) EXPECT_EQ(count, 0) << cycle;
}

TEST(NsfPlayer, DmcInterruptsRestartTheSample) {
    // Setup: DMC rate 15 (54 cycles a bit), interrupt on, no loop; 17-byte
    // sample at $C000; start it. The handler restarts it by writing $4015,
    // which also acknowledges the interrupt: one interrupt per 17 * 8 * 54
    // cycles of channel time.
    NsfFile nsf = irqProgram({0xA9, 0x8F, 0x8D, 0x10, 0x40,   // LDA #$8F; STA $4010
                              0xA9, 0x00, 0x8D, 0x12, 0x40,   // LDA #$00; STA $4012
                              0xA9, 0x01, 0x8D, 0x13, 0x40,   // LDA #$01; STA $4013
                              0xA9, 0x10, 0x8D, 0x15, 0x40},  // LDA #$10; STA $4015
                             {0xA9, 0x10, 0x8D, 0x15, 0x40}); // LDA #$10; STA $4015
    PlayerOptions opt;
    opt.seconds = 0.5;
    Rendered r = renderNsf(nsf, opt, true);
    auto restarts = timedAccesses(r.log, "w", "$4015");
    auto counts = timedAccesses(r.log, "w", "$4009");
    ASSERT_GE(restarts.size(), 100u);
    ASSERT_GE(counts.size(), 25u);
    // The log's cycles leave out the stall cycles of the sample fetches.
    const double period = static_cast<double>(restarts.back().first - restarts.front().first) /
                          static_cast<double>(restarts.size() - 1);
    EXPECT_NEAR(period, 17 * 8 * 54, 17 * 8 * 54 * 0.01);
    const uint64_t interrupts = restarts.size() - 1; // the first write is setup's
    // Each play call reports the interrupts handled before it (one fewer when
    // an interrupt came between its load of the count and its store).
    for (const auto &[cycle, count] : counts) {
        size_t before = 0;
        while (before + 1 < restarts.size() && restarts[before + 1].first < cycle) ++before;
        EXPECT_TRUE(static_cast<size_t>(count) == before % 256 || static_cast<size_t>(count) == (before + 255) % 256)
            << "count " << count << ", " << before << " restarts before cycle " << cycle;
    }
    EXPECT_GE(r.result.stallCycles, 17u * interrupts);
    std::printf("DMC interrupts: %llu, one per %.1f cycles (stalls excluded), %llu stall cycles\n",
                static_cast<unsigned long long>(interrupts), period,
                static_cast<unsigned long long>(r.result.stallCycles));
}

TEST(NsfPlayer, RegisterLogIsReadByTheReplayingTool) {
    // The log parses, holds the header, and replays (on a sound unit of the
    // replay's own) to the same bytes.
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
    EXPECT_EQ(replayed, direct.pcm);
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

// Loops that idle are jumped over, with the same sound, the same register
// log and the same result as when every instruction runs: a looping DMC
// sample steals cycles meanwhile, and in a version 2 file the timer's and
// the frame sequencer's interrupts end the waits (or, held off, do not).
TEST(NsfPlayer, IdleLoopsAreJumpedOverWithoutChangingAnything) {
    const std::vector<uint8_t> tone = {0xA9, 0x0F, 0x8D, 0x15, 0x40,  // LDA #$0F; STA $4015
                                       0xA9, 0xBF, 0x8D, 0x00, 0x40,  // LDA #$BF; STA $4000
                                       0xA9, 0x4F, 0x8D, 0x10, 0x40,  // LDA #$4F; STA $4010 (DMC loops)
                                       0xA9, 0x10, 0x8D, 0x13, 0x40,  // LDA #$10; STA $4013
                                       0xA9, 0x1F, 0x8D, 0x15, 0x40}; // LDA #$1F; STA $4015
    NsfLayout s;
    s.data.assign(0x4100, 0x5A);
    s.play = 0x8080;
    std::copy(tone.begin(), tone.end(), s.data.begin());
    // init waits on RAM that nothing changes: LDA $10; BEQ back.
    const std::vector<uint8_t> wait = {0xA5, 0x10, 0xF0, 0xFC};
    std::copy(wait.begin(), wait.end(), s.data.begin() + static_cast<long>(tone.size()));
    const NsfFile still = parse(s);

    // Version 2: the handler at $8080 acknowledges both interrupts and counts
    // in $10; init starts the timer (R = $1234), turns the frame interrupt
    // on, then copies each new count to $4002 (LDA $10; CMP $11; BEQ back;
    // STA $11; STA $4002; JMP back).
    s.version = 2;
    s.flags = 0x10;
    s.play = 0x80C0;
    const std::vector<uint8_t> setup = {0xA9, 0x80, 0x8D, 0xFE, 0xFF, 0xA9, 0x80, 0x8D, 0xFF, 0xFF, // vector $8080
                                        0xA9, 0x34, 0x8D, 0x1B, 0x40, 0xA9, 0x12, 0x8D, 0x1C, 0x40,
                                        0xA9, 0x01, 0x8D, 0x1D, 0x40, 0xA9, 0x00, 0x8D, 0x17, 0x40, 0x58,
                                        0xA5, 0x10, 0xC5, 0x11, 0xF0, 0xFA, 0x85, 0x11, 0x8D, 0x02, 0x40};
    const uint16_t back = static_cast<uint16_t>(0x8000 + tone.size() + 31);
    std::vector<uint8_t> init = tone;
    init.insert(init.end(), setup.begin(), setup.end());
    init.insert(init.end(), {0x4C, static_cast<uint8_t>(back), static_cast<uint8_t>(back >> 8)});
    const std::vector<uint8_t> handler = {0x48, 0xAD, 0x1D, 0x40, 0xAD, 0x15, 0x40, // PHA; LDA $401D; LDA $4015
                                          0xE6, 0x10, 0x68, 0x40};                   // INC $10; PLA; RTI
    std::copy(init.begin(), init.end(), s.data.begin());
    std::copy(handler.begin(), handler.end(), s.data.begin() + 0x80);
    s.data[0xC0] = 0x60;
    const NsfFile waking = parse(s);
    // With SEI in place of the CLI both interrupts stay pending, held off.
    s.data[back - 0x8000u - 1] = 0x78;
    const NsfFile masked = parse(s);

    for (const NsfFile *nsf : {&still, &waking, &masked}) {
        PlayerOptions opt;
        opt.seconds = 2.0;
        const Rendered skipped = renderNsf(*nsf, opt, true);
        opt.skipIdleLoops = false;
        const Rendered run = renderNsf(*nsf, opt, true);
        EXPECT_EQ(skipped.pcm, run.pcm);
        EXPECT_EQ(skipped.log, run.log);
        EXPECT_EQ(skipped.result.cpuCycles, run.result.cpuCycles);
        EXPECT_EQ(skipped.result.stallCycles, run.result.stallCycles);
        EXPECT_GT(skipped.result.stallCycles, 1000u);
        EXPECT_EQ(run.result.idleLoopCycles, 0u);
        EXPECT_GT(skipped.result.idleLoopCycles, skipped.result.cpuCycles * 9 / 10);
        std::printf("idle loop cycles jumped over: %llu of %llu\n",
                    static_cast<unsigned long long>(skipped.result.idleLoopCycles),
                    static_cast<unsigned long long>(skipped.result.cpuCycles));
        // The version 2 file wakes on its interrupts: some 2 s * 1789773 / $1234 timer counts.
        if (nsf == &waking) {
            EXPECT_GT(writesTo(skipped.log, "$4002").size(), 700u);
        }
    }
}

TEST(NsfPlayer, BadTracksAndStuckCpusAreReported) {
    NsfLayout s;
    s.songs = 2;
    s.data = {0x60, 0x60, 0x60, 0x60};
    PlayerOptions opt;
    opt.seconds = 1.0;
    opt.track = 2;
    EXPECT_EQ(errorOf(parse(s), opt), "track 3 is out of range (the file has 2 songs)");

    opt.track = 0;
    s.data = {0x02}; // init jams at once: nothing rendered, an error
    EXPECT_EQ(errorOf(parse(s), opt), "init routine: CPU jammed at $8000 (opcode $02)");

    // Routines that never return are music: the render runs its full length.
    s.data = {0xA9, 0x0F, 0x8D, 0x15, 0x40, 0x4C, 0x05, 0x80, 0x60}; // init: tone on, JMP to itself
    EXPECT_EQ(errorOf(parse(s), opt), "(no error)");
    EXPECT_EQ(renderNsf(parse(s), opt).result.frames, 44100u);
    s.data = {0x60, 0x4C, 0x01, 0x80}; // play at $8001 loops there
    s.play = 0x8001;
    opt.seconds = 5.0;
    EXPECT_EQ(errorOf(parse(s), opt), "(no error)");

    // A 6502 that cannot go on ends the track there, keeping what was rendered.
    s.data = {0x60, 0xA7, 0x00}; // play: LAX $00
    const auto stopped = renderNsf(parse(s), opt);
    EXPECT_EQ(stopped.result.cpuStopped, "play routine: unsupported unofficial opcode $A7 at $8001");
    EXPECT_GT(stopped.result.frames, 0u);
    EXPECT_LT(stopped.result.frames, 44100u / 10);
}

// The library's calls made on the sound thread give the bytes and the
// result of calls made in turn: for every file, and for programs that end
// by silence, switch banks, read a sound register or start a sample (the
// player then leaves the thread) or stop the CPU.
TEST(NsfPlayer, SoundThreadChangesNothing) {
    const auto same = [](const NsfFile &nsf, PlayerOptions opt, const std::string &what) {
        opt.soundThread = true;
        const Rendered threaded = renderNsf(nsf, opt);
        opt.soundThread = false;
        const Rendered alone = renderNsf(nsf, opt);
        const PlayResult &a = threaded.result, &b = alone.result;
        EXPECT_EQ(threaded.pcm, alone.pcm) << what;
        EXPECT_EQ(a.frames, b.frames) << what;
        EXPECT_EQ(a.playCalls, b.playCalls) << what;
        EXPECT_EQ(a.skippedPlays, b.skippedPlays) << what;
        EXPECT_EQ(a.stallCycles, b.stallCycles) << what;
        EXPECT_EQ(a.cpuCycles, b.cpuCycles) << what;
        EXPECT_EQ(a.idleLoopCycles, b.idleLoopCycles) << what;
        EXPECT_EQ(a.endedBySilence, b.endedBySilence) << what;
        EXPECT_EQ(a.cpuStopped, b.cpuStopped) << what;
        return a;
    };
    PlayerOptions opt;
    opt.seconds = 2.0;
    for (const char *name : kMusicFiles) same(loadNsf(dataFile(name)), opt, name);
    EXPECT_GT(same(dmcProgram(true), opt, "sample").stallCycles, 1000u);

    // A tone; each play call maps page (count & 1) behind $9000 and, from
    // the 60th, mutes the tone; the 30th reads $4015 unless told not to.
    const auto toneProgram = [](bool read) {
        NsfLayout s;
        s.play = 0x8015;
        s.banks = {0, 1, 2, 3, 4, 5, 6, 7};
        s.data.assign(0x8000, 0);
        const std::vector<uint8_t> code = {
            0xA9, 0x0F, 0x8D, 0x15, 0x40, 0xA9, 0xBF, 0x8D, 0x00, 0x40,  // $4015 = $0F, $4000 = $BF
            0xA9, 0x40, 0x8D, 0x02, 0x40, 0xA9, 0x00, 0x8D, 0x03, 0x40,  // $4002 = $40, $4003 = 0
            0x60,                                                        // RTS
            0xE6, 0x00, 0xA5, 0x00, 0x29, 0x01, 0x8D, 0xF9, 0x5F,        // play: INC $00; STA $5FF9 ($00 & 1)
            0xA5, 0x00, 0xC9, 0x1E, 0xD0, 0x03, 0xAD, 0x15, 0x40,        // LDA $4015 at the 30th
            0xA5, 0x00, 0xC9, 0x3C, 0x90, 0x05, 0xA9, 0x30, 0x8D, 0x00, 0x40, // from the 60th: $4000 = $30
            0x60};
        std::copy(code.begin(), code.end(), s.data.begin());
        if (!read) s.data[36] = s.data[37] = s.data[38] = 0xEA;
        return parse(s);
    };
    opt.seconds = 10.0;
    opt.silenceSeconds = 0.5;
    EXPECT_TRUE(same(toneProgram(false), opt, "silence").endedBySilence);
    EXPECT_TRUE(same(toneProgram(true), opt, "read").endedBySilence);

    NsfLayout stuck;
    stuck.data = {0x60, 0xA7, 0x00}; // play: LAX $00
    stuck.play = 0x8001;
    opt.silenceSeconds = 0;
    EXPECT_FALSE(same(parse(stuck), opt, "stuck").cpuStopped.empty());
}

} // namespace
